// The command frame: composing under the length rule, the status mapping, and what exactly
// reaches system() and popen().
#include "command_frame.hpp"

#include "outcome_line.hpp"

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

namespace frame = zor_frame::frame;
using client_test::ended_by_signal;
using client_test::exited_with;
using client_test::ShellCall;

class CommandFrame : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }
    void TearDown() override { client_test::reset_shell(); }
};

TEST_F(CommandFrame, PiecesFollowThePrefixInOrder) {
    frame::Command command("sudo zor-sys create -n ");
    command.add(frame::text("web"))
        .add(frame::when(true, frame::option(" -m ", 512)))
        .add(frame::when(false, frame::option(" -x ", "skipped")))
        .add(frame::option(" -b ", "base1"))
        .add(frame::option(" -p ", -1))
        .add(frame::required("present"));
    EXPECT_EQ(command.refusal(), 0);
    EXPECT_STREQ(command.text(), "sudo zor-sys create -n web -m 512 -b base1 -p -1");
    EXPECT_EQ(command.length(), std::string(command.text()).size());
}

TEST_F(CommandFrame, AnEmptyTextAppendsNothing) {
    frame::Command command("sudo zor-sys start -n ");
    command.add(frame::text(""));
    EXPECT_STREQ(command.text(), "sudo zor-sys start -n ");
}

TEST_F(CommandFrame, AMissingArgumentRefusesAndTheRefusalSticks) {
    frame::Command command("p ");
    command.add(frame::text(nullptr)).add(frame::text(std::string(2000, 'a').c_str()));
    EXPECT_EQ(command.refusal(), frame::kMissing);

    frame::Command option("p ");
    option.add(frame::option(" -b ", static_cast<const char *>(nullptr)));
    EXPECT_EQ(option.refusal(), frame::kMissing);

    frame::Command required("p ");
    required.add(frame::required(nullptr)).add(frame::text("x"));
    EXPECT_EQ(required.refusal(), frame::kMissing);
    EXPECT_STREQ(required.text(), "p ");
}

TEST_F(CommandFrame, LengthRuleAllows1023AndRefuses1024Characters) {
    const std::string prefix = "sudo zor-sys start -n ";
    frame::Command fits(prefix.c_str());
    fits.add(frame::text(std::string(1023 - prefix.size(), 'a').c_str()));
    EXPECT_EQ(fits.refusal(), 0);
    EXPECT_EQ(fits.length(), 1023u);

    frame::Command over(prefix.c_str());
    over.add(frame::text(std::string(1024 - prefix.size(), 'a').c_str()));
    EXPECT_EQ(over.refusal(), frame::kTooLong);
    // The refused piece is not appended, and nothing later is.
    EXPECT_STREQ(over.text(), prefix.c_str());
    over.add(frame::text("x"));
    EXPECT_STREQ(over.text(), prefix.c_str());
}

TEST_F(CommandFrame, AnOptionCountsItsFlagAndValue) {
    const std::string prefix(1000, 'p');
    frame::Command fits(prefix.c_str());
    fits.add(frame::option(" -m ", 1234567890));  // 4 + 10 characters: 1014
    fits.add(frame::option(" -t ", "abcde"));     // 9 more: 1023
    EXPECT_EQ(fits.refusal(), 0);
    EXPECT_EQ(fits.length(), 1023u);
    fits.add(frame::option(" ", 1));
    EXPECT_EQ(fits.refusal(), frame::kTooLong);

    // An option that would not fit the option buffer on its own.
    frame::Command huge("p");
    huge.add(frame::option(" -t ", std::string(1020, 'v').c_str()));
    EXPECT_EQ(huge.refusal(), frame::kTooLong);
}

struct StatusCase {
    const char *name;
    int wait_status;
    int code;
};

class StatusMapping : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusMapping, GivesTheResultCode) {
    EXPECT_EQ(frame::result_of_wait_status(GetParam().wait_status), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    WaitStatuses, StatusMapping,
    ::testing::Values(
        StatusCase{"Success", exited_with(0), 0}, StatusCase{"Exit1", exited_with(1), -1},
        StatusCase{"Exit3", exited_with(3), -3}, StatusCase{"Exit127", exited_with(127), -127},
        StatusCase{"Exit255", exited_with(255), -255}, StatusCase{"SystemFailed", -1, -255},
        StatusCase{"Hangup", ended_by_signal(SIGHUP), -(128 + SIGHUP)},
        StatusCase{"Killed", ended_by_signal(SIGKILL), -(128 + SIGKILL)},
        StatusCase{"Terminated", ended_by_signal(SIGTERM), -(128 + SIGTERM)},
        StatusCase{"BrokenPipe", ended_by_signal(SIGPIPE), -(128 + SIGPIPE)},
        StatusCase{"CoreDumped", ended_by_signal(SIGSEGV) | 0x80, -(128 + SIGSEGV)}),
    [](const ::testing::TestParamInfo<StatusCase> &tested) { return tested.param.name; });

TEST_F(CommandFrame, RunSystemEscapesThenAppendsTheSuffix) {
    client_test::fake_shell(exited_with(4));
    frame::Command command("sudo zor-sys start -n ");
    command.add(frame::text("a&b>c"));
    const frame::Result result = frame::run_system(command);
    EXPECT_EQ(result.code, -4);
    EXPECT_FALSE(result.refused);
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kSystem);
    EXPECT_EQ(calls[0].command, "sudo zor-sys start -n a\\&b\\>c > /dev/null 2>&1");
}

TEST_F(CommandFrame, RunSystemCountsTheSuffixAndTheEscapes) {
    client_test::fake_shell(0);
    const std::string prefix = "sudo zor-sys start -n ";
    const std::size_t room = 1023 - prefix.size() - frame::kSuffixLength;

    frame::Command fits(prefix.c_str());
    fits.add(frame::text(std::string(room, 'a').c_str()));
    EXPECT_EQ(frame::run_system(fits).code, 0);
    ASSERT_EQ(client_test::shell_calls().size(), 1u);
    EXPECT_EQ(client_test::shell_calls()[0].command.size(), 1023u);

    frame::Command suffix_over(prefix.c_str());
    suffix_over.add(frame::text(std::string(room + 1, 'a').c_str()));
    const frame::Result refused = frame::run_system(suffix_over);
    EXPECT_EQ(refused.code, frame::kTooLong);
    EXPECT_TRUE(refused.refused);

    frame::Command escape_over(prefix.c_str());
    escape_over.add(frame::text((std::string(room - 1, 'a') + ";").c_str()));
    EXPECT_EQ(escape_over.refusal(), 0);
    EXPECT_EQ(frame::run_system(escape_over).code, frame::kTooLong);

    EXPECT_EQ(client_test::shell_calls().size(), 1u);
}

TEST_F(CommandFrame, PipeReadsLinesAndReturnsTheStatusAtClose) {
    client_test::fake_shell(exited_with(2), "first\nsecond");
    frame::Command command("sudo zor-sys list -n ");
    command.add(frame::text("a;b"));
    frame::Pipe pipe(command);
    ASSERT_TRUE(pipe.is_open());
    char line[frame::kBufferSize];
    ASSERT_TRUE(pipe.read_line(line));
    EXPECT_STREQ(line, "first\n");
    ASSERT_TRUE(pipe.read_line(line));
    EXPECT_STREQ(line, "second");
    EXPECT_FALSE(pipe.read_line(line));
    EXPECT_EQ(pipe.close(), -2);
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].mode, "r");
    EXPECT_EQ(calls[0].command, "sudo zor-sys list -n a\\;b");
}

TEST_F(CommandFrame, PipeSplitsLinesLongerThanTheBuffer) {
    client_test::fake_shell(0, std::string(1500, 'x') + "\n");
    frame::Command command("tool");
    char line[frame::kBufferSize];
    EXPECT_EQ(frame::run_reading_first_line(command, line).code, 0);
    EXPECT_EQ(std::string(line), std::string(1023, 'x'));
}

TEST_F(CommandFrame, PipeThatCannotStartGivesMissing) {
    client_test::fail_popen();
    frame::Command command("tool");
    char line[frame::kBufferSize] = "old";
    const frame::Result result = frame::run_reading_first_line(command, line);
    EXPECT_EQ(result.code, frame::kMissing);
    EXPECT_FALSE(result.refused);
    EXPECT_STREQ(line, "");
}

TEST_F(CommandFrame, RefusedPipeStartsNothing) {
    client_test::fake_shell(0, "out\n");
    frame::Command command(std::string(1000, 'a').c_str());
    command.add(frame::text(std::string(23, '$').c_str()));  // fits, but not once escaped
    ASSERT_EQ(command.refusal(), 0);
    frame::Pipe pipe(command);
    EXPECT_FALSE(pipe.is_open());
    EXPECT_TRUE(pipe.result().refused);
    EXPECT_EQ(pipe.close(), frame::kTooLong);
    EXPECT_TRUE(client_test::shell_calls().empty());
}

// An operation described only by its prefix, pieces and texts.
constexpr frame::Operation<const char *, int> kProbe{
    "sudo zor-sys probe -n ", "ZOR-FRAME: probe: Probed '%s' at %d.",
    "ZOR-FRAME: probe: Failed to probe '%s' at %d. (ErrNo=%d)"};

TEST_F(CommandFrame, OperationWritesOneLineForEveryCommandThatRan) {
    client_test::fake_shell(exited_with(9));
    EXPECT_EQ(kProbe.perform({77, "probe_function"}, {frame::text("n1"), frame::option(" -p ", 8)},
                             "n1", 8),
              -9);
    client_test::fake_shell(0);
    EXPECT_EQ(kProbe.perform({78, "probe_function"}, {frame::text("n2")}, "n2", 3), 0);

    const auto lines = client_test::logged_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, LOG_ERR);
    EXPECT_EQ(lines[0].file, "libzorframe");
    EXPECT_EQ(lines[0].line, 77);
    EXPECT_EQ(lines[0].function, "probe_function");
    EXPECT_EQ(lines[0].message, "ZOR-FRAME: probe: Failed to probe 'n1' at 8. (ErrNo=-9)");
    EXPECT_EQ(lines[1].priority, LOG_INFO);
    EXPECT_EQ(lines[1].message, "ZOR-FRAME: probe: Probed 'n2' at 3.");
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].command, "sudo zor-sys probe -n n1 -p 8 > /dev/null 2>&1");
}

TEST_F(CommandFrame, OperationRefusedRunsNothingAndWritesNothing) {
    client_test::fake_shell(0);
    EXPECT_EQ(kProbe.perform({1, "f"}, {frame::text(nullptr)}, nullptr, 1), frame::kMissing);
    EXPECT_EQ(kProbe.perform({1, "f"}, {frame::text(std::string(1000, 'a').c_str())}, "a", 1),
              frame::kTooLong);
    EXPECT_TRUE(client_test::shell_calls().empty());
    EXPECT_TRUE(client_test::logged_lines().empty());
}

constexpr frame::FailureText<const char *> kProbeFailed{
    "ZOR-FRAME: x: Failed to x '%s'. (ErrNo=%d)"};

TEST_F(CommandFrame, NullTextArgumentsShowAsEmptyNames) {
    frame::write_failure({5, "f"}, kProbeFailed, frame::kMissing, nullptr);
    const auto lines = client_test::logged_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "ZOR-FRAME: x: Failed to x ''. (ErrNo=-201)");
}

// The outcome texts are checked when they are built; these hold at compile time.
static_assert(frame::detail::is_success_text("ZOR-FRAME: start: Started '%s'.", "s"));
static_assert(!frame::detail::is_success_text("ZOR-FRAME: start: Started '%d'.", "s"));
static_assert(!frame::detail::is_success_text("ZOR-FRAME: start: Started '%s'", "s"));
static_assert(!frame::detail::is_success_text("ZOR-APP-LIB: start: Started '%s'.", "s"));
static_assert(!frame::detail::is_success_text("ZOR-FRAME: Started '%s'.", "s"));
static_assert(frame::detail::is_failure_text("ZOR-FRAME: stop: Failed to stop '%s'. (ErrNo=%d)",
                                             "sd"));
static_assert(!frame::detail::is_failure_text("ZOR-FRAME: stop: Could not stop '%s'. (ErrNo=%d)",
                                              "sd"));
static_assert(!frame::detail::is_failure_text("ZOR-FRAME: stop: Failed to stop '%s'.", "s"));
static_assert(!frame::detail::is_failure_text("ZOR-FRAME: stop: Failed to stop '%s' %s. (ErrNo=%d)",
                                              "sd"));
static_assert(frame::detail::has_conversions("100%% of '%s'", "s"));

}  // namespace
