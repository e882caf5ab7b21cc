// The operations through the real shell and the stand-in tools: the words the tools
// receive, which commands come through sudo, and listings of large outputs.
#include <zorsys.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

struct Received {
    std::string program;
    bool via_sudo;
    Words words;
    bool operator==(const Received &other) const {
        return program == other.program && via_sudo == other.via_sudo && words == other.words;
    }
};

void PrintTo(const Received &received, std::ostream *out) {
    *out << received.program << (received.via_sudo ? " (sudo)" : " (direct)");
    for (const std::string &word : received.words) {
        *out << " [" << word << "]";
    }
}

class OperationsTools : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }

    std::vector<Received> received() const {
        std::vector<Received> all;
        for (const standin::Invocation &invocation : tools_.invocations()) {
            all.push_back({invocation.program, invocation.via_sudo, invocation.args});
        }
        return all;
    }

    // Writes text to a file of the session and returns its path.
    std::string output_file(const std::string &text) const {
        const std::string path = (tools_.directory() / "output").string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    standin::Session tools_;
    char name_[8] = "w;b";
    zor_sys_handle handle_{100, name_};
};

TEST_F(OperationsTools, FourCommandsRunWithoutSudo) {
    EXPECT_EQ(zor_sys_checkpoint(&handle_, "c 1"), 0);
    EXPECT_EQ(zor_sys_restart(&handle_, "c$1"), 0);
    EXPECT_EQ(zor_sys_share(&handle_), 0);
    EXPECT_EQ(zor_sys_unshare(&handle_), 0);
    EXPECT_EQ(zor_sys_remove_checkpoint(&handle_, "c1"), 0);
    EXPECT_EQ(received(),
              (std::vector<Received>{
                  {"zor-sys", false, {"checkpoint", "-n", "w;b", "-t", "c 1"}},
                  {"zor-sys", false, {"restart", "-n", "w;b", "-t", "c$1"}},
                  {"zor-sys", false, {"share", "-n", "w;b"}},
                  {"zor-sys", false, {"unshare", "-n", "w;b"}},
                  {"zor-sys", true, {"remove", "--checkpoint", "-n", "w;b", "-t", "c1"}}}));
}

TEST_F(OperationsTools, SnapshotsAndMigrationReachTheirTools) {
    EXPECT_EQ(zor_sys_suspend(&handle_), 0);
    EXPECT_EQ(zor_sys_save_snapshot(&handle_, ""), 0);
    EXPECT_EQ(zor_sys_commit_snapshot(&handle_, "s1", "b1"), 0);
    EXPECT_EQ(zor_sys_migration_start(&handle_, "host-b", -1), 0);
    EXPECT_EQ(zor_sys_immigration_start("w;b", 7000), 0);
    EXPECT_EQ(received(),
              (std::vector<Received>{
                  {"zor-sys", true, {"suspend", "-n", "w;b"}},
                  {"zor-sys", true, {"save", "-n", "w;b", "-t", ""}},
                  {"zor-sys", true, {"commit", "-n", "w;b", "-t", "s1", "-b", "b1"}},
                  {"zor-sys", true, {"migrate", "-n", "w;b", "-d", "host-b", "-p", "-1"}},
                  {"zor-target", true, {"-n", "w;b", "-p", "7000"}}}));
}

TEST_F(OperationsTools, ControlGroupsAndLimits) {
    EXPECT_EQ(zor_sys_create_cgroup(nullptr, "g;1"), 0);
    EXPECT_EQ(zor_sys_bind_pid(&handle_, "g;1", 42), 0);
    zor_sys_resource memsw{};
    memsw.type = 4;
    memsw.value.memsw = 2048;
    EXPECT_EQ(zor_sys_set_resource(&handle_, "g;1", nullptr, memsw), 0);
    EXPECT_EQ(received(),
              (std::vector<Received>{
                  {"zor-sys", true, {"create", "-g", "g;1"}},
                  {"zor-sys", true, {"bind", "-g", "g;1", "-pid", "42", "-n", "w;b"}},
                  {"zor-sys", true, {"limit", "--memsw", "2048", "-n", "w;b", "-g", "g;1"}}}));
}

TEST_F(OperationsTools, ToolFailuresBecomeResultCodes) {
    tools_.script("zor-sys", "restart", standin::exits(1));
    tools_.script("zor-target", "*", standin::exits(9));
    EXPECT_EQ(zor_sys_restart(&handle_, "c1"), -1);
    EXPECT_EQ(zor_sys_immigration_start("web", 1), -9);
    const auto lines = client_test::logged_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message,
              "ZOR-SYS-LIB: restart: Failed to restart 'w;b' from 'c1'. (ErrNo=-1)");
    EXPECT_EQ(lines[1].message, "ZOR-SYS-LIB: immigrate: Failed to immigrate 'web'. (ErrNo=-9)");
}

TEST_F(OperationsTools, UsageComesFromTheToolsFirstLine) {
    tools_.script("zor-sys", "usage", standin::prints("0-3\n4-7\n"));
    zor_sys_resource core{};
    core.type = 2;
    ::testing::internal::CaptureStdout();
    const int code = zor_sys_get_resource(&handle_, 5, "app", &core);
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(core.value.core, "0-3\n");
    EXPECT_EQ(out, "sudo zor-sys usage --core -n w\\;b -a app -vpid 5\n0\n");
    EXPECT_EQ(received(),
              (std::vector<Received>{
                  {"zor-sys", true, {"usage", "--core", "-n", "w;b", "-a", "app", "-vpid", "5"}}}));
}

TEST_F(OperationsTools, ListingsTakeEveryLineOfALargeOutput) {
    std::string output;
    std::vector<std::string> expected;
    for (int index = 0; index < 20000; ++index) {
        expected.push_back("container-" + std::to_string(index));
        output += expected.back() + "\n";
    }
    const std::string long_line(2500, 'x');
    output += long_line;  // the last line, without a newline
    tools_.script("zor-sys", "list", standin::Answer{0, 0, "", "", output_file(output)});
    char **names = nullptr;
    ASSERT_EQ(zor_sys_get_container_list(&names), 0);
    ASSERT_NE(names, nullptr);
    std::size_t count = 0;
    while (names[count] != nullptr && count < expected.size()) {
        EXPECT_EQ(names[count], expected[count]);
        ++count;
    }
    ASSERT_EQ(count, expected.size());
    std::string rest;
    for (char **slot = names + count; *slot != nullptr; ++slot) {
        rest += *slot;
    }
    EXPECT_EQ(rest, long_line);
    EXPECT_EQ(zor_sys_release_container_list(names), 0);
    EXPECT_EQ(received(), (std::vector<Received>{{"zor-sys", true, {"list"}}}));
}

TEST_F(OperationsTools, TheCheckpointListRunsWithTheCallersRights) {
    tools_.script("zor-sys", "list --checkpoint", standin::prints("NO ID\n1 c1 x\n2 c2 y\n"));
    tools_.script("zor-sys", "list --snapshot", standin::prints("s1\ns2\n"));
    char **checkpoints = nullptr;
    char **snapshots = nullptr;
    ASSERT_EQ(zor_sys_get_checkpoint_list(&handle_, &checkpoints), 0);
    handle_.type = 1;
    ASSERT_EQ(zor_sys_get_snapshot_list(&handle_, &snapshots), 0);
    ASSERT_NE(checkpoints, nullptr);
    ASSERT_NE(snapshots, nullptr);
    EXPECT_STREQ(checkpoints[0], "c1");
    EXPECT_STREQ(checkpoints[1], "c2");
    EXPECT_EQ(checkpoints[2], nullptr);
    EXPECT_STREQ(snapshots[0], "s1");
    EXPECT_STREQ(snapshots[1], "s2");
    EXPECT_EQ(snapshots[2], nullptr);
    EXPECT_EQ(zor_sys_release_checkpoint_list(checkpoints), 0);
    EXPECT_EQ(zor_sys_release_snapshot_list(snapshots), 0);
    EXPECT_EQ(received(),
              (std::vector<Received>{{"zor-sys", false, {"list", "--checkpoint", "-n", "w;b"}},
                                     {"zor-sys", true, {"list", "--snapshot", "-n", "w;b"}}}));
}

}  // namespace
