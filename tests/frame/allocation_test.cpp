// The command frame allocates nothing: composing, escaping, running and writing an outcome
// line touch no heap memory of their own. Reading a command's output costs what the C
// library's stream costs (its buffer, allocated at the first read), measured with a bare
// popen, fgets and pclose; a listing allocates its entries and a few steps of its array.
#include "command_frame.hpp"
#include "name_list.hpp"
#include "outcome_line.hpp"

#include "heap_counter.hpp"
#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

namespace frame = zor_frame::frame;
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

    static long bare_read_allocations() {
        return client_test::stream_line_allocations("sudo zor-sys getpid -n web");
    }
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

TEST_F(Allocation, AnOperationAndItsOutcomeLineAllocateNothing) {
    constexpr frame::Operation<const char *> kSave{
        "sudo zor-sys save -n ", "ZOR-FRAME: save: Saved '%s'.",
        "ZOR-FRAME: save: Failed to save '%s'. (ErrNo=%d)"};
    constexpr frame::FailureText<const char *> kSaveFailed{
        "ZOR-FRAME: save: Failed to save '%s'. (ErrNo=%d)"};
    const HeapCount count;
    const int saved = kSave.perform({__LINE__, __func__}, {frame::text("web")}, "web");
    frame::write_failure({__LINE__, __func__}, kSaveFailed, frame::kTooLong, "web");
    const long allocations = count.allocations();
    EXPECT_EQ(saved, 0);
    EXPECT_EQ(client_test::logged_lines().size(), 2u);
    EXPECT_EQ(allocations, 0);
}

}  // namespace
