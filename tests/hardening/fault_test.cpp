// Every way a tool can fail, for every way a command runs: missing from PATH, every exit
// status, ended by signals, silent, printing endlessly, hanging until killed; and pipes and
// shells that cannot start at all. Each case gives the code that the result rules define,
// leaves the caller's list pointer alone where a listing fails, and leaks nothing (the
// sanitizer build runs these under LeakSanitizer).
#include "fault_operations.hpp"

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace hardening {
namespace {

constexpr int kNotFound = 127;
constexpr int kSignalBase = 128;
constexpr int kStandinSudoNotFound = 1;  // what sudo exits with when the program is missing
constexpr long kUnchanged = -7;          // what the operations' outputs hold before the call

std::string describe(const FaultOperation &operation, const std::string &fault) {
    return std::string(operation.name) + ", " + fault;
}

bool is_listing(const FaultOperation &operation) {
    return operation.mode == RunMode::kPopenList || operation.mode == RunMode::kPopenPairs;
}

// Checks a call whose tool ran and ended with exit_status, printing nothing.
void expect_status_outcome(const FaultOperation &operation, const Observed &observed,
                           int exit_status, const std::string &fault) {
    const std::string what = describe(operation, fault);
    EXPECT_EQ(observed.code, expected_code(operation, exit_status)) << what;
    if (is_listing(operation)) {
        // The status of a listing's tool says nothing: what it printed (nothing) is the list.
        EXPECT_FALSE(observed.list_untouched) << what;
        EXPECT_EQ(observed.entries, 0u) << what;
    } else if (operation.reads_status) {
        // Nothing is stored unless the query succeeded; a silent success reads as 0.
        EXPECT_EQ(observed.value, observed.code == 0 ? 0 : kUnchanged) << what;
    }
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
        // Tools ended by SIGSEGV or SIGABRT must not leave core files behind.
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
    }
    void TearDown() override { client_test::reset_shell(); }

    void script_all(const FaultOperation &operation, const standin::Answer &answer) {
        tools_.script(operation.program, operation.verb, answer);
    }

    standin::Session tools_;
};

TEST_F(Faults, ToolAndSudoMissingFromPathGiveTheShells127) {
    const std::filesystem::path empty = tools_.directory() / "empty";
    std::filesystem::create_directories(empty);
    tools_.set_path(empty.string());
    for (const FaultOperation &operation : fault_operations()) {
        const Observed observed = operation.call();
        if (operation.mode == RunMode::kPopenLine && !operation.reads_status) {
            // Open: the search itself finds nothing to run, so there is no handle.
            EXPECT_EQ(observed.code, ZOR_SYS_EMISSING) << operation.name;
            continue;
        }
        expect_status_outcome(operation, observed, kNotFound, "nothing on PATH");
    }
    EXPECT_TRUE(tools_.invocations().empty());
}

TEST_F(Faults, ToolMissingBehindSudo) {
    const std::filesystem::path only_sudo = tools_.directory() / "only-sudo";
    std::filesystem::create_directories(only_sudo);
    std::filesystem::create_symlink(standin::Session::tools_directory() + "/sudo",
                                    only_sudo / "sudo");
    tools_.set_path(only_sudo.string());
    for (const FaultOperation &operation : fault_operations()) {
        const Observed observed = operation.call();
        if (operation.mode == RunMode::kPopenLine && !operation.reads_status) {
            EXPECT_EQ(observed.code, ZOR_SYS_EMISSING) << operation.name;
            continue;
        }
        // sudo reports a missing program with its own status; without sudo the shell does.
        expect_status_outcome(operation, observed,
                              operation.via_sudo ? kStandinSudoNotFound : kNotFound,
                              "tool missing");
    }
}

TEST_F(Faults, EveryExitStatus) {
    for (const FaultOperation &operation : fault_operations()) {
        // Every status for one operation of each kind; a spread of them for the others.
        const bool every = std::string(operation.name) == "zor_sys_get_status" ||
                           std::string(operation.name) == "zor_app_get_pid" ||
                           std::string(operation.name) == "zor_sys_get_container_list";
        const std::vector<int> spread = {0, 1, 2, 99, 100, 101, 126, 127, 128, 143, 200, 255};
        std::vector<int> statuses;
        for (int status = 0; status < 256; ++status) {
            statuses.push_back(status);
        }
        for (const int status : every ? statuses : spread) {
            script_all(operation, standin::exits(status));
            const Observed observed = operation.call();
            expect_status_outcome(operation, observed, status,
                                  "exit status " + std::to_string(status));
            if (operation.mode == RunMode::kPopenLine && !operation.reads_status) {
                EXPECT_EQ(observed.value, 0) << operation.name;  // a handle, without a type
            }
        }
    }
}

TEST_F(Faults, ToolEndedBySignal) {
    for (const FaultOperation &operation : fault_operations()) {
        for (const int signal : {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGKILL, SIGSEGV, SIGTERM}) {
            script_all(operation, standin::killed_by(signal));
            const Observed observed = operation.call();
            // The shell reports a command ended by signal n as 128 + n; a shell that ran the
            // tool in its own process is itself ended by it, which maps to the same code.
            expect_status_outcome(operation, observed, kSignalBase + signal,
                                  "signal " + std::to_string(signal));
        }
    }
}

TEST_F(Faults, ToolPrintsNothing) {
    for (const FaultOperation &operation : fault_operations()) {
        script_all(operation, standin::exits(0));
        client_test::clear_logged_lines();
        const Observed observed = operation.call();
        expect_status_outcome(operation, observed, 0, "silent");
        if (operation.mode == RunMode::kPopenLine && !operation.reads_status) {
            // Open: a handle without a type, and the failure line with ErrNo=0.
            EXPECT_EQ(observed.code, 0) << operation.name;
            EXPECT_EQ(observed.value, 0) << operation.name;
            const std::vector<client_test::LogLine> lines = client_test::logged_lines();
            ASSERT_EQ(lines.size(), 2u) << operation.name;  // open's line, then close's
            EXPECT_EQ(lines[0].priority, 3);
            EXPECT_NE(lines[0].message.find("(ErrNo=0)"), std::string::npos);
        }
    }
}

TEST_F(Faults, EndlessOutputNeverHangsAOneLineRead) {
    for (const FaultOperation &operation : fault_operations()) {
        if (operation.mode != RunMode::kPopenLine) {
            continue;
        }
        const std::string line = operation.reads_status ? "4321\n"
                                 : std::string(operation.program) == "zor-app"
                                     ? "CONTAINER_TYPE 9\n"
                                     : "TYPE 9\n";
        script_all(operation, standin::repeats(line, 0));
        const Observed observed = operation.call();
        if (operation.reads_status) {
            // The pipe closes after the first line; the tool dies of SIGPIPE.
            EXPECT_EQ(observed.code, -(kSignalBase + SIGPIPE)) << operation.name;
            EXPECT_EQ(observed.value, kUnchanged) << operation.name;
        } else {
            EXPECT_EQ(observed.code, 0) << operation.name;
            EXPECT_EQ(observed.value, 9) << operation.name;
        }
    }
}

TEST_F(Faults, LongOutputBecomesAWholeListing) {
    constexpr long kLines = 50000;
    for (const FaultOperation &operation : fault_operations()) {
        if (!is_listing(operation)) {
            continue;
        }
        const std::string line = operation.mode == RunMode::kPopenPairs ? "12,34\n" : "entry\n";
        script_all(operation, standin::repeats(line, kLines));
        const Observed observed = operation.call();
        EXPECT_EQ(observed.code, 0) << operation.name;
        EXPECT_EQ(observed.entries, static_cast<std::size_t>(kLines)) << operation.name;
    }
}

// The pid and the parent's pid that a hanging stand-in wrote, once it has written them.
bool wait_for_hang(const std::filesystem::path &file, pid_t &pid, pid_t &parent) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(file);
        long tool = 0;
        long started_by = 0;
        if (in >> tool >> started_by) {
            pid = static_cast<pid_t>(tool);
            parent = static_cast<pid_t>(started_by);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST_F(Faults, ToolThatHangsIsKilledFromAnotherThread) {
    int round = 0;
    for (const FaultOperation &operation : fault_operations()) {
        const std::filesystem::path file = tools_.directory() / ("hang-" + std::to_string(round++));
        script_all(operation, standin::hangs(file.string()));
        Observed observed;
        std::thread caller([&] { observed = operation.call(); });
        pid_t tool = 0;
        pid_t parent = 0;
        const bool started = wait_for_hang(file, tool, parent);
        if (started) {
            kill(tool, SIGTERM);
        }
        caller.join();
        ASSERT_TRUE(started) << operation.name;
        expect_status_outcome(operation, observed, kSignalBase + SIGTERM, "killed while hanging");
    }
}

TEST_F(Faults, ShellKilledWhileItsToolHangs) {
    const FaultOperation &operation = fault_operations().front();
    const std::filesystem::path file = tools_.directory() / "hang";
    script_all(operation, standin::hangs(file.string()));
    Observed observed;
    std::thread caller([&] { observed = operation.call(); });
    pid_t tool = 0;
    pid_t parent = 0;
    const bool started = wait_for_hang(file, tool, parent);
    const bool separate_shell = started && parent != getpid();
    if (started) {
        // The shell, when it waits for the tool in a process of its own; else the tool.
        kill(separate_shell ? parent : tool, SIGTERM);
    }
    caller.join();
    if (separate_shell) {
        kill(tool, SIGKILL);  // orphaned by its shell
    }
    ASSERT_TRUE(started);
    std::printf("[ shell ] %s\n", separate_shell
                                      ? "the shell waited for the tool and was killed"
                                      : "the shell had become the tool, which was killed");
    // A shell ended by a signal maps like a tool that was: the command did not succeed.
    EXPECT_EQ(observed.code, -(kSignalBase + SIGTERM)) << operation.name;
}

// Runs body in a child process and returns what it reported ("" when all was well).
std::string in_child(const std::function<std::string()> &body) {
    int report[2];
    if (pipe(report) != 0) {
        return "pipe failed";
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        const std::string text = body();
        ssize_t ignored = write(report[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    close(report[1]);
    std::string text;
    char block[4096];
    ssize_t got = 0;
    while ((got = read(report[0], block, sizeof block)) > 0) {
        text.append(block, static_cast<std::size_t>(got));
    }
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        text += "the child ended with wait status " + std::to_string(status);
    }
    return text;
}

std::string mismatch(const FaultOperation &operation, const char *what, long got, long want) {
    return got == want ? ""
                       : std::string(operation.name) + ": " + what + " " + std::to_string(got) +
                             ", expected " + std::to_string(want) + "\n";
}

TEST_F(Faults, PopenCannotStartWhenNoDescriptorIsLeft) {
    const std::string report = in_child([] {
        const rlimit few{64, 64};
        setrlimit(RLIMIT_NOFILE, &few);
        // Fill the table; the fillers close on exec, so commands run with system() still work.
        while (fcntl(0, F_DUPFD_CLOEXEC, 0) >= 0) {
        }
        if (errno != EMFILE) {
            return std::string("filling the descriptor table failed");
        }
        std::string problems;
        for (const FaultOperation &operation : fault_operations()) {
            const Observed observed = operation.call();
            if (operation.mode == RunMode::kSystem) {
                problems += mismatch(operation, "code", observed.code, 0);
            } else if (operation.mode == RunMode::kPopenLine && !operation.reads_status) {
                // Open: the search ran; the type query could not start.
                problems += mismatch(operation, "code", observed.code, 0);
                problems += mismatch(operation, "type", observed.value, 0);
            } else {
                problems += mismatch(operation, "code", observed.code, ZOR_SYS_EMISSING);
                if (is_listing(operation)) {
                    problems += mismatch(operation, "list untouched", observed.list_untouched, 1);
                } else {
                    problems += mismatch(operation, "value", observed.value, kUnchanged);
                }
            }
        }
        return problems;
    });
    EXPECT_EQ(report, "");
}

TEST_F(Faults, NoCommandCanStartWhenNoProcessIsLeft) {
    const std::string report = in_child([] {
        // Without processes to spare, neither system() nor popen() can start the shell.
        const gid_t nobody_group = 65534;
        const uid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody_group) != 0 || setuid(nobody) != 0) {
            return std::string("skip: cannot become an unprivileged user");
        }
        const rlimit none{0, 0};
        setrlimit(RLIMIT_NPROC, &none);
        std::string problems;
        for (const FaultOperation &operation : fault_operations()) {
            const Observed observed = operation.call();
            if (operation.mode == RunMode::kSystem) {
                // The C library's system() reports a shell it could not start as a shell
                // that exited with 127, so this reads as "command not found": -127, for the
                // status query too. Only a system() that returns -1 gives -255.
                problems += mismatch(operation, "code", observed.code, -kNotFound);
            } else if (operation.mode == RunMode::kPopenLine && !operation.reads_status) {
                problems +=
                    mismatch(operation, "code", observed.code, ZOR_SYS_EMISSING);  // no handle
            } else {
                problems += mismatch(operation, "code", observed.code, ZOR_SYS_EMISSING);
                if (is_listing(operation)) {
                    problems += mismatch(operation, "list untouched", observed.list_untouched, 1);
                }
            }
        }
        return problems;
    });
    if (report.rfind("skip:", 0) == 0) {
        GTEST_SKIP() << report;
    }
    EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace hardening
