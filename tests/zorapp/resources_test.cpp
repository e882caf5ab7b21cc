// Resource limits and usage of application containers: the command of each kind and option,
// the one number that serves cpu, mem and memsw, the core text, and the reading through a
// pipe that writes nothing to standard output.
#include <zorapp.h>

#include "app_fixture.hpp"

#include <gtest/gtest.h>

#include <syslog.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using client_test::exited_with;
using client_test::ShellCall;
using zorapp_test::AppTest;
using zorapp_test::commands;
using zorapp_test::expect_one_line;
using zorapp_test::kSuffix;

zor_app_resource numeric(int32_t type, int32_t value) {
    zor_app_resource resource{};
    resource.type = type;
    resource.value.cpu = value;
    return resource;
}

zor_app_resource core(const char *text) {
    zor_app_resource resource{};
    resource.type = 2;
    resource.value.core = const_cast<char *>(text);
    return resource;
}

// ---------------------------------------------------------------------------------------
// set and unset

struct LimitCase {
    const char *name;
    bool set;  // set, or unset
    zor_app_resource resource;
    const char *cgroup;
    std::string command;  // before the suffix, for a handle named web
};

class Limit : public AppTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limit, ComposesTheKindTheContainerAndTheGroup) {
    client_test::fake_shell(0);
    const LimitCase &tested = GetParam();
    const int code = tested.set
                         ? zor_app_set_resource(handle("web"), tested.cgroup, tested.resource)
                         : zor_app_unset_resource(handle("web"), tested.cgroup, tested.resource);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(commands(), std::vector<std::string>{tested.command + kSuffix});
    expect_one_line(LOG_INFO, tested.set ? "zor_app_set_resource" : "zor_app_unset_resource",
                    tested.set ? "ZOR-APP-LIB: limit: Set limitation of resource usage 'web'."
                               : "ZOR-APP-LIB: unlimit: Unset limitation of resource usage 'web'.");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Limit,
    ::testing::Values(
        LimitCase{"SetCpu", true, numeric(1, 50), nullptr, "sudo zor-app limit --cpu 50 -n web"},
        LimitCase{"SetCore", true, core("0-3"), nullptr, "sudo zor-app limit --core 0-3 -n web"},
        LimitCase{"SetCoreEscaped", true, core("0;3"), nullptr,
                  "sudo zor-app limit --core 0\\;3 -n web"},
        LimitCase{"SetMem", true, numeric(3, 512), nullptr, "sudo zor-app limit --mem 512 -n web"},
        LimitCase{"SetMemswUsesTheOneNumber", true, numeric(4, 2048), nullptr,
                  "sudo zor-app limit --memsw 2048 -n web"},
        LimitCase{"SetNegative", true, numeric(1, -1), nullptr,
                  "sudo zor-app limit --cpu -1 -n web"},
        LimitCase{"SetWithGroup", true, numeric(3, 1), "g;1",
                  "sudo zor-app limit --mem 1 -n web -c g\\;1"},
        LimitCase{"SetWithEmptyGroup", true, numeric(3, 1), "",
                  "sudo zor-app limit --mem 1 -n web -c ''"},
        LimitCase{"UnsetCpu", false, numeric(1, 77), nullptr, "sudo zor-app unlimit --cpu -n web"},
        LimitCase{"UnsetCoreIgnoresTheText", false, core(nullptr), nullptr,
                  "sudo zor-app unlimit --core -n web"},
        LimitCase{"UnsetMem", false, numeric(3, 0), nullptr, "sudo zor-app unlimit --mem -n web"},
        LimitCase{"UnsetMemswWithGroup", false, numeric(4, 0), "g1",
                  "sudo zor-app unlimit --memsw -n web -c g1"}),
    [](const ::testing::TestParamInfo<LimitCase> &tested) { return tested.param.name; });

struct LimitFailureCase {
    const char *name;
    bool set;
    bool with_handle;
    zor_app_resource resource;
    const char *cgroup;
    int wait_status;
    int result;
    bool runs;
};

class LimitFailure : public AppTest, public ::testing::WithParamInterface<LimitFailureCase> {};

TEST_P(LimitFailure, WritesTheFailureLineWithTheGroup) {
    const LimitFailureCase &tested = GetParam();
    client_test::fake_shell(tested.wait_status);
    zor_app_handle *target = tested.with_handle ? handle("web") : nullptr;
    const int code = tested.set ? zor_app_set_resource(target, tested.cgroup, tested.resource)
                                : zor_app_unset_resource(target, tested.cgroup, tested.resource);
    EXPECT_EQ(code, tested.result);
    EXPECT_EQ(client_test::shell_calls().size(), tested.runs ? 1u : 0u);
    const std::string group = tested.cgroup != nullptr ? tested.cgroup : "";
    const std::string code_text = std::to_string(tested.result);
    expect_one_line(LOG_ERR, tested.set ? "zor_app_set_resource" : "zor_app_unset_resource",
                    tested.set
                        ? "ZOR-APP-LIB: limit: Failed to set limitation of resource usage '" +
                              group + "'. (ErrNo=" + code_text + ")"
                        : "ZOR-APP-LIB: unlimit: Failed to unset limitation of resource usage '" +
                              group + "'. (ErrNo=" + code_text + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, LimitFailure,
    ::testing::Values(
        LimitFailureCase{"SetToolFails", true, true, numeric(1, 5), "g1", exited_with(4), -4, true},
        LimitFailureCase{"UnsetToolFails", false, true, numeric(1, 5), "g1", exited_with(2), -2,
                         true},
        LimitFailureCase{"SetWithoutGroupShowsNoName", true, true, numeric(1, 5), nullptr,
                         exited_with(1), -1, true},
        LimitFailureCase{"SetWithoutHandle", true, false, numeric(1, 5), "g1", 0, ZOR_APP_EMISSING,
                         false},
        LimitFailureCase{"UnsetWithoutHandle", false, false, numeric(1, 5), nullptr, 0,
                         ZOR_APP_EMISSING, false},
        LimitFailureCase{"SetWithoutCoreText", true, true, core(nullptr), "g1", 0, ZOR_APP_EMISSING,
                         false},
        LimitFailureCase{"SetOfKind0", true, true, numeric(0, 5), "g1", 0, ZOR_APP_EMISSING, false},
        LimitFailureCase{"SetOfKind5", true, true, numeric(5, 5), nullptr, 0, ZOR_APP_EMISSING,
                         false},
        LimitFailureCase{"UnsetOfKindMinus1", false, true, numeric(-1, 5), "g1", 0,
                         ZOR_APP_EMISSING, false}),
    [](const ::testing::TestParamInfo<LimitFailureCase> &tested) { return tested.param.name; });

// ---------------------------------------------------------------------------------------
// get

struct UsageCommandCase {
    const char *name;
    bool with_handle;
    int32_t pid;
    const char *cgroup;
    int32_t type;
    std::string command;
};

class UsageCommand : public AppTest, public ::testing::WithParamInterface<UsageCommandCase> {};

TEST_P(UsageCommand, NamesTheContainerOnlyWithAHandle) {
    client_test::fake_shell(0, "5\n");
    const UsageCommandCase &tested = GetParam();
    zor_app_resource resource = numeric(tested.type, 0);
    EXPECT_EQ(zor_app_get_resource(tested.with_handle ? handle("web") : nullptr, tested.pid,
                                   tested.cgroup, &resource),
              0);
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].mode, "r");
    EXPECT_EQ(calls[0].command, tested.command);
    zorapp_test::expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(
    Options, UsageCommand,
    ::testing::Values(UsageCommandCase{"HandleAndVirtualProcess", true, 300, nullptr, 1,
                                       "sudo zor-app usage --cpu -n web -vpid 300"},
                      UsageCommandCase{"NoHandleGivesTheProcessOption", false, 300, nullptr, 3,
                                       "sudo zor-app usage --mem -pid 300"},
                      UsageCommandCase{"NoHandleWithGroup", false, 300, "g1", 4,
                                       "sudo zor-app usage --memsw -g g1 -pid 300"},
                      UsageCommandCase{"AllOptions", true, 9, "g;1", 2,
                                       "sudo zor-app usage --core -n web -g g\\;1 -vpid 9"},
                      UsageCommandCase{"ProcessZeroIsNotPassed", true, 0, nullptr, 1,
                                       "sudo zor-app usage --cpu -n web"},
                      UsageCommandCase{"NegativeProcessIsNotPassed", false, -4, "g1", 1,
                                       "sudo zor-app usage --cpu -g g1"},
                      UsageCommandCase{"NothingButTheKind", false, 0, nullptr, 3,
                                       "sudo zor-app usage --mem"}),
    [](const ::testing::TestParamInfo<UsageCommandCase> &tested) { return tested.param.name; });

struct ReadingCase {
    const char *name;
    int32_t type;
    std::string output;
    int32_t number;    // for the numeric kinds
    std::string text;  // for core
};

class Reading : public AppTest, public ::testing::WithParamInterface<ReadingCase> {};

TEST_P(Reading, FillsTheRecordFromTheFirstLine) {
    client_test::fake_shell(0, GetParam().output);
    zor_app_resource resource = numeric(GetParam().type, 4321);
    testing::internal::CaptureStdout();
    const int code = zor_app_get_resource(handle("web"), 1, nullptr, &resource);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, 0);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(resource.type, GetParam().type);
    if (GetParam().type == 2) {
        ASSERT_NE(resource.value.core, nullptr);
        EXPECT_EQ(resource.value.core, GetParam().text);
    } else {
        EXPECT_EQ(resource.value.cpu, GetParam().number);
    }
    zorapp_test::expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Reading,
    ::testing::Values(ReadingCase{"Cpu", 1, "50\n", 50, ""},
                      ReadingCase{"Mem", 3, "2048\n", 2048, ""},
                      ReadingCase{"MemswInTheOneNumber", 4, "1024", 1024, ""},
                      ReadingCase{"OnlyTheFirstLine", 1, "7\n8\n", 7, ""},
                      ReadingCase{"StrtolRules", 3, "  -12abc\n", -12, ""},
                      ReadingCase{"NotANumber", 1, "none\n", 0, ""},
                      ReadingCase{"NoOutput", 3, "", 0, ""},
                      ReadingCase{"CutTo32Bits", 1, "4294967303\n", 7, ""},
                      ReadingCase{"CoreWithoutItsNewline", 2, "0-3\n", 0, "0-3"},
                      ReadingCase{"CoreWithoutNewlineKeptWhole", 2, "0-3", 0, "0-3"},
                      ReadingCase{"CoreLoosesOnlyOneNewline", 2, "0-3\n\n", 0, "0-3"},
                      ReadingCase{"CoreKeepsItsBlanks", 2, " 1,2 \n", 0, " 1,2 "},
                      ReadingCase{"CoreOfNoOutputIsEmpty", 2, "", 0, ""}),
    [](const ::testing::TestParamInfo<ReadingCase> &tested) { return tested.param.name; });

TEST_F(AppTest, CoreTextOutlivesTheCallAndTheNextNumericReading) {
    client_test::fake_shell(0, "0-3\n");
    zor_app_resource cores = numeric(2, 0);
    ASSERT_EQ(zor_app_get_resource(handle("web"), 0, nullptr, &cores), 0);
    client_test::fake_shell(0, "99\n");
    zor_app_resource mem = numeric(3, 0);
    ASSERT_EQ(zor_app_get_resource(handle("web"), 0, nullptr, &mem), 0);
    EXPECT_EQ(mem.value.mem, 99);
    EXPECT_STREQ(cores.value.core, "0-3");
}

TEST_F(AppTest, EachThreadKeepsItsOwnCoreText) {
    client_test::fake_shell(0, "0-3\n");
    zor_app_resource mine = numeric(2, 0);
    ASSERT_EQ(zor_app_get_resource(nullptr, 0, nullptr, &mine), 0);
    std::string theirs;
    std::thread other([&theirs] {
        client_test::fake_shell(0, "4-7\n");
        zor_app_resource resource = numeric(2, 0);
        if (zor_app_get_resource(nullptr, 0, nullptr, &resource) == 0) {
            theirs = resource.value.core;
        }
    });
    other.join();
    EXPECT_EQ(theirs, "4-7");
    EXPECT_STREQ(mine.value.core, "0-3");
}

struct UsageFailureCase {
    const char *name;
    bool with_handle;
    int wait_status;
    bool popen_fails;
    int result;
};

class UsageFailure : public AppTest, public ::testing::WithParamInterface<UsageFailureCase> {};

TEST_P(UsageFailure, LeavesTheRecordAndWritesTheFailureLine) {
    const UsageFailureCase &tested = GetParam();
    client_test::fake_shell(tested.wait_status, "77\n");
    if (tested.popen_fails) {
        client_test::fail_popen();
    }
    zor_app_resource resource = numeric(3, 4321);
    testing::internal::CaptureStdout();
    const int code =
        zor_app_get_resource(tested.with_handle ? handle("web") : nullptr, 5, "g1", &resource);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(code, tested.result);
    EXPECT_EQ(resource.value.mem, 4321);
    expect_one_line(LOG_ERR, "zor_app_get_resource",
                    "ZOR-APP-LIB: usage: Failed to get resource usage of '" +
                        std::string(tested.with_handle ? "web" : "") +
                        "'. (ErrNo=" + std::to_string(tested.result) + ")");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UsageFailure,
    ::testing::Values(UsageFailureCase{"ToolFails", true, exited_with(3), false, -3},
                      UsageFailureCase{"ToolFailsWithoutHandle", false, exited_with(3), false, -3},
                      UsageFailureCase{"PcloseFails", true, -1, false, -255},
                      UsageFailureCase{"PipeCannotStart", true, 0, true, ZOR_APP_EMISSING},
                      UsageFailureCase{"PipeCannotStartWithoutHandle", false, 0, true,
                                       ZOR_APP_EMISSING}),
    [](const ::testing::TestParamInfo<UsageFailureCase> &tested) { return tested.param.name; });

TEST_F(AppTest, GetWithoutARecordRunsNothing) {
    client_test::fake_shell(0, "1\n");
    EXPECT_EQ(zor_app_get_resource(handle("web"), 1, nullptr, nullptr), ZOR_APP_EMISSING);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_one_line(LOG_ERR, "zor_app_get_resource",
                    "ZOR-APP-LIB: usage: Failed to get resource usage of 'web'. (ErrNo=-201)");
}

TEST_F(AppTest, GetOfAnUnknownKindRunsNothing) {
    client_test::fake_shell(0, "1\n");
    zor_app_resource resource = numeric(7, 4321);
    EXPECT_EQ(zor_app_get_resource(handle("web"), 1, nullptr, &resource), ZOR_APP_EMISSING);
    EXPECT_EQ(resource.value.cpu, 4321);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_one_line(LOG_ERR, "zor_app_get_resource",
                    "ZOR-APP-LIB: usage: Failed to get resource usage of 'web'. (ErrNo=-201)");
}

TEST_F(AppTest, GetWithANamelessHandleRunsNothing) {
    client_test::fake_shell(0, "1\n");
    zor_app_handle nameless{1, nullptr};
    zor_app_resource resource = numeric(1, 4321);
    EXPECT_EQ(zor_app_get_resource(&nameless, 1, nullptr, &resource), ZOR_APP_EMISSING);
    EXPECT_TRUE(client_test::shell_calls().empty());
    EXPECT_EQ(client_test::logged_lines().size(), 1u);
}

}  // namespace
