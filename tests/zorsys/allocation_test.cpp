// The command frame allocates nothing: composing, escaping, running and logging an
// operation touch no heap memory of their own. Only open allocates, the handle and its name.
// Reading a command's output costs what the C library's stream costs (its buffer, allocated
// at the first read), measured here with a bare popen, fgets and pclose.
#include <zorsys.h>

#include "command_frame.hpp"
#include "name_list.hpp"

#include "heap_counter.hpp"
#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace frame = zorsys::frame;
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
        char line[frame::kBufferSize];
        const HeapCount count;
        std::FILE *stream = popen("sudo zor-sys getpid -n web", "r");
        if (stream != nullptr) {
            if (std::fgets(line, sizeof line, stream) == nullptr) {
                line[0] = '\0';
            }
            pclose(stream);
        }
        return count.allocations();
    }

    char name_[8] = "web;1";
    zor_sys_handle handle_{1, name_};
};

TEST_F(Allocation, TheCounterSeesAnAllocation) {
    const HeapCount count;
    void *volatile block = std::malloc(16);
    std::free(block);
    EXPECT_EQ(count.allocations(), 1);
}

TEST_F(Allocation, EscapingAllocatesNothing) {
    const std::string text(600, ';');
    const std::string shorter(500, ';');
    char run[frame::kBufferSize];
    const HeapCount count;
    const int too_long = frame::escape_meta_char(run, text.c_str());
    const int fits = frame::escape_meta_char(run, shorter.c_str());
    const long allocations = count.allocations();
    EXPECT_EQ(too_long, frame::kTooLong);
    EXPECT_EQ(fits, 0);
    EXPECT_EQ(allocations, 0);
}

TEST_F(Allocation, ComposingAndRunningAllocatesNothing) {
    char line[frame::kBufferSize];
    const HeapCount count;
    frame::Command command("sudo zor-sys save -n ");
    command.add(frame::text("web")).add(frame::option(" -t ", "s1")).add(frame::option(" -p ", 8));
    const int ran = frame::run_system(command).code;
    const int read = frame::run_reading_first_line(command, line).code;
    const long allocations = count.allocations();
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(read, 0);
    EXPECT_STREQ(line, "TYPE 3\n");
    EXPECT_EQ(allocations, bare_read_allocations());
}

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

TEST_F(Allocation, AListAllocatesItsEntriesAndFewSteps) {
    constexpr long kEntries = 4096;
    std::string output;
    for (long index = 0; index < kEntries; ++index) {
        output += "n\n";
    }
    client_test::fake_shell(exited_with(0), output);
    const long stream = bare_read_allocations();
    const frame::Command command("zor-sys list");
    const frame::NameListRules plain{nullptr, frame::whole_line};
    char **names = nullptr;
    long allocations = 0;
    {
        const HeapCount count;
        EXPECT_EQ(frame::read_name_list(command, plain, &names), 0);
        allocations = count.allocations();
    }
    // One block per entry and the stream's buffer; the array doubles, so it grows in a few
    // steps where growing by one slot per entry would double the count.
    EXPECT_GE(allocations, kEntries + stream);
    EXPECT_LE(allocations, kEntries + stream + 16);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[kEntries], nullptr);
    EXPECT_EQ(frame::release_entries(names, frame::EmptyArray::kRefused), 0);
}

}  // namespace
