// The application-container handle: open with its search and type query, close, and the
// status and process-number queries, with the shell answered by the test.
#include <zorapp.h>

#include "app_fixture.hpp"

#include <gtest/gtest.h>

#include <syslog.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using client_test::ended_by_signal;
using client_test::exited_with;
using client_test::ShellCall;
using zorapp_test::AppTest;
using zorapp_test::commands;
using zorapp_test::expect_one_line;
using zorapp_test::free_handle;
using zorapp_test::make_handle;

class Lifecycle : public AppTest {
protected:
    void TearDown() override {
        free_handle(opened_);
        AppTest::TearDown();
    }

    zor_app_handle *open(const char *name) {
        opened_ = zor_app_open(name);
        return opened_;
    }

    zor_app_handle *opened_ = nullptr;
};

TEST_F(Lifecycle, OpenRunsTheSearchThenTheTypeQuery) {
    client_test::fake_shell(0, "CONTAINER_TYPE 1\n");
    ASSERT_NE(open("web;1"), nullptr);
    EXPECT_EQ(opened_->type, 1);
    EXPECT_STREQ(opened_->name, "web;1");
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kSystem);
    EXPECT_EQ(calls[0].command, "sudo zor-app search -n web\\;1 > /dev/null 2>&1");
    EXPECT_EQ(calls[1].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[1].command, "sudo zor-app info -n web\\;1");
    EXPECT_EQ(calls[1].mode, "r");
    expect_one_line(LOG_INFO, "zor_app_open", "ZOR-APP-LIB: open: Opened handler of 'web;1'.");
}

TEST_F(Lifecycle, OpenWhoseSearchFailsGivesNoHandleAndMissing) {
    client_test::fake_shell(exited_with(1));
    EXPECT_EQ(open("web"), nullptr);
    EXPECT_EQ(client_test::shell_calls().size(), 1u);
    expect_one_line(LOG_ERR, "zor_app_open",
                    "ZOR-APP-LIB: open: Failed to open handler of 'web'. (ErrNo=-201)");
}

TEST_F(Lifecycle, OpenWithoutANameRunsNothing) {
    client_test::fake_shell(0, "CONTAINER_TYPE 1\n");
    EXPECT_EQ(open(nullptr), nullptr);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_one_line(LOG_ERR, "zor_app_open",
                    "ZOR-APP-LIB: open: Failed to open handler of ''. (ErrNo=-201)");
}

struct TypeCase {
    const char *name;
    std::string output;
    int32_t type;
};

class OpenType : public Lifecycle, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(OpenType, ReadsTheSecondFieldOfAFirstLineWithTheMarker) {
    client_test::fake_shell(0, GetParam().output);
    ASSERT_NE(open("web"), nullptr);
    EXPECT_EQ(opened_->type, GetParam().type);
    if (GetParam().type != 0) {
        expect_one_line(LOG_INFO, "zor_app_open", "ZOR-APP-LIB: open: Opened handler of 'web'.");
    } else {
        expect_one_line(LOG_ERR, "zor_app_open",
                        "ZOR-APP-LIB: open: Failed to open handler of 'web'. (ErrNo=0)");
    }
}

INSTANTIATE_TEST_SUITE_P(
    InfoOutputs, OpenType,
    ::testing::Values(TypeCase{"Type1", "CONTAINER_TYPE 1\n", 1},
                      TypeCase{"Type100", "CONTAINER_TYPE 100\n", 100},
                      TypeCase{"BareTypeDoesNotCount", "TYPE 1\n", 0},
                      TypeCase{"MarkerInsideTheLine", "X_CONTAINER_TYPE: 4 rest\n", 4},
                      TypeCase{"LowerCaseMarker", "container_type 3\n", 0},
                      TypeCase{"SecondFieldNotANumber", "NAME web CONTAINER_TYPE 3\n", 0},
                      TypeCase{"MarkerOnSecondLine", "NAME web\nCONTAINER_TYPE 3\n", 0},
                      TypeCase{"OneField", "CONTAINER_TYPE\n", 0}, TypeCase{"NoOutput", "", 0},
                      TypeCase{"NoNewline", "CONTAINER_TYPE 9", 9},
                      TypeCase{"RunsOfSpaces", "  CONTAINER_TYPE   42  x\n", 42},
                      TypeCase{"TabIsNoSeparator", "CONTAINER_TYPE\t42\n", 0},
                      TypeCase{"Negative", "CONTAINER_TYPE -5\n", -5},
                      TypeCase{"CutTo32Bits", "CONTAINER_TYPE 4294967298\n", 2}),
    [](const ::testing::TestParamInfo<TypeCase> &tested) { return tested.param.name; });

TEST_F(Lifecycle, OpenWhoseTypeQueryCannotStartGivesAHandleOfType0) {
    client_test::fake_shell(0);
    client_test::fail_popen();
    ASSERT_NE(open("web"), nullptr);
    EXPECT_EQ(opened_->type, 0);
    expect_one_line(LOG_ERR, "zor_app_open",
                    "ZOR-APP-LIB: open: Failed to open handler of 'web'. (ErrNo=-201)");
}

TEST_F(Lifecycle, OpenAccepts983CharactersAndTheInfoQueryFits) {
    client_test::fake_shell(0, "CONTAINER_TYPE 2\n");
    const std::string name(983, 'w');
    ASSERT_NE(open(name.c_str()), nullptr);
    EXPECT_EQ(opened_->name, name);
    EXPECT_EQ(commands().at(1), "sudo zor-app info -n " + name);
}

TEST_F(Lifecycle, CloseLogsTheNameAfterReleasingTheHandle) {
    EXPECT_EQ(zor_app_close(make_handle("web;1", 3)), 0);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_one_line(LOG_INFO, "zor_app_close", "ZOR-APP-LIB: close: Closed handler of 'web;1'.");
}

TEST_F(Lifecycle, CloseOfANamelessHandleReleasesItAndFails) {
    auto *nameless = static_cast<zor_app_handle *>(std::malloc(sizeof(zor_app_handle)));
    nameless->type = 1;
    nameless->name = nullptr;
    EXPECT_EQ(zor_app_close(nameless), ZOR_APP_EMISSING);
    expect_one_line(LOG_ERR, "zor_app_close",
                    "ZOR-APP-LIB: close: Failed to close handler of ''. (ErrNo=-201)");
}

TEST_F(Lifecycle, CloseOfNoHandleFails) {
    EXPECT_EQ(zor_app_close(nullptr), ZOR_APP_EMISSING);
    expect_one_line(LOG_ERR, "zor_app_close",
                    "ZOR-APP-LIB: close: Failed to close handler of ''. (ErrNo=-201)");
}

struct StatusCase {
    const char *name;
    int wait_status;
    int result;
    bool logs;
};

class Status : public Lifecycle, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(Status, ReturnsTheStatusNumberOrFails) {
    client_test::fake_shell(GetParam().wait_status);
    EXPECT_EQ(zor_app_get_status(handle("web;1")), GetParam().result);
    EXPECT_EQ(commands(), std::vector<std::string>{"sudo zor-app status -n web\\;1" +
                                                   std::string(zorapp_test::kSuffix)});
    if (GetParam().logs) {
        expect_one_line(LOG_ERR, "zor_app_get_status",
                        "ZOR-APP-LIB: status: Failed to get status of 'web;1'. (ErrNo=" +
                            std::to_string(GetParam().result) + ")");
    } else {
        zorapp_test::expect_no_line();
    }
}

INSTANTIATE_TEST_SUITE_P(
    ExitStatuses, Status,
    ::testing::Values(StatusCase{"Zero", exited_with(0), 0, false},
                      StatusCase{"Two", exited_with(2), 2, false},
                      StatusCase{"Hundred", exited_with(100), 100, false},
                      StatusCase{"HundredAndOne", exited_with(101), -101, true},
                      StatusCase{"SystemFailed", -1, -255, true},
                      StatusCase{"Signal", ended_by_signal(SIGTERM), -(128 + SIGTERM), true}),
    [](const ::testing::TestParamInfo<StatusCase> &tested) { return tested.param.name; });

struct PidCase {
    const char *name;
    int wait_status;
    std::string output;
    int result;
    int32_t pid;  // stored number; 4321 is the caller's previous value
};

class GetPid : public Lifecycle, public ::testing::WithParamInterface<PidCase> {};

TEST_P(GetPid, StoresTheNumberOnlyOnSuccess) {
    client_test::fake_shell(GetParam().wait_status, GetParam().output);
    int32_t pid = 4321;
    EXPECT_EQ(zor_app_get_pid(handle("web;1"), &pid), GetParam().result);
    EXPECT_EQ(pid, GetParam().pid);
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].command, "sudo zor-app getpid -n web\\;1");
    if (GetParam().result == 0) {
        expect_one_line(
            LOG_INFO, "zor_app_get_pid",
            "ZOR-APP-LIB: getpid: PID of 'web;1' is " + std::to_string(GetParam().pid) + ".");
    } else {
        expect_one_line(LOG_ERR, "zor_app_get_pid",
                        "ZOR-APP-LIB: getpid: Failed to get PID of 'web;1'. (ErrNo=" +
                            std::to_string(GetParam().result) + ")");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, GetPid,
    ::testing::Values(PidCase{"Number", exited_with(0), "1234\n", 0, 1234},
                      PidCase{"NoOutput", exited_with(0), "", 0, 0},
                      PidCase{"FirstOfSeveralLines", exited_with(0), "77\n88\n", 0, 77},
                      PidCase{"ToolFails", exited_with(1), "1234\n", -1, 4321},
                      PidCase{"PcloseFails", -1, "1234\n", -255, 4321}),
    [](const ::testing::TestParamInfo<PidCase> &tested) { return tested.param.name; });

TEST_F(Lifecycle, GetPidWithoutAPlaceOrAHandleRunsNothing) {
    client_test::fake_shell(0, "1\n");
    EXPECT_EQ(zor_app_get_pid(handle("web"), nullptr), ZOR_APP_EMISSING);
    expect_one_line(LOG_ERR, "zor_app_get_pid",
                    "ZOR-APP-LIB: getpid: Failed to get PID of 'web'. (ErrNo=-201)");
    client_test::clear_logged_lines();
    int32_t pid = 5;
    EXPECT_EQ(zor_app_get_pid(nullptr, &pid), ZOR_APP_EMISSING);
    EXPECT_EQ(pid, 5);
    expect_one_line(LOG_ERR, "zor_app_get_pid",
                    "ZOR-APP-LIB: getpid: Failed to get PID of ''. (ErrNo=-201)");
    EXPECT_TRUE(client_test::shell_calls().empty());
}

TEST_F(Lifecycle, GetPidWhosePipeCannotStartFails) {
    client_test::fail_popen();
    int32_t pid = 5;
    EXPECT_EQ(zor_app_get_pid(handle("web"), &pid), ZOR_APP_EMISSING);
    EXPECT_EQ(pid, 5);
    expect_one_line(LOG_ERR, "zor_app_get_pid",
                    "ZOR-APP-LIB: getpid: Failed to get PID of 'web'. (ErrNo=-201)");
}

}  // namespace
