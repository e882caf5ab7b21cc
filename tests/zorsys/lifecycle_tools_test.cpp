// The system-container life cycle through the real shell and the stand-in tools: the words
// the tool receives after the shell has run the command, and the answers it gives back.
#include <zorsys.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <syslog.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Words = std::vector<std::string>;

class LifecycleTools : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }
    void TearDown() override {
        if (handle_ != nullptr) {
            zor_sys_close(handle_);
        }
    }

    // Opens name against a tool that finds it with the given type.
    zor_sys_handle *open(const std::string &name, int type = 1) {
        tools_.script("zor-sys", "search", standin::exits(0));
        tools_.script("zor-sys", "info", standin::prints("TYPE " + std::to_string(type) + "\n"));
        handle_ = zor_sys_open(name.c_str());
        tools_.clear_record();
        client_test::clear_logged_lines();
        return handle_;
    }

    // The words of every recorded invocation; each must have come through sudo.
    std::vector<Words> received() const {
        std::vector<Words> words;
        for (const standin::Invocation &invocation : tools_.invocations()) {
            EXPECT_EQ(invocation.program, "zor-sys");
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
    zor_sys_handle *handle_ = nullptr;
};

TEST_F(LifecycleTools, StartPassesTheNameAsTheToolsWords) {
    ASSERT_NE(open("web;1"), nullptr);
    EXPECT_EQ(zor_sys_start(handle_), 0);
    EXPECT_EQ(received(), (std::vector<Words>{{"start", "-n", "web;1"}}));
}

TEST_F(LifecycleTools, ANameWithBlanksIsOneWordAndBackslashesSurvive) {
    ASSERT_NE(open("a b\tx\\c"), nullptr);
    EXPECT_EQ(zor_sys_stop(handle_), 0);
    EXPECT_EQ(received(), (std::vector<Words>{{"stop", "-n", "a b\tx\\c"}}));
}

TEST_F(LifecycleTools, AnEmptyNameGivesAnEmptyWord) {
    ASSERT_NE(open(""), nullptr);
    EXPECT_EQ(zor_sys_start(handle_), 0);
    EXPECT_EQ(received(), (std::vector<Words>{{"start", "-n", ""}}));
}

TEST_F(LifecycleTools, CreateAndDestroyPassNameAndOptions) {
    char base[] = "base 1";
    char file[] = "f$x";
    const zor_sys_config config{100, 512, base, file};
    EXPECT_EQ(zor_sys_create_container("web&1", &config), 0);
    EXPECT_EQ(zor_sys_destroy_container("web&1"), 0);
    EXPECT_EQ(received(), (std::vector<Words>{
                              {"create", "-n", "web&1", "-m", "512", "-b", "base 1", "-f", "f$x"},
                              {"destroy", "-n", "web&1"}}));
}

TEST_F(LifecycleTools, ToolExitStatusBecomesTheResultCode) {
    tools_.script("zor-sys", "create", standin::exits(3));
    EXPECT_EQ(zor_sys_create_container("web", nullptr), ZOR_SYS_EMISSING);
    const zor_sys_config config{0, 0, nullptr, nullptr};
    EXPECT_EQ(zor_sys_create_container("web", &config), -3);
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: create: Failed to create 'web'. (ErrNo=-3)");
}

TEST_F(LifecycleTools, ToolKilledBySignalFails) {
    ASSERT_NE(open("web"), nullptr);
    tools_.script("zor-sys", "start", standin::killed_by(SIGKILL));
    EXPECT_EQ(zor_sys_start(handle_), -(128 + SIGKILL));
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: start: Failed to start 'web'. (ErrNo=-137)");
    EXPECT_EQ(client_test::logged_lines().back().priority, LOG_ERR);
}

TEST_F(LifecycleTools, MissingToolGivesTheShells127) {
    ASSERT_NE(open("web"), nullptr);
    tools_.set_path(tools_.directory().string());  // neither sudo nor zor-sys there
    EXPECT_EQ(zor_sys_stop(handle_), -127);
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: stop: Failed to stop 'web'. (ErrNo=-127)");
    EXPECT_EQ(zor_sys_get_status(handle_), -127);
    int32_t pid = 9;
    EXPECT_EQ(zor_sys_get_pid(handle_, &pid), -127);
    EXPECT_EQ(pid, 9);
    EXPECT_TRUE(tools_.invocations().empty());
}

TEST_F(LifecycleTools, OpenReadsTheTypeWhateverTheInfoStatus) {
    tools_.script("zor-sys", "search", standin::exits(0));
    tools_.script("zor-sys", "info", standin::prints("TYPE 100\nNAME web\n", 3));
    handle_ = zor_sys_open("w;b");
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(handle_->type, 100);
    EXPECT_EQ(received(), (std::vector<Words>{{"search", "-n", "w;b"}, {"info", "-n", "w;b"}}));
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: open: Opened handler of 'w;b'.");
}

TEST_F(LifecycleTools, OpenOfAContainerTheToolDoesNotFind) {
    tools_.script("zor-sys", "search", standin::exits(4));
    EXPECT_EQ(zor_sys_open("web"), nullptr);
    EXPECT_EQ(received(), (std::vector<Words>{{"search", "-n", "web"}}));
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: open: Failed to open handler of 'web'. (ErrNo=-201)");
}

TEST_F(LifecycleTools, OpenWithSilentInfoGivesType0) {
    tools_.script("zor-sys", "search", standin::exits(0));
    tools_.script("zor-sys", "info", standin::exits(0));
    handle_ = zor_sys_open("web");
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(handle_->type, 0);
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: open: Failed to open handler of 'web'. (ErrNo=0)");
}

TEST_F(LifecycleTools, StatusAndPidComeFromTheTool) {
    ASSERT_NE(open("web"), nullptr);
    tools_.script("zor-sys", "status", standin::exits(7));
    tools_.script("zor-sys", "getpid", standin::prints("31337\nignored\n"));
    EXPECT_EQ(zor_sys_get_status(handle_), 7);
    int32_t pid = 0;
    EXPECT_EQ(zor_sys_get_pid(handle_, &pid), 0);
    EXPECT_EQ(pid, 31337);
    EXPECT_EQ(received(), (std::vector<Words>{{"status", "-n", "web"}, {"getpid", "-n", "web"}}));
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: getpid: PID of 'web' is 31337.");
}

TEST_F(LifecycleTools, StatusAbove100Fails) {
    ASSERT_NE(open("web"), nullptr);
    tools_.script("zor-sys", "status", standin::exits(101));
    EXPECT_EQ(zor_sys_get_status(handle_), -101);
    tools_.script("zor-sys", "status", standin::killed_by(SIGTERM));
    EXPECT_EQ(zor_sys_get_status(handle_), -(128 + SIGTERM));
    EXPECT_EQ(client_test::logged_lines().size(), 2u);
}

TEST_F(LifecycleTools, PidQueryThatFailsLeavesTheNumber) {
    ASSERT_NE(open("web"), nullptr);
    tools_.script("zor-sys", "getpid", standin::prints("55\n", 1));
    int32_t pid = 8;
    EXPECT_EQ(zor_sys_get_pid(handle_, &pid), -1);
    EXPECT_EQ(pid, 8);
}

TEST_F(LifecycleTools, PidQueryThatPrintsNothingGives0) {
    ASSERT_NE(open("web"), nullptr);
    tools_.script("zor-sys", "getpid", standin::exits(0));
    int32_t pid = 8;
    EXPECT_EQ(zor_sys_get_pid(handle_, &pid), 0);
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(last_message(), "ZOR-SYS-LIB: getpid: PID of 'web' is 0.");
}

}  // namespace
