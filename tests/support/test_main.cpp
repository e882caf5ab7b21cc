// Test entry point: makes the private log socket before GoogleTest starts any thread.
#include "private_log_socket.hpp"

#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    }
    if (!listing) {
        kestal::test::PrivateLogSocket::setup();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
