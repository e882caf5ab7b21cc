// The container demo end to end: the program runs through the real shell against the runtime,
// on real containers, in a state directory of the test's own; what it logs is read at the
// private syslog socket and must be exactly the outcome lines of its flow, in order.
#include "child_process.hpp"
#include "private_log_socket.hpp"
#include "real_runtime_fixture.hpp"
#include "runtime_support.hpp"

#include <gtest/gtest.h>

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using kestal::test::ChildResult;
using kestal::test::PrivateLogSocket;
using kestal::test::run_program;
using kestal::test::SyslogRecord;

namespace fs = std::filesystem;

// The outcome lines of the demo's flow, in order. "<n>" stands for a process number. The
// migration calls fail (the runtime does not migrate yet): their lines are the failure lines,
// logged as errors. The checkpoint calls succeed where a working CRIU is found; elsewhere
// the checkpoint fails (kCheckpointFailureLine) and the demo goes on without it.
const std::vector<std::string> kSystemLines = {
    "ZOR-SYS-LIB: create: Created system container 'demo-web'.",
    "ZOR-SYS-LIB: open: Opened handler of 'demo-web'.",
    "ZOR-SYS-LIB: start: Started system container 'demo-web'.",
    "ZOR-SYS-LIB: getpid: PID of 'demo-web' is <n>.",
    "ZOR-SYS-LIB: limit: Set limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: limit: Set limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: limit: Set limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: limit: Set limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: unlimit: Unset limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: unlimit: Unset limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: unlimit: Unset limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: unlimit: Unset limitation of resource usage 'demo-web'.",
    "ZOR-SYS-LIB: save: Saved snapshot of 'demo-web' as 'before-upgrade'.",
    "ZOR-SYS-LIB: stop: Stopped system container 'demo-web'.",
    "ZOR-SYS-LIB: load: Loaded snapshot 'before-upgrade' of 'demo-web'.",
    "ZOR-SYS-LIB: start: Started system container 'demo-web'.",
    "ZOR-SYS-LIB: commit: Committed snapshot 'before-upgrade' to 'demo-web'.",
    "ZOR-SYS-LIB: remove: Removed snapshot 'before-upgrade' of 'demo-web'.",
    "ZOR-SYS-LIB: remove: Removed base image 'web-base'.",
    "ZOR-SYS-LIB: checkpoint: Saved checkpoint of 'demo-web' as 'warm'.",
    "ZOR-SYS-LIB: restart: Restarted 'demo-web' from 'warm'.",
    "ZOR-SYS-LIB: remove: Removed checkpoint 'warm' of 'demo-web'.",
    "ZOR-SYS-LIB: getpid: PID of 'demo-web' is <n>.",
    "ZOR-SYS-LIB: share: Shared 'demo-web'.",
    "ZOR-SYS-LIB: unshare: Unshared 'demo-web'.",
    "ZOR-SYS-LIB: suspend: Suspended 'demo-web'.",
    "ZOR-SYS-LIB: resume: Resumed 'demo-web'.",
    "ZOR-SYS-LIB: getpid: PID of 'demo-web' is <n>.",
    "ZOR-SYS-LIB: create: Created control group 'web-group'.",
    "ZOR-SYS-LIB: bind: Bound '<n>' to 'web-group'.",
    "ZOR-SYS-LIB: unbind: Unbound '<n>' from 'web-group'.",
    "ZOR-SYS-LIB: destroy: Destroyed control group 'web-group'.",
    "ZOR-SYS-LIB: immigrate: Failed to immigrate 'demo-web'. (ErrNo=-108)",
    "ZOR-SYS-LIB: migrate: Failed to migrate 'demo-web' to '127.0.0.1'. (ErrNo=-108)",
    "ZOR-SYS-LIB: stop: Stopped system container 'demo-web'.",
    "ZOR-SYS-LIB: destroy: Destroyed system container 'demo-web'.",
    "ZOR-SYS-LIB: close: Closed handler of 'demo-web'.",
};
const char kCheckpointFailureLine[] =
    "ZOR-SYS-LIB: checkpoint: Failed to save checkpoint of 'demo-web' as 'warm'. (ErrNo=-108)";
const std::vector<std::string> kApplicationLines = {
    "ZOR-APP-LIB: create: Created application container 'demo-app'.",
    "ZOR-APP-LIB: open: Opened handler of 'demo-app'.",
    "ZOR-APP-LIB: save: Saved snapshot of 'demo-app' as 'configured'.",
    "ZOR-APP-LIB: load: Loaded snapshot 'configured' of 'demo-app'.",
    "ZOR-APP-LIB: commit: Committed snapshot 'configured' to 'demo-app'.",
    "ZOR-APP-LIB: remove: Removed snapshot 'configured' of 'demo-app'.",
    "ZOR-APP-LIB: remove: Removed base image 'app-base'.",
    "ZOR-APP-LIB: start: Started application container 'demo-app'.",
    "ZOR-APP-LIB: getpid: PID of 'demo-app' is <n>.",
    "ZOR-APP-LIB: limit: Set limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: limit: Set limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: limit: Set limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: limit: Set limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: unlimit: Unset limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: unlimit: Unset limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: unlimit: Unset limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: unlimit: Unset limitation of resource usage 'demo-app'.",
    "ZOR-APP-LIB: create: Created control group 'app-group'.",
    "ZOR-APP-LIB: bind: Bound '<n>' to 'app-group'.",
    "ZOR-APP-LIB: unbind: Unbound '<n>' from 'app-group'.",
    "ZOR-APP-LIB: bind: Bound '1' to 'app-group'.",
    "ZOR-APP-LIB: unbind: Unbound '1' from 'app-group'.",
    "ZOR-APP-LIB: destroy: Destroyed control group 'app-group'.",
    "ZOR-APP-LIB: register: Registered '<n>'.",
    "ZOR-APP-LIB: unregister: Unregistered '<n>'.",
    "ZOR-APP-LIB: stop: Stopped application container 'demo-app'.",
    "ZOR-APP-LIB: close: Closed handler of 'demo-app'.",
    "ZOR-APP-LIB: destroy: Destroyed application container 'demo-app'.",
};

// The pattern of an expected line: its text literally, "<n>" a decimal number.
std::regex pattern_of(const std::string &line) {
    static const std::regex metacharacters(R"([.^$|()\[\]{}*+?\\])");
    std::string escaped = std::regex_replace(line, metacharacters, R"(\$&)");
    const std::string placeholder = "<n>";
    for (std::size_t at; (at = escaped.find(placeholder)) != std::string::npos;) {
        escaped.replace(at, placeholder.size(), "([0-9]+)");
    }
    return std::regex(escaped);
}

std::string without_newline(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

// The number in "name[pid]", or -1.
long pid_of_tag(const std::string &tag) {
    std::smatch match;
    static const std::regex form(R"(^container-demo\[([0-9]+)\]$)");
    return std::regex_match(tag, match, form) ? std::stol(match[1]) : -1;
}

class ContainerDemo : public testing::Test {
protected:
    void SetUp() override {
        KESTAL_REQUIRE_LOG_SOCKET();
        if (geteuid() != 0 || run_program({"/bin/sh", "-c", "command -v runc"}).exit_code() != 0) {
            GTEST_SKIP() << "SKIPPED: the demo runs real containers: it needs root and runc";
        }
        char directory[] = "/tmp/kestal-demo-test-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        work_ = directory;
        fs::create_directory(state());
        fs::create_directory(temporary());
        PrivateLogSocket::instance().clear();
    }
    void TearDown() override {
        if (!work_.empty()) {
            // A flow that stopped half way leaves containers running: end them, with their
            // cgroups and mounts, before the directories go.
            real_runtime::clear(state().string());
            std::error_code ignored;
            fs::remove_all(work_, ignored);
        }
    }

    fs::path state() const { return work_ / "state"; }
    fs::path temporary() const { return work_ / "tmp"; }

    // Runs command through the shell, with the runtime's tools and the demos first on PATH, in
    // the test's state directory.
    ChildResult shell(const std::string &command) const {
        const char *path = std::getenv("PATH");
        const char *criu = std::getenv("ZOR_RUNTIME_CRIU");
        return run_program(
            {"/bin/sh", "-c", command},
            {"PATH=" + std::string(ZOR_RUNTIME_DIRECTORY) + ":" DEMO_DIRECTORY ":" +
                 (path != nullptr ? path : "/usr/bin:/bin"),
             "ZOR_RUNTIME_STATE=" + state().string(), "TMPDIR=" + temporary().string(),
             "ZOR_RUNTIME_CRIU=" + std::string(criu != nullptr ? criu : "")});
    }

    fs::path work_;
};

TEST_F(ContainerDemo, LogsExactlyTheOutcomesOfItsFlowAndLeavesNothingBehind) {
    const ChildResult result = shell("container-demo");
    ASSERT_EQ(result.exit_code(), 0) << result.out << result.err;
    EXPECT_NE(result.out.find("container-demo: "), std::string::npos);
    EXPECT_NE(result.out.find("every one gave the result it should"), std::string::npos);
    EXPECT_EQ(result.out.find("UNEXPECTED"), std::string::npos) << result.out;

    std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
    std::vector<std::string> expected = kSystemLines;
    const std::string no_criu = real_runtime::criu_problem(state().string());
    if (!no_criu.empty()) {
        ASSERT_FALSE(real_runtime::criu_required()) << no_criu;
        std::cerr << "NOTE: no working CRIU, the demo's checkpoints fail: " << no_criu << "\n";
        const auto first =
            std::find_if(expected.begin(), expected.end(), [](const std::string &line) {
                return line.rfind("ZOR-SYS-LIB: checkpoint: ", 0) == 0;
            });
        ASSERT_NE(first, expected.end());
        *first = kCheckpointFailureLine;
        expected.erase(first + 1, first + 3);  // restart and remove
    }
    expected.insert(expected.end(), kApplicationLines.begin(), kApplicationLines.end());
    ASSERT_EQ(records.size(), expected.size()) << result.err;

    const long demo_pid = pid_of_tag(records.front().tag);
    ASSERT_GT(demo_pid, 0) << records.front().tag;
    std::set<long> main_processes;
    std::string last_main_process;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string message = without_newline(records[i].message);
        SCOPED_TRACE("line " + std::to_string(i) + ": " + message);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(message, match, pattern_of(expected[i])))
            << "expected: " << expected[i];
        const bool refused = message.find("Failed to") != std::string::npos;
        EXPECT_EQ(records[i].priority, LOG_LOCAL5 | (refused ? LOG_ERR : LOG_INFO));
        // Every outcome also reached the terminal, through LOG_PERROR.
        EXPECT_NE(result.err.find(message), std::string::npos);

        EXPECT_EQ(pid_of_tag(records[i].tag), demo_pid);
        if (match.size() < 2) {
            continue;  // a line without a process number
        }
        if (message.find(": getpid: ") != std::string::npos) {
            last_main_process = match[1];
            main_processes.insert(std::stol(last_main_process));
        } else if (message.find("register: ") != std::string::npos) {
            // The demo registers itself.
            EXPECT_EQ(std::stol(match[1]), demo_pid);
        } else if (message.find("'1'") == std::string::npos) {
            // Bound and unbound is the main process that the query before reported (or, by
            // its number inside the container, 1).
            EXPECT_EQ(match[1], last_main_process);
        }
    }

    // Every main process was ended (a zombie that init has yet to reap counts as ended).
    for (const long pid : main_processes) {
        EXPECT_TRUE(runtime_test::wait_ended(static_cast<pid_t>(pid)))
            << "main process " << pid << " is still there";
    }

    // No container is left, in the runtime's records or on the host.
    const ChildResult left = shell("zor-sys list; zor-app list");
    EXPECT_EQ(left.exit_code(), 0) << left.err;
    EXPECT_EQ(left.out, "");
    EXPECT_EQ(real_runtime::leftovers(state().string()), std::vector<std::string>{});
    EXPECT_TRUE(fs::is_empty(temporary()));
}

TEST_F(ContainerDemo, RefusesABadPortArgument) {
    const ChildResult result = shell("container-demo 0x");
    EXPECT_EQ(result.exit_code(), 2);
    EXPECT_EQ(result.err, "usage: container-demo [port]\n");
    EXPECT_TRUE(PrivateLogSocket::instance().take().empty());
}

}  // namespace
