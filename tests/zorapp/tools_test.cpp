// libzorapp through the real shell and the stand-in tools: the words the tool receives after
// the shell has run each command, and the answers it gives back.
#include <zorapp.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

class Tools : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            zor_app_close(handle_);
        }
    }

    // Opens name against a tool that finds it with the given type.
    zor_app_handle *open(const std::string &name, int type = 1) {
        tools_.script("zor-app", "search", standin::exits(0));
        tools_.script("zor-app", "info",
                      standin::prints("CONTAINER_TYPE " + std::to_string(type) + "\n"));
        handle_ = zor_app_open(name.c_str());
        tools_.clear_record();
        client_test::clear_logged_lines();
        return handle_;
    }

    // The words of every recorded invocation; each must have come to zor-app through sudo.
    std::vector<Words> received() const {
        std::vector<Words> words;
        for (const standin::Invocation &invocation : tools_.invocations()) {
            EXPECT_EQ(invocation.program, "zor-app");
            EXPECT_TRUE(invocation.via_sudo);
            words.push_back(invocation.args);
        }
        return words;
    }

    static std::string last_message() {
        const auto lines = client_test::logged_lines();
        return lines.empty() ? "" : lines.back().message;
    }

    standin::Session tools_;
    zor_app_handle *handle_ = nullptr;
};

TEST_F(Tools, OpenReadsTheContainerTypeLine) {
    ASSERT_NE(open("w;b", 1), nullptr);
    EXPECT_EQ(handle_->type, 1);
    zor_app_close(handle_);
    handle_ = nullptr;
    tools_.script("zor-app", "search", standin::exits(0));
    tools_.script("zor-app", "info", standin::prints("TYPE 1\nCONTAINER_TYPE 1\n"));
    handle_ = zor_app_open("w;b");
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(handle_->type, 0);
    EXPECT_EQ(received(), (std::vector<Words>{{"search", "-n", "w;b"}, {"info", "-n", "w;b"}}));
    EXPECT_EQ(last_message(), "ZOR-APP-LIB: open: Failed to open handler of 'w;b'. (ErrNo=0)");
}

TEST_F(Tools, CreateOfType1PassesPortAndBase) {
    char base[] = "base 1";
    const zor_app_config config{1, 8080, base};
    EXPECT_EQ(zor_app_create_container("web&1", &config), 0);
    EXPECT_EQ(zor_app_destroy_container("web&1"), 0);
    EXPECT_EQ(received(),
              (std::vector<Words>{{"create", "-n", "web&1", "-p", "8080", "-b", "base 1"},
                                  {"destroy", "-n", "web&1"}}));
}

TEST_F(Tools, LifeCycleAndSnapshotsReachTheTool) {
    ASSERT_NE(open("web"), nullptr);
    tools_.script("zor-app", "getpid", standin::prints("31337\n"));
    tools_.script("zor-app", "status", standin::exits(7));
    int32_t pid = 0;
    EXPECT_EQ(zor_app_start(handle_), 0);
    EXPECT_EQ(zor_app_get_status(handle_), 7);
    EXPECT_EQ(zor_app_get_pid(handle_, &pid), 0);
    EXPECT_EQ(pid, 31337);
    EXPECT_EQ(zor_app_suspend(handle_), 0);
    EXPECT_EQ(zor_app_resume(handle_), 0);
    EXPECT_EQ(zor_app_save_snapshot(handle_, "s$1"), 0);
    EXPECT_EQ(zor_app_load_snapshot(handle_, "s 1"), 0);
    EXPECT_EQ(zor_app_remove_snapshot(handle_, "s1"), 0);
    EXPECT_EQ(zor_app_commit_snapshot(handle_, "s1", "b1"), 0);
    EXPECT_EQ(zor_app_checkpoint(handle_, "c1"), 0);
    EXPECT_EQ(zor_app_stop(handle_), 0);
    EXPECT_EQ(received(), (std::vector<Words>{{"start", "-n", "web"},
                                              {"status", "-n", "web"},
                                              {"getpid", "-n", "web"},
                                              {"suspend", "-n", "web"},
                                              {"resume", "-n", "web"},
                                              {"save", "-n", "web", "-t", "s$1"},
                                              {"load", "-n", "web", "-t", "s 1"},
                                              {"remove", "--snapshot", "-n", "web", "-t", "s1"},
                                              {"commit", "-n", "web", "-t", "s1", "-b", "b1"},
                                              {"stop", "-n", "web"}}));
}

TEST_F(Tools, ControlGroupsAndRegistrationReachTheTool) {
    ASSERT_NE(open("web"), nullptr);
    EXPECT_EQ(zor_app_create_cgroup(handle_, "g;1"), 0);
    EXPECT_EQ(zor_app_bind_pid(nullptr, "g;1", 1234), 0);
    EXPECT_EQ(zor_app_bind_vpid(handle_, "g;1", 7), 0);
    EXPECT_EQ(zor_app_unbind_vpid(handle_, "g;1", 7), 0);
    EXPECT_EQ(zor_app_unbind_pid(nullptr, "g;1", -2), 0);
    EXPECT_EQ(zor_app_destroy_cgroup(handle_, "g;1"), 0);
    EXPECT_EQ(zor_app_register_pid(handle_, 1234), 0);
    EXPECT_EQ(zor_app_unregister_vpid(handle_, 7), 0);
    EXPECT_EQ(received(), (std::vector<Words>{{"create", "-c", "g;1", "-n", "web"},
                                              {"bind", "-g", "g;1", "-pid", "1234"},
                                              {"bind", "-g", "g;1", "-vpid", "7", "-n", "web"},
                                              {"unbind", "-g", "g;1", "-vpid", "7", "-n", "web"},
                                              {"unbind", "-c", "g;1", "-pid", "-2"},
                                              {"destroy", "-g", "g;1", "-n", "web"},
                                              {"register", "-n", "web", "-pid", "1234"},
                                              {"unregister", "-n", "web", "-vpid", "7"}}));
    EXPECT_EQ(last_message(), "ZOR-APP-LIB: unregister: Unregistered '7'.");
}

TEST_F(Tools, ResourcesAreLimitedAndRead) {
    ASSERT_NE(open("web"), nullptr);
    zor_app_resource cores{};
    cores.type = 2;
    cores.value.core = const_cast<char *>("0-3");
    EXPECT_EQ(zor_app_set_resource(handle_, "g1", cores), 0);
    EXPECT_EQ(zor_app_unset_resource(handle_, nullptr, cores), 0);
    tools_.script("zor-app", "usage", standin::prints("4-7\nignored\n"));
    EXPECT_EQ(zor_app_get_resource(handle_, 300, "g1", &cores), 0);
    EXPECT_STREQ(cores.value.core, "4-7");
    tools_.script("zor-app", "usage", standin::prints("2048", 0));
    zor_app_resource memsw{};
    memsw.type = 4;
    EXPECT_EQ(zor_app_get_resource(nullptr, 300, nullptr, &memsw), 0);
    EXPECT_EQ(memsw.value.memsw, 2048);
    EXPECT_EQ(received(),
              (std::vector<Words>{{"limit", "--core", "0-3", "-n", "web", "-c", "g1"},
                                  {"unlimit", "--core", "-n", "web"},
                                  {"usage", "--core", "-n", "web", "-g", "g1", "-vpid", "300"},
                                  {"usage", "--memsw", "-pid", "300"}}));
}

TEST_F(Tools, ReadingThatFailsLeavesTheRecord) {
    tools_.script("zor-app", "usage", standin::prints("55\n", 3));
    zor_app_resource cpu{};
    cpu.type = 1;
    cpu.value.cpu = 8;
    EXPECT_EQ(zor_app_get_resource(nullptr, 0, nullptr, &cpu), -3);
    EXPECT_EQ(cpu.value.cpu, 8);
    EXPECT_EQ(last_message(), "ZOR-APP-LIB: usage: Failed to get resource usage of ''. (ErrNo=-3)");
}

TEST_F(Tools, ListingsReadTheToolsOutput) {
    ASSERT_NE(open("web;1", 1), nullptr);
    tools_.script("zor-app", "list", standin::prints("web;1\napp 2\n"));
    tools_.script("zor-app", "list --base", standin::prints("base1\n"));
    tools_.script("zor-app", "list --snapshot",
                  standin::prints("web;1 snapshots\nTAG\tDATE\n  s1\t2020\ns2 2021\n", 2));
    tools_.script("zor-app", "pidlist", standin::prints("PID,VPID\n120,7\n121,8"));
    char **containers = nullptr;
    char **bases = nullptr;
    char **snapshots = nullptr;
    zor_app_pid_pair **pids = nullptr;
    ASSERT_EQ(zor_app_get_container_list(&containers), 0);
    ASSERT_EQ(zor_app_get_base_list(&bases), 0);
    ASSERT_EQ(zor_app_get_snapshot_list(handle_, &snapshots), 0);
    ASSERT_EQ(zor_app_get_registered_pid_list(handle_, &pids), 0);
    ASSERT_NE(containers, nullptr);
    ASSERT_NE(bases, nullptr);
    ASSERT_NE(snapshots, nullptr);
    ASSERT_NE(pids, nullptr);
    EXPECT_STREQ(containers[0], "web;1");
    EXPECT_STREQ(containers[1], "app 2");
    EXPECT_EQ(containers[2], nullptr);
    EXPECT_STREQ(bases[0], "base1");
    EXPECT_EQ(bases[1], nullptr);
    EXPECT_STREQ(snapshots[0], "  s1");
    EXPECT_STREQ(snapshots[1], "s2");
    EXPECT_EQ(snapshots[2], nullptr);
    EXPECT_EQ(pids[0]->pid, 120);
    EXPECT_EQ(pids[0]->vpid, 7);
    EXPECT_EQ(pids[1]->pid, 121);
    EXPECT_EQ(pids[1]->vpid, 8);
    EXPECT_EQ(pids[2], nullptr);
    EXPECT_EQ(zor_app_release_container_list(containers), 0);
    EXPECT_EQ(zor_app_release_base_list(bases), 0);
    EXPECT_EQ(zor_app_release_snapshot_list(snapshots), 0);
    EXPECT_EQ(zor_app_release_registered_pid_list(pids), 0);
    EXPECT_EQ(zor_app_remove_base("base1"), 0);
    EXPECT_EQ(received(), (std::vector<Words>{{"list"},
                                              {"list", "--base"},
                                              {"list", "--snapshot", "-n", "web;1"},
                                              {"pidlist", "-n", "web;1"},
                                              {"remove", "--base", "base1"}}));
    EXPECT_EQ(last_message(), "ZOR-APP-LIB: remove: Removed base image 'base1'.");
}

TEST_F(Tools, ToolKilledBySignalFails) {
    ASSERT_NE(open("web"), nullptr);
    tools_.script("zor-app", "suspend", standin::killed_by(SIGKILL));
    EXPECT_EQ(zor_app_suspend(handle_), -(128 + SIGKILL));
    EXPECT_EQ(last_message(), "ZOR-APP-LIB: suspend: Failed to suspend 'web'. (ErrNo=-137)");
}

TEST_F(Tools, MissingToolGivesTheShells127) {
    ASSERT_NE(open("web"), nullptr);
    tools_.set_path(tools_.directory().string());  // neither sudo nor zor-app there
    EXPECT_EQ(zor_app_register_vpid(handle_, 3), -127);
    EXPECT_EQ(last_message(), "ZOR-APP-LIB: register: Failed to register '3'. (ErrNo=-127)");
    EXPECT_TRUE(tools_.invocations().empty());
}

}  // namespace
