// What the tests of libzorapp share: handles made as zor_app_open makes them, the commands
// that reached the shell, and checks of the one outcome line.
#pragma once

#include <zorapp.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zorapp_test {

constexpr char kSuffix[] = " > /dev/null 2>&1";

// A handle as zor_app_open makes it (record and name from malloc), so that an operation can
// be tested on its own and the handle released with zor_app_close or free.
zor_app_handle *make_handle(const std::string &name, std::int32_t type = 0);
void free_handle(zor_app_handle *handle);

// The command texts of every shell call so far, in order.
std::vector<std::string> commands();

// Exactly one outcome line was written, from libzorapp, with these values.
void expect_one_line(int priority, const std::string &function, const std::string &message);

// No outcome line was written.
void expect_no_line();

// A test with the shell answered by the test and the log recorded; handles made through
// handle() are released at its end.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    zor_app_handle *handle(const std::string &name, std::int32_t type = 0);

private:
    std::vector<zor_app_handle *> handles_;
};

}  // namespace zorapp_test
