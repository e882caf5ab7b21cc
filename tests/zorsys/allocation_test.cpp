// libzorsys's operations allocate nothing of their own (the frame's own allocations are
// tested in tests/frame): only open allocates, the handle and its name. Reading a command's
// output costs what the C library's stream costs (its buffer, allocated at the first read),
// measured here with a bare popen, fgets and pclose.
#include <zorsys.h>

#include "heap_counter.hpp"
#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using client_test::exited_with;
using client_test::HeapCount;

class Allocation : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
        client_test::fake_shell(exited_with(0), "TYPE 3\n");
    }
    void TearDown() override { client_test::reset_shell(); }

    // The allocations of the C library for reading one line from a command's stream.
    static long bare_read_allocations() {
        return client_test::stream_line_allocations("sudo zor-sys getpid -n web");
    }

    char name_[8] = "web;1";
    zor_sys_handle handle_{1, name_};
};

TEST_F(Allocation, OperationsAllocateNothing) {
    const zor_sys_config config{100, 512, name_, name_};
    int32_t pid = 0;
    const HeapCount count;
    const int codes = zor_sys_create_container("web", &config) | zor_sys_start(&handle_) |
                      zor_sys_get_status(&handle_) | zor_sys_get_pid(&handle_, &pid) |
                      zor_sys_stop(&handle_) | zor_sys_destroy_container("web");
    const long allocations = count.allocations();
    EXPECT_EQ(codes, 0);
    // get_pid reads one line.
    EXPECT_EQ(allocations, bare_read_allocations());
    // Every operation but the status query wrote its line.
    EXPECT_EQ(client_test::logged_lines().size(), 5u);
}

TEST_F(Allocation, StateGroupAndLimitOperationsAllocateNothing) {
    zor_sys_resource mem{};
    mem.type = 3;
    mem.value.mem = 512;
    const HeapCount count;
    const int codes =
        zor_sys_suspend(&handle_) | zor_sys_checkpoint(&handle_, "c1") |
        zor_sys_commit_snapshot(&handle_, "s1", "b1") | zor_sys_migration_start(&handle_, "h", 1) |
        zor_sys_immigration_start("web", 1) | zor_sys_bind_pid(&handle_, "g1", 7) |
        zor_sys_create_cgroup(nullptr, "g1") | zor_sys_set_resource(&handle_, "g1", "a", mem) |
        zor_sys_unset_resource(&handle_, nullptr, nullptr, mem) | zor_sys_remove_base("b1");
    const long allocations = count.allocations();
    EXPECT_EQ(codes, 0);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(client_test::logged_lines().size(), 10u);
}

TEST_F(Allocation, GetResourceAllocatesOnlyTheStreamsBuffer) {
    zor_sys_resource core{};
    core.type = 2;
    ::testing::internal::CaptureStdout();
    // The first output of the program's standard output may allocate its buffer.
    std::puts("");
    long allocations = 0;
    int code = 0;
    {
        const HeapCount count;
        code = zor_sys_get_resource(&handle_, 0, nullptr, &core);
        allocations = count.allocations();
    }
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(core.value.core, "TYPE 3\n");
    EXPECT_EQ(allocations, bare_read_allocations());
}

TEST_F(Allocation, OpenAllocatesTheHandleAndItsNameOnly) {
    zor_sys_handle *opened = nullptr;
    long allocations = 0;
    {
        const HeapCount count;
        opened = zor_sys_open("web");
        allocations = count.allocations();
    }
    EXPECT_EQ(allocations, 2 + bare_read_allocations());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->type, 3);
    const HeapCount count;
    const int closed = zor_sys_close(opened);
    allocations = count.allocations();
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(allocations, 0);
}

}  // namespace
