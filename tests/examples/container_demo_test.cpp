// The container demo end to end: the program runs through the real shell against the runtime,
// on real containers, in a state directory of the test's own (and a second one it makes for
// the migration's receiver); what it logs is read at the private syslog socket and must be
// exactly the outcome lines of its flow, in order, with a working CRIU and without one.
#include "child_process.hpp"
#include "private_log_socket.hpp"
#include "real_runtime_fixture.hpp"
#include "runtime_support.hpp"

#include <gtest/gtest.h>

#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
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

// The outcome lines of the system container's flow, in order, up to its checkpoint. "<n>"
// stands for a process number.
const std::vector<std::string> kSystemLinesBeforeCheckpoint = {
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
    "ZOR-SYS-LIB: getpid: PID of 'demo-web' is <n>.",
};
const std::vector<std::string> kSharingAndGroupLines = {
    "ZOR-SYS-LIB: share: Shared 'demo-web'.",
    "ZOR-SYS-LIB: unshare: Unshared 'demo-web'.",
    "ZOR-SYS-LIB: suspend: Suspended 'demo-web'.",
    "ZOR-SYS-LIB: resume: Resumed 'demo-web'.",
    "ZOR-SYS-LIB: getpid: PID of 'demo-web' is <n>.",
    "ZOR-SYS-LIB: create: Created control group 'web-group'.",
    "ZOR-SYS-LIB: bind: Bound '<n>' to 'web-group'.",
    "ZOR-SYS-LIB: unbind: Unbound '<n>' from 'web-group'.",
    "ZOR-SYS-LIB: destroy: Destroyed control group 'web-group'.",
};
// With a working CRIU: the checkpoint, the restart with its new main process, and the move to
// the second machine, where the container is retired; the sender no longer knows it.
const std::vector<std::string> kCheckpointLines = {
    "ZOR-SYS-LIB: checkpoint: Saved checkpoint of 'demo-web' as 'warm'.",
    "ZOR-SYS-LIB: restart: Restarted 'demo-web' from 'warm'.",
    "ZOR-SYS-LIB: getpid: PID of 'demo-web' is <n>.",
    "ZOR-SYS-LIB: remove: Removed checkpoint 'warm' of 'demo-web'.",
};
const std::vector<std::string> kMigrationLines = {
    "ZOR-SYS-LIB: immigrate: Immigrated 'demo-web'.",
    "ZOR-SYS-LIB: migrate: Migrated 'demo-web' to '127.0.0.1'.",
    "ZOR-SYS-LIB: status: Failed to get status of 'demo-web'. (ErrNo=-102)",
    "ZOR-SYS-LIB: open: Opened handler of 'demo-web'.",
    "ZOR-SYS-LIB: getpid: PID of 'demo-web' is <n>.",
    "ZOR-SYS-LIB: stop: Stopped system container 'demo-web'.",
    "ZOR-SYS-LIB: destroy: Destroyed system container 'demo-web'.",
    "ZOR-SYS-LIB: close: Closed handler of 'demo-web'.",
    "ZOR-SYS-LIB: close: Closed handler of 'demo-web'.",
};
// Without one: the checkpoint and migration calls fail (logged as errors) and the container
// ends where it was.
const std::vector<std::string> kRefusedCheckpointLines = {
    "ZOR-SYS-LIB: checkpoint: Failed to save checkpoint of 'demo-web' as 'warm'. (ErrNo=-108)",
};
const std::vector<std::string> kRefusedMigrationLines = {
    "ZOR-SYS-LIB: immigrate: Failed to immigrate 'demo-web'. (ErrNo=-108)",
    "ZOR-SYS-LIB: migrate: Failed to migrate 'demo-web' to '127.0.0.1'. (ErrNo=-108)",
    "ZOR-SYS-LIB: stop: Stopped system container 'demo-web'.",
    "ZOR-SYS-LIB: destroy: Destroyed system container 'demo-web'.",
    "ZOR-SYS-LIB: close: Closed handler of 'demo-web'.",
};
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

// The lines of the whole demo: the system container's, with or without CRIU, then the
// application container's.
std::vector<std::string> demo_lines(bool checkpointer) {
    std::vector<std::string> lines = kSystemLinesBeforeCheckpoint;
    for (const auto *part :
         {checkpointer ? &kCheckpointLines : &kRefusedCheckpointLines, &kSharingAndGroupLines,
          checkpointer ? &kMigrationLines : &kRefusedMigrationLines, &kApplicationLines}) {
        lines.insert(lines.end(), part->begin(), part->end());
    }
    return lines;
}

// The receiver and the sender each log when their tool has ended; which of the two ends
// first is up to the scheduler, so the pair is put in the order of the expected lines.
void order_migration_pair(std::vector<SyslogRecord> &records) {
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        if (records[i].message.find(": migrate: ") != std::string::npos &&
            records[i + 1].message.find(": immigrate: ") != std::string::npos) {
            std::swap(records[i], records[i + 1]);
        }
    }
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
            // A flow that stopped half way leaves containers running, on either machine: end
            // them, with their cgroups and mounts, before the directories go.
            real_runtime::clear(state().string());
            if (!receiver_.empty()) {
                real_runtime::clear(receiver_);
            }
            std::error_code ignored;
            fs::remove_all(work_, ignored);
        }
    }

    fs::path state() const { return work_ / "state"; }
    fs::path temporary() const { return work_ / "tmp"; }

    // Runs command through the shell, with the runtime's tools and the demos first on PATH, in
    // the test's state directory, with criu as the runtime's CRIU.
    ChildResult shell(const std::string &command, const std::string &criu) const {
        const char *path = std::getenv("PATH");
        return run_program({"/bin/sh", "-c", command},
                           {"PATH=" + std::string(ZOR_RUNTIME_DIRECTORY) + ":" DEMO_DIRECTORY ":" +
                                (path != nullptr ? path : "/usr/bin:/bin"),
                            "ZOR_RUNTIME_STATE=" + state().string(),
                            "TMPDIR=" + temporary().string(), "ZOR_RUNTIME_CRIU=" + criu});
    }

    // Runs the demo and checks that it logged exactly expected, that its steps all went as
    // planned and that nothing of it is left, on either machine.
    void run_demo(const std::string &criu, const std::vector<std::string> &expected,
                  const std::vector<std::string> &shown) {
        const ChildResult result = shell("container-demo", criu);
        std::smatch receiver;
        if (std::regex_search(result.out, receiver,
                              std::regex("ZOR_RUNTIME_STATE=(\\S+) for the receiver"))) {
            receiver_ = receiver[1];
        }
        ASSERT_EQ(result.exit_code(), 0) << result.out << result.err;
        EXPECT_NE(result.out.find("container-demo: "), std::string::npos);
        EXPECT_NE(result.out.find("every one gave the result it should"), std::string::npos);
        EXPECT_EQ(result.out.find("UNEXPECTED"), std::string::npos) << result.out;
        for (const std::string &line : shown) {
            EXPECT_TRUE(std::regex_search(result.out, std::regex(line))) << line << "\n"
                                                                         << result.out;
        }

        std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
        order_migration_pair(records);
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

            // The receiver is a process of its own; every other line is the demo's.
            const bool received = message.find(": immigrate: Immigrated") != std::string::npos;
            const long tag_pid = pid_of_tag(records[i].tag);
            EXPECT_TRUE(received ? tag_pid > 0 && tag_pid != demo_pid : tag_pid == demo_pid)
                << records[i].tag;
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

        // Every main process was ended (a zombie that init has yet to reap counts as ended):
        // the first, the one after the snapshot's load, the restored one, the moved one.
        for (const long pid : main_processes) {
            EXPECT_TRUE(runtime_test::wait_ended(static_cast<pid_t>(pid)))
                << "main process " << pid << " is still there";
        }

        // No container is left, in the runtime's records or on the host, on either machine;
        // the second machine's state directory went with the demo's temporary files.
        const ChildResult left = shell("zor-sys list; zor-app list", criu);
        EXPECT_EQ(left.exit_code(), 0) << left.err;
        EXPECT_EQ(left.out, "");
        EXPECT_EQ(real_runtime::leftovers(state().string()), std::vector<std::string>{});
        if (!receiver_.empty()) {
            EXPECT_EQ(real_runtime::leftovers(receiver_), std::vector<std::string>{});
        }
        EXPECT_TRUE(fs::is_empty(temporary()));
    }

    fs::path work_;
    std::string receiver_;  // the second machine's state directory, once the demo named it
};

TEST_F(ContainerDemo, CheckpointsRestartsAndMovesTheCountingContainerAndLeavesNothingBehind) {
    // The CRIU of ZOR_RUNTIME_CRIU (scripts/test.sh finds or builds one), else the runtime's
    // own lookup.
    const std::string problem = real_runtime::criu_problem(state().string());
    if (!problem.empty()) {
        ASSERT_FALSE(real_runtime::criu_required()) << "ZOR_REQUIRE_CRIU=1, but " << problem;
        GTEST_SKIP() << "SKIPPED: the demo's checkpoint, restart and migration need a working "
                        "CRIU: "
                     << problem;
    }
    const char *criu = std::getenv("ZOR_RUNTIME_CRIU");
    run_demo(criu != nullptr ? criu : "", demo_lines(true),
             {"the count went back: [0-9]+ after the restart.* yes\n",
              "rises again from there: [0-9]+ +yes\n",
              "the count goes on from the sender's last \\([0-9]+\\): [0-9]+ +yes\n",
              "and rises there: [0-9]+ +yes\n"});
}

TEST_F(ContainerDemo, ShowsTheRefusalsWhereTheRuntimeHasNoWorkingCriu) {
    // The runtime tries no other CRIU than the one named, and this one fails its check.
    run_demo("/bin/false", demo_lines(false), {"the runtime has no working CRIU"});
}

TEST_F(ContainerDemo, RefusesABadPortArgument) {
    const ChildResult result = shell("container-demo 0x", "");
    EXPECT_EQ(result.exit_code(), 2);
    EXPECT_EQ(result.err, "usage: container-demo [port]\n");
    EXPECT_TRUE(PrivateLogSocket::instance().take().empty());
}

}  // namespace
