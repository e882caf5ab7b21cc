// No caller text can make the shell do more than run the tool with the text's words, in any
// operation of either library: random names and option texts over all byte values, through
// the real shell. The bulk of the cases run their composed lines in batches through one
// shell whose tools are recording functions; a sample runs end to end through the
// libraries' own system() and popen() and the stand-in programs, and once more as nobody
// through Debian's real sudo. A canary proves each time that no second command ran and that
// no redirection wrote a file.
#include "operation_table.hpp"
#include "random_text.hpp"
#include "shell_batch.hpp"
#include "shell_model.hpp"

#include "log_recorder.hpp"
#include "nobody_sudo.hpp"
#include "shell_interceptor.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#ifndef HARDENING_DEFAULT_CASES
#define HARDENING_DEFAULT_CASES 100000
#endif
#ifndef HARDENING_DEFAULT_REAL_CASES
#define HARDENING_DEFAULT_REAL_CASES 2000
#endif

namespace hardening {
namespace {

using client_test::fits;
using client_test::printable;
using client_test::tool_call_of;
using client_test::ToolCall;

constexpr std::size_t kLinesPerBatch = 1000;
constexpr std::size_t kMaxLength = 1023;
constexpr char kSuffix[] = " > /dev/null 2>&1";
constexpr std::uint64_t kDefaultSeed = 0x6a7e5eedULL;

long from_environment(const char *name, long fallback) {
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? std::strtol(value, nullptr, 0) : fallback;
}

std::uint64_t seed() {
    return static_cast<std::uint64_t>(from_environment("ZOR_INJECTION_SEED", kDefaultSeed));
}

std::string seed_note() {
    return "seed " + std::to_string(seed()) + " (set ZOR_INJECTION_SEED to repeat)";
}

Case make_case(const Operation &operation, TextSource &source) {
    Case c;
    c.type = operation.type_of(source.next());
    c.number = source.number();
    const std::size_t count = operation.positions.size();
    // Usually one position carries a text near the length bound.
    const std::size_t long_at = source.next() % 6 == 0 && count > 0 ? source.next() % count : count;
    for (std::size_t index = 0; index < count; ++index) {
        c.present.push_back(!operation.positions[index].optional || source.next() % 3 != 0);
        c.texts.push_back(index == long_at ? source.long_text() : source.short_text());
    }
    return c;
}

std::string describe(const Operation &operation, const Case &c) {
    std::string text = operation.name;
    for (std::size_t index = 0; index < c.texts.size(); ++index) {
        text += std::string(" ") + operation.positions[index].label + "=";
        text += c.present[index] ? "\"" + printable(c.texts[index]) + "\"" : "(none)";
    }
    return text + " number=" + std::to_string(c.number) + " type=" + std::to_string(c.type);
}

bool runs_with_system(RunMode mode) {
    return mode == RunMode::kSystem;
}

// The commands of a case that the length rule lets run: all of them, or none once one is
// refused (only open has two, and its second is shorter than its first).
std::vector<ExpectedCommand> runnable(const std::vector<ExpectedCommand> &commands) {
    std::vector<ExpectedCommand> fitting;
    for (const ExpectedCommand &command : commands) {
        if (!fits(command.text, runs_with_system(command.mode))) {
            return {};
        }
        fitting.push_back(command);
    }
    return fitting;
}

// What a stand-in recorded, as the tool and its words.
ToolCall call_of(const standin::Invocation &invocation) {
    ToolCall call{invocation.via_sudo, {invocation.program}};
    call.words.insert(call.words.end(), invocation.args.begin(), invocation.args.end());
    return call;
}

// What a case returns with tools that succeed: 0, or the length rule's refusal.
int expected_code(const Operation &operation, const Case &c) {
    const std::vector<ExpectedCommand> commands = operation.commands(c);
    return !commands.empty() && runnable(commands).empty() ? ZOR_SYS_ETOOLONG : 0;
}

// The standard output of the code under test goes to the null device while it runs (the
// system library's usage query prints its command), so the test's own report stays clean.
class QuietOutput {
public:
    QuietOutput() : saved_(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        const int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null_fd, STDOUT_FILENO);
        close(null_fd);
    }
    ~QuietOutput() {
        std::fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    QuietOutput(const QuietOutput &) = delete;
    QuietOutput &operator=(const QuietOutput &) = delete;

private:
    int saved_;
};

// What one call handed to the shell, checked against the table: the same number of commands
// in the same run modes, each within the bound, and the result code of the length rule.
struct Captured {
    std::vector<std::string> lines;
    std::vector<ToolCall> expected;
};

void check_call(const Operation &operation, const Case &c, int code,
                const std::vector<client_test::ShellCall> &calls, Captured &captured) {
    const std::vector<ExpectedCommand> commands = operation.commands(c);
    const std::vector<ExpectedCommand> fitting = runnable(commands);
    if (!commands.empty() && fitting.empty()) {
        ASSERT_EQ(code, ZOR_SYS_ETOOLONG) << describe(operation, c);
        ASSERT_TRUE(calls.empty()) << describe(operation, c);
        return;
    }
    ASSERT_EQ(code, 0) << describe(operation, c);
    ASSERT_EQ(calls.size(), fitting.size()) << describe(operation, c);
    for (std::size_t index = 0; index < calls.size(); ++index) {
        const client_test::ShellCall &call = calls[index];
        const bool system_call = runs_with_system(fitting[index].mode);
        ASSERT_EQ(call.kind == client_test::ShellCall::Kind::kSystem, system_call)
            << describe(operation, c);
        ASSERT_LE(call.command.size(), kMaxLength) << describe(operation, c);
        if (system_call) {
            const std::string suffix = kSuffix;
            ASSERT_GE(call.command.size(), suffix.size());
            ASSERT_EQ(call.command.substr(call.command.size() - suffix.size()), suffix)
                << describe(operation, c);
        } else {
            ASSERT_EQ(call.mode, "r");
        }
        captured.lines.push_back(call.command);
        captured.expected.push_back(tool_call_of(fitting[index].text));
    }
}

std::string show(const ToolCall &call) {
    std::string text = call.via_sudo ? "sudo" : "direct";
    for (const std::string &word : call.words) {
        text += " [" + printable(word) + "]";
    }
    return text;
}

void check_batch(const ShellBatch &shell, const Captured &captured,
                 const std::vector<std::string> &cases) {
    const BatchOutcome outcome = shell.run(captured.lines);
    ASSERT_EQ(outcome.standard_error, "") << seed_note();
    ASSERT_EQ(outcome.standard_output, "") << seed_note();
    ASSERT_EQ(outcome.exit_status, 0) << seed_note();
    ASSERT_TRUE(outcome.unexpected_files.empty())
        << "a redirection wrote " << outcome.unexpected_files.front() << "; " << seed_note();
    ASSERT_EQ(outcome.stray_records, 0u) << seed_note();
    // The canary: one tool call per command line, and each with exactly the words expected.
    ASSERT_EQ(outcome.tool_calls, captured.lines.size()) << seed_note();
    for (std::size_t index = 0; index < captured.lines.size(); ++index) {
        ASSERT_EQ(outcome.calls[index].size(), 1u)
            << cases[index] << "\nline: " << printable(captured.lines[index]) << "\n"
            << seed_note();
        ASSERT_EQ(outcome.calls[index][0], captured.expected[index])
            << cases[index] << "\nline: " << printable(captured.lines[index])
            << "\nexpected: " << show(captured.expected[index])
            << "\nreceived: " << show(outcome.calls[index][0]) << "\n"
            << seed_note();
    }
}

class Injection : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }
    void TearDown() override { client_test::reset_shell(); }
};

// Under dash, Debian's /bin/sh, and under bash as it behaves when it is /bin/sh.
class ShellInjection : public Injection, public ::testing::WithParamInterface<const char *> {};

TEST_P(ShellInjection, RandomTextsInEveryPositionReachTheToolAsOneWordEach) {
    const long total = from_environment("ZOR_INJECTION_CASES", HARDENING_DEFAULT_CASES);
    const standin::Session session;  // only for its private directory
    const ShellBatch shell(session.directory(), GetParam());
    TextSource source(seed());
    const std::vector<Operation> &table = operation_table();
    const auto started = std::chrono::steady_clock::now();

    Captured captured;
    std::vector<std::string> cases;
    std::size_t refused = 0;
    std::size_t lines = 0;
    std::size_t splitting_texts = 0;
    for (long index = 0; index < total; ++index) {
        const Operation &operation = table[static_cast<std::size_t>(index) % table.size()];
        const Case c = make_case(operation, source);
        for (std::size_t at = 0; at < c.texts.size(); ++at) {
            const std::string &text = c.texts[at];
            splitting_texts +=
                c.present[at] && (text.empty() || text.find_first_of(" \t") != std::string::npos);
        }
        client_test::reset_shell();
        client_test::fake_shell(0, "");
        client_test::clear_logged_lines();
        int code = 0;
        {
            const QuietOutput quiet;
            code = operation.call(c);
        }
        const std::size_t before = captured.lines.size();
        check_call(operation, c, code, client_test::shell_calls(), captured);
        if (HasFatalFailure()) {
            ADD_FAILURE() << seed_note();
            return;
        }
        if (captured.lines.size() == before && !operation.commands(c).empty()) {
            ++refused;
        }
        cases.resize(captured.lines.size(), describe(operation, c));
        if (captured.lines.size() >= kLinesPerBatch || index + 1 == total) {
            check_batch(shell, captured, cases);
            if (HasFatalFailure()) {
                return;
            }
            lines += captured.lines.size();
            captured = Captured{};
            cases.clear();
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Both sides of the length bound must have been reached for the run to mean anything.
    EXPECT_GT(refused, static_cast<std::size_t>(total) / 100);
    EXPECT_GT(lines, static_cast<std::size_t>(total) / 2);
    // Texts that the shell would split or drop unescaped: each reached the tool as one word
    // (every line's words matched), so none gave an extra word or an escape.
    EXPECT_GT(splitting_texts, static_cast<std::size_t>(total) / 10);
    std::printf(
        "[ injection ] %s: %ld cases, %zu command lines through the shell, %zu refused by "
        "the length rule, %zu caller texts with a blank, tab or nothing, 0 extra words, "
        "0 escapes, %.1f s, %s\n",
        GetParam(), total, lines, refused, splitting_texts, seconds, seed_note().c_str());
}

INSTANTIATE_TEST_SUITE_P(Shells, ShellInjection, ::testing::Values("/bin/sh", "/bin/bash"),
                         [](const ::testing::TestParamInfo<const char *> &shell) {
                             return std::string(shell.param) == "/bin/sh" ? "Dash" : "BashAsSh";
                         });

// Writes the process's standard error into a file for as long as it lives.
class CapturedError {
public:
    explicit CapturedError(const std::filesystem::path &file)
        : file_(file), saved_(dup(STDERR_FILENO)) {
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~CapturedError() { restore(); }
    CapturedError(const CapturedError &) = delete;
    CapturedError &operator=(const CapturedError &) = delete;

    std::string text() {
        restore();
        return read_file(file_);
    }

private:
    void restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }
    std::filesystem::path file_;
    int saved_;
};

TEST_F(Injection, ASampleRunsEndToEndThroughTheStandIns) {
    const long total = from_environment("ZOR_INJECTION_REAL_CASES", HARDENING_DEFAULT_REAL_CASES);
    standin::Session tools;
    // Nothing but the stand-ins can be started by name.
    tools.set_path(standin::Session::tools_directory());
    const std::filesystem::path scratch = tools.directory() / "scratch";
    std::filesystem::create_directories(scratch);
    lay_bait(scratch);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(scratch);
    const std::string saved_home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    setenv("HOME", scratch.c_str(), 1);
    setenv("TMPDIR", scratch.c_str(), 1);

    TextSource source(seed() + 1);
    const std::vector<Operation> &table = operation_table();
    std::size_t invocations = 0;
    std::string failure;
    {
        CapturedError error(tools.directory() / "stderr");
        for (long index = 0; index < total && failure.empty(); ++index) {
            const Operation &operation = table[static_cast<std::size_t>(index) % table.size()];
            const Case c = make_case(operation, source);
            tools.clear_record();
            client_test::clear_logged_lines();
            int code = 0;
            {
                const QuietOutput quiet;
                code = operation.call(c);
            }
            const std::vector<ExpectedCommand> commands = operation.commands(c);
            const std::vector<ExpectedCommand> fitting = runnable(commands);
            const std::vector<standin::Invocation> received = tools.invocations();
            if (code != expected_code(operation, c) || received.size() != fitting.size()) {
                failure = describe(operation, c) + ": code " + std::to_string(code) + ", " +
                          std::to_string(received.size()) + " tool runs";
            }
            for (std::size_t run = 0; failure.empty() && run < received.size(); ++run) {
                const ToolCall expected = tool_call_of(fitting[run].text);
                const ToolCall got = call_of(received[run]);
                if (!(got == expected)) {
                    failure = describe(operation, c) + "\nexpected: " + show(expected) +
                              "\nreceived: " + show(got);
                }
            }
            const std::vector<std::string> found = unexpected_files(scratch);
            if (failure.empty() && !found.empty()) {
                failure = describe(operation, c) + ": a redirection wrote " + found.front();
            }
            invocations += received.size();
        }
        const std::string errors = error.text();
        if (failure.empty() && !errors.empty()) {
            failure = "standard error was not empty: " + printable(errors.substr(0, 400));
        }
    }
    std::filesystem::current_path(previous);
    setenv("HOME", saved_home.c_str(), 1);
    unsetenv("TMPDIR");
    ASSERT_EQ(failure, "") << seed_note();
    EXPECT_TRUE(total == 0 || invocations > static_cast<std::size_t>(total) / 2);
}

// A text with a try at running more as root around it, if it ever reached the shell as more
// than one word: writing the canary through sudo, or running a tool once more.
std::string with_attack(const std::string &text, const std::string &canary, unsigned pick) {
    const std::string attacks[] = {
        ";sudo touch " + canary,
        "$(sudo touch " + canary + ")",
        "`sudo touch " + canary + "`",
        "\nsudo touch " + canary + "\n",
        "|sudo tee " + canary,
        "' ; sudo touch " + canary + " ; '",
        "\" $(sudo touch " + canary + ") \"",
        " && sudo zor-sys destroy -n victim",
        " -n victim > " + canary,
    };
    const std::string &attack = attacks[pick % std::size(attacks)];
    const std::size_t at = text.empty() ? 0 : pick / std::size(attacks) % (text.size() + 1);
    return text.substr(0, at) + attack + text.substr(at);
}

// The end-to-end sample as nobody through Debian's real sudo, whose sudoers lets nobody run
// the three tools alone: every text reaches its tool as one word, no tool runs more often
// than the commands say, and a canary that only root could write never appears.
TEST_F(Injection, ASampleRunsEndToEndAsNobodyThroughTheRealSudo) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for the private mount namespace and the change to nobody";
    }
    ASSERT_TRUE(NobodySudo::available()) << "Debian's sudo is missing and could not be installed";
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const long total =
        from_environment("ZOR_INJECTION_SUDO_CASES", HARDENING_DEFAULT_REAL_CASES / 4);
    standin::Session tools;
    const NobodySudo sudo(tools);
    // Commands without sudo run their tool as nobody, which must be able to record them too.
    const std::filesystem::path record = tools.directory() / "record";
    std::ofstream(record).flush();
    chmod(record.c_str(), 0666);
    // Where a redirection run as nobody would land.
    const std::filesystem::path scratch = tools.directory() / "scratch";
    std::filesystem::create_directories(scratch);
    lay_bait(scratch);
    ASSERT_EQ(chown(scratch.c_str(), nobody->pw_uid, nobody->pw_gid), 0);

    TextSource source(seed() + 2);
    const std::vector<Operation> &table = operation_table();
    std::vector<std::pair<const Operation *, Case>> cases;
    std::size_t attacks = 0;
    for (long index = 0; index < total; ++index) {
        const Operation &operation = table[static_cast<std::size_t>(index) % table.size()];
        Case c = make_case(operation, source);
        for (std::string &text : c.texts) {
            if (source.next() % 3 == 0) {
                text = with_attack(text, sudo.canary(), source.next());
                ++attacks;
            }
        }
        cases.emplace_back(&operation, std::move(c));
    }

    const auto started = std::chrono::steady_clock::now();
    const int wrong_codes = sudo.run("/usr/bin:/bin:" + sudo.tools_directory(), [&] {
        if (chdir(scratch.c_str()) != 0) {
            return 1;
        }
        setenv("HOME", scratch.c_str(), 1);
        setenv("TMPDIR", scratch.c_str(), 1);
        int wrong = 0;
        for (const auto &[operation, c] : cases) {
            int code = 0;
            {
                const QuietOutput quiet;
                code = operation->call(c);
            }
            if (code != expected_code(*operation, c)) {
                std::fprintf(stderr, "%s: code %d\n", describe(*operation, c).c_str(), code);
                ++wrong;
            }
        }
        return wrong;
    });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_EQ(wrong_codes, 0) << "cases with another result (100+: the namespace or the user "
                                 "change failed); "
                              << seed_note();

    std::vector<std::pair<std::size_t, ToolCall>> expected;
    for (std::size_t index = 0; index < cases.size(); ++index) {
        const auto &[operation, c] = cases[index];
        for (const ExpectedCommand &command : runnable(operation->commands(c))) {
            expected.emplace_back(index, tool_call_of(command.text));
        }
    }
    const std::vector<standin::Invocation> received = tools.invocations();
    for (std::size_t run = 0; run < std::min(expected.size(), received.size()); ++run) {
        const ToolCall got = call_of(received[run]);
        const auto &[operation, c] = cases[expected[run].first];
        ASSERT_EQ(got, expected[run].second)
            << describe(*operation, c) << "\nexpected: " << show(expected[run].second)
            << "\nreceived: " << show(got) << "\n"
            << seed_note();
    }
    ASSERT_EQ(received.size(), expected.size()) << seed_note();
    EXPECT_FALSE(std::filesystem::exists(sudo.canary())) << seed_note();
    EXPECT_EQ(unexpected_files(scratch), std::vector<std::string>{}) << seed_note();
    EXPECT_GT(attacks, static_cast<std::size_t>(total) / 4);
    std::printf(
        "[ injection ] as nobody through the real sudo: %ld cases, %zu tool runs, "
        "%zu texts with an attack, 0 extra runs, canary absent, %.1f s, %s\n",
        total, received.size(), attacks, seconds, seed_note().c_str());
}

}  // namespace
}  // namespace hardening
