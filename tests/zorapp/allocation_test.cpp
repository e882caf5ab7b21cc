// libzorapp's operations allocate nothing of their own: composing, escaping, running and
// logging touch no heap memory, and the resource reading keeps its core text without
// allocating. Reading a command's output costs what the C library's stream costs (its
// buffer, allocated at the first read), measured here with a bare popen, fgets and pclose.
#include <zorapp.h>

#include "command_frame.hpp"

#include "heap_counter.hpp"
#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

namespace frame = zorapp::frame;
using client_test::exited_with;
using client_test::HeapCount;

class Allocation : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
        client_test::fake_shell(exited_with(0), "0-3\n");
    }
    void TearDown() override { client_test::reset_shell(); }

    // The allocations of the C library for reading one line from a command's stream.
    static long bare_read_allocations() {
        return client_test::stream_line_allocations("sudo zor-app usage --core -n web");
    }

    char name_[8] = "web;1";
    zor_app_handle handle_{1, name_};
};

TEST_F(Allocation, TheCounterSeesAnAllocation) {
    const HeapCount count;
    void *volatile block = std::malloc(16);
    std::free(block);
    EXPECT_EQ(count.allocations(), 1);
}

TEST_F(Allocation, OperationsAllocateNothing) {
    const zor_app_config config{1, 8080, name_};
    zor_app_resource cpu{};
    cpu.type = 1;
    cpu.value.cpu = 50;
    const HeapCount count;
    const int codes =
        zor_app_create_container("web", &config) | zor_app_start(&handle_) |
        zor_app_suspend(&handle_) | zor_app_save_snapshot(&handle_, "s1") |
        zor_app_commit_snapshot(&handle_, "s1", "b1") | zor_app_create_cgroup(&handle_, "g1") |
        zor_app_bind_vpid(&handle_, "g1", 7) | zor_app_register_pid(&handle_, 1234) |
        zor_app_set_resource(&handle_, "g1", cpu) | zor_app_unset_resource(&handle_, nullptr, cpu) |
        zor_app_remove_base("b1") | zor_app_get_status(&handle_);
    const long allocations = count.allocations();
    EXPECT_EQ(codes, 0);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(client_test::logged_lines().size(), 11u);
}

TEST_F(Allocation, ReadingAResourceAllocatesOnlyTheStreamsBuffer) {
    zor_app_resource cores{};
    cores.type = 2;
    const HeapCount count;
    const int code = zor_app_get_resource(&handle_, 9, "g1", &cores);
    const long allocations = count.allocations();
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(cores.value.core, "0-3");
    EXPECT_EQ(allocations, bare_read_allocations());
}

}  // namespace
