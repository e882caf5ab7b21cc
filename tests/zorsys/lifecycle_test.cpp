// The system-container life cycle: the exact text each operation hands to the shell, its
// result code and its outcome line, with the shell answered by the test.
#include <zorsys.h>

#include "log_recorder.hpp"
#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <syslog.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using client_test::ended_by_signal;
using client_test::exited_with;
using client_test::LogLine;
using client_test::ShellCall;

constexpr char kSuffix[] = " > /dev/null 2>&1";

// A handle as zor_sys_open makes it, so that an operation can be tested on its own.
zor_sys_handle *make_handle(const std::string &name, int32_t type = 0) {
    auto *handle = static_cast<zor_sys_handle *>(std::malloc(sizeof(zor_sys_handle)));
    handle->type = type;
    handle->name = static_cast<char *>(std::malloc(name.size() + 1));
    std::memcpy(handle->name, name.c_str(), name.size() + 1);
    return handle;
}

class Lifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        client_test::reset_shell();
        client_test::clear_logged_lines();
    }
    void TearDown() override {
        client_test::reset_shell();
        for (zor_sys_handle *handle : handles_) {
            std::free(handle->name);
            std::free(handle);
        }
    }

    zor_sys_handle *handle(const std::string &name, int32_t type = 0) {
        handles_.push_back(make_handle(name, type));
        return handles_.back();
    }
    // Takes a handle that zor_sys_open returned, so that the test releases it.
    void own(zor_sys_handle *handle) {
        if (handle != nullptr) {
            handles_.push_back(handle);
        }
    }

    static std::vector<std::string> commands() {
        std::vector<std::string> texts;
        for (const ShellCall &call : client_test::shell_calls()) {
            texts.push_back(call.command);
        }
        return texts;
    }

    static void expect_one_line(int priority, const std::string &function,
                                const std::string &message) {
        const std::vector<LogLine> lines = client_test::logged_lines();
        ASSERT_EQ(lines.size(), 1u) << message;
        EXPECT_EQ(lines[0].priority, priority);
        EXPECT_EQ(lines[0].file, "libzorsys");
        EXPECT_GT(lines[0].line, 0);
        EXPECT_EQ(lines[0].function, function);
        EXPECT_EQ(lines[0].message, message);
    }

private:
    std::vector<zor_sys_handle *> handles_;
};

// ---------------------------------------------------------------------------------------
// create, destroy, start, stop: one command with the suffix, one line.

struct SimpleCase {
    const char *name;
    const char *function;
    std::function<int(zor_sys_handle *)> run;  // on a handle named web;1
    std::string command;
    std::string success;
    std::string failure_start;  // the failure text before its code
};

const zor_sys_config kPlainConfig{5, 0, nullptr, nullptr};

std::vector<SimpleCase> simple_cases() {
    return {
        {"Create", "zor_sys_create_container",
         [](zor_sys_handle *h) { return zor_sys_create_container(h->name, &kPlainConfig); },
         "sudo zor-sys create -n web\\;1", "ZOR-SYS-LIB: create: Created system container 'web;1'.",
         "ZOR-SYS-LIB: create: Failed to create 'web;1'. (ErrNo="},
        {"Destroy", "zor_sys_destroy_container",
         [](zor_sys_handle *h) { return zor_sys_destroy_container(h->name); },
         "sudo zor-sys destroy -n web\\;1",
         "ZOR-SYS-LIB: destroy: Destroyed system container 'web;1'.",
         "ZOR-SYS-LIB: destroy: Failed to destroy 'web;1'. (ErrNo="},
        {"Start", "zor_sys_start", [](zor_sys_handle *h) { return zor_sys_start(h); },
         "sudo zor-sys start -n web\\;1", "ZOR-SYS-LIB: start: Started system container 'web;1'.",
         "ZOR-SYS-LIB: start: Failed to start 'web;1'. (ErrNo="},
        {"Stop", "zor_sys_stop", [](zor_sys_handle *h) { return zor_sys_stop(h); },
         "sudo zor-sys stop -n web\\;1", "ZOR-SYS-LIB: stop: Stopped system container 'web;1'.",
         "ZOR-SYS-LIB: stop: Failed to stop 'web;1'. (ErrNo="},
    };
}

class SimpleOperation : public Lifecycle, public ::testing::WithParamInterface<SimpleCase> {};

TEST_P(SimpleOperation, SuccessRunsTheCommandAndLogsTheSuccessText) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(GetParam().run(handle("web;1")), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{GetParam().command + kSuffix});
    EXPECT_EQ(client_test::shell_calls()[0].kind, ShellCall::Kind::kSystem);
    expect_one_line(LOG_INFO, GetParam().function, GetParam().success);
}

TEST_P(SimpleOperation, ToolFailureGivesTheNegatedExitStatus) {
    client_test::fake_shell(exited_with(3));
    EXPECT_EQ(GetParam().run(handle("web;1")), -3);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-3)");
}

TEST_P(SimpleOperation, ShellEndedBySignalIsAFailure) {
    client_test::fake_shell(ended_by_signal(SIGKILL));
    EXPECT_EQ(GetParam().run(handle("web;1")), -(128 + SIGKILL));
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-137)");
}

TEST_P(SimpleOperation, FailingSystemGives255) {
    client_test::fake_shell(-1);
    EXPECT_EQ(GetParam().run(handle("web;1")), -255);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-255)");
}

INSTANTIATE_TEST_SUITE_P(Operations, SimpleOperation, ::testing::ValuesIn(simple_cases()),
                         [](const ::testing::TestParamInfo<SimpleCase> &tested) {
                             return tested.param.name;
                         });

TEST_F(Lifecycle, EmptyNameIsPassedAsAnEmptyWord) {
    client_test::fake_shell(0);
    EXPECT_EQ(zor_sys_start(handle("")), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{"sudo zor-sys start -n '' > /dev/null 2>&1"});
}

TEST_F(Lifecycle, NullArgumentsRunNothingAndLogNothing) {
    client_test::fake_shell(0);
    zor_sys_handle nameless{0, nullptr};
    EXPECT_EQ(zor_sys_create_container(nullptr, &kPlainConfig), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_create_container("web", nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_destroy_container(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_start(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_start(&nameless), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_stop(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_get_status(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_open(nullptr), nullptr);
    EXPECT_TRUE(client_test::shell_calls().empty());
    // Only open, which logs every refusal, wrote a line.
    expect_one_line(LOG_ERR, "zor_sys_open",
                    "ZOR-SYS-LIB: open: Failed to open handler of ''. (ErrNo=-201)");
}

struct ConfigCase {
    const char *name;
    zor_sys_config config;
    std::string options;
};

class CreateOptions : public Lifecycle, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(CreateOptions, PassesTheOptionsOfType100Only) {
    client_test::fake_shell(0);
    EXPECT_EQ(zor_sys_create_container("web", &GetParam().config), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{"sudo zor-sys create -n web" +
                                                   GetParam().options + kSuffix});
}

char kBase1[] = "base1";
char kEmpty[] = "";
char kFlat[] = "flat;x";

INSTANTIATE_TEST_SUITE_P(
    Configs, CreateOptions,
    ::testing::Values(ConfigCase{"MemoryAndBase", {100, 512, kBase1, kEmpty}, " -m 512 -b base1"},
                      ConfigCase{"NoMemory", {100, 0, kBase1, nullptr}, " -b base1"},
                      ConfigCase{"NegativeMemory", {100, -4, nullptr, nullptr}, ""},
                      ConfigCase{"AllThree", {100, 1, kBase1, kFlat}, " -m 1 -b base1 -f flat\\;x"},
                      ConfigCase{"OnlyFile", {100, 0, nullptr, kFlat}, " -f flat\\;x"},
                      ConfigCase{"OtherType", {5, 512, kBase1, kFlat}, ""},
                      ConfigCase{"TypeZero", {0, 512, kBase1, kFlat}, ""}),
    [](const ::testing::TestParamInfo<ConfigCase> &tested) { return tested.param.name; });

// ---------------------------------------------------------------------------------------
// The length rule at 1023 and 1024 characters for every prefix.

struct LengthCase {
    const char *name;
    std::string prefix;
    bool suffix;               // run with system(), so the suffix counts
    const char *logs_refusal;  // the function whose failure line shows -202, or nullptr
    std::function<int(const std::string &)> run;
};

std::vector<LengthCase> length_cases() {
    static const zor_sys_config options{100, 512, nullptr, nullptr};
    auto with_handle = [](int (*operation)(zor_sys_handle *)) {
        return [operation](const std::string &name) {
            zor_sys_handle *h = make_handle(name);
            const int code = operation(h);
            std::free(h->name);
            std::free(h);
            return code;
        };
    };
    return {
        {"Create", "sudo zor-sys create -n ", true, nullptr,
         [](const std::string &n) { return zor_sys_create_container(n.c_str(), &kPlainConfig); }},
        {"CreateWithMemory", "sudo zor-sys create -n  -m 512", true, nullptr,
         [](const std::string &n) { return zor_sys_create_container(n.c_str(), &options); }},
        {"Destroy", "sudo zor-sys destroy -n ", true, nullptr,
         [](const std::string &n) { return zor_sys_destroy_container(n.c_str()); }},
        {"OpenSearch", "sudo zor-sys search -n ", true, "zor_sys_open",
         [](const std::string &n) {
             zor_sys_handle *h = zor_sys_open(n.c_str());
             const int code = h != nullptr ? 0 : ZOR_SYS_ETOOLONG;
             if (h != nullptr) {
                 std::free(h->name);
                 std::free(h);
             }
             return code;
         }},
        {"Start", "sudo zor-sys start -n ", true, nullptr, with_handle(zor_sys_start)},
        {"Stop", "sudo zor-sys stop -n ", true, nullptr, with_handle(zor_sys_stop)},
        {"Status", "sudo zor-sys status -n ", true, nullptr, with_handle(zor_sys_get_status)},
        {"GetPid", "sudo zor-sys getpid -n ", false, "zor_sys_get_pid",
         [](const std::string &n) {
             zor_sys_handle *h = make_handle(n);
             int32_t pid = 0;
             const int code = zor_sys_get_pid(h, &pid);
             std::free(h->name);
             std::free(h);
             return code;
         }},
    };
}

class LengthRule : public Lifecycle, public ::testing::WithParamInterface<LengthCase> {
protected:
    std::size_t longest_name() const {
        return 1023 - GetParam().prefix.size() - (GetParam().suffix ? std::strlen(kSuffix) : 0);
    }
};

TEST_P(LengthRule, RunsACommandOfExactly1023Characters) {
    client_test::fake_shell(0, "TYPE 1\n");
    EXPECT_EQ(GetParam().run(std::string(longest_name(), 'n')), 0);
    const auto calls = client_test::shell_calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].command.size(), 1023u);
}

TEST_P(LengthRule, RefusesOneCharacterMore) {
    client_test::fake_shell(0, "TYPE 1\n");
    EXPECT_EQ(GetParam().run(std::string(longest_name() + 1, 'n')), ZOR_SYS_ETOOLONG);
    EXPECT_TRUE(client_test::shell_calls().empty());
    if (GetParam().logs_refusal == nullptr) {
        EXPECT_TRUE(client_test::logged_lines().empty());
    } else {
        const auto lines = client_test::logged_lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].function, GetParam().logs_refusal);
        EXPECT_NE(lines[0].message.find("(ErrNo=-202)"), std::string::npos);
    }
}

TEST_P(LengthRule, CountsTheBackslashesOfTheEscaping) {
    client_test::fake_shell(0, "TYPE 1\n");
    EXPECT_EQ(GetParam().run(std::string(longest_name() - 1, 'n') + ";"), ZOR_SYS_ETOOLONG);
    EXPECT_TRUE(client_test::shell_calls().empty());
}

INSTANTIATE_TEST_SUITE_P(Prefixes, LengthRule, ::testing::ValuesIn(length_cases()),
                         [](const ::testing::TestParamInfo<LengthCase> &tested) {
                             return tested.param.name;
                         });

// ---------------------------------------------------------------------------------------
// open: the search, then the type from the first line of the info output.

TEST_F(Lifecycle, OpenRunsTheSearchThenTheTypeQuery) {
    client_test::fake_shell(0, "TYPE 100\n");
    zor_sys_handle *opened = zor_sys_open("web;1");
    own(opened);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->type, 100);
    EXPECT_STREQ(opened->name, "web;1");
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kSystem);
    EXPECT_EQ(calls[0].command, "sudo zor-sys search -n web\\;1 > /dev/null 2>&1");
    EXPECT_EQ(calls[1].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[1].command, "sudo zor-sys info -n web\\;1");
    EXPECT_EQ(calls[1].mode, "r");
    expect_one_line(LOG_INFO, "zor_sys_open", "ZOR-SYS-LIB: open: Opened handler of 'web;1'.");
}

TEST_F(Lifecycle, OpenWhoseSearchFailsGivesNoHandleAndMissing) {
    client_test::fake_shell(exited_with(1));
    EXPECT_EQ(zor_sys_open("web"), nullptr);
    EXPECT_EQ(client_test::shell_calls().size(), 1u);
    expect_one_line(LOG_ERR, "zor_sys_open",
                    "ZOR-SYS-LIB: open: Failed to open handler of 'web'. (ErrNo=-201)");
}

TEST_F(Lifecycle, OpenWhoseSearchIsKilledGivesNoHandle) {
    client_test::fake_shell(ended_by_signal(SIGTERM));
    EXPECT_EQ(zor_sys_open("web"), nullptr);
}

struct TypeCase {
    const char *name;
    std::string output;
    int32_t type;
};

class OpenType : public Lifecycle, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(OpenType, ReadsTheSecondFieldOfAFirstLineWithTheMarker) {
    client_test::fake_shell(0, GetParam().output);
    zor_sys_handle *opened = zor_sys_open("web");
    own(opened);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->type, GetParam().type);
    if (GetParam().type != 0) {
        expect_one_line(LOG_INFO, "zor_sys_open", "ZOR-SYS-LIB: open: Opened handler of 'web'.");
    } else {
        expect_one_line(LOG_ERR, "zor_sys_open",
                        "ZOR-SYS-LIB: open: Failed to open handler of 'web'. (ErrNo=0)");
    }
}

INSTANTIATE_TEST_SUITE_P(
    InfoOutputs, OpenType,
    ::testing::Values(
        TypeCase{"Type100", "TYPE 100\n", 100}, TypeCase{"AnyFirstField", "TYPE: 7\n", 7},
        TypeCase{"NoNewline", "TYPE 9", 9},
        TypeCase{"SecondFieldNotANumber", "NAME web TYPE 3\n", 0},
        TypeCase{"MarkerOnSecondLine", "NAME web\nTYPE 3\n", 0},
        TypeCase{"NoMarker", "KIND 3\n", 0}, TypeCase{"LowerCaseMarker", "type 3\n", 0},
        TypeCase{"MarkerInsideAWord", "SUBTYPE 12\n", 12}, TypeCase{"OneField", "TYPE\n", 0},
        TypeCase{"BlankAfterMarker", "TYPE \n", 0}, TypeCase{"NoOutput", "", 0},
        TypeCase{"RunsOfSpaces", "   TYPE    42   rest\n", 42},
        TypeCase{"TabIsNoSeparator", "TYPE\t42\n", 0},
        TypeCase{"TabStartsTheField", "TYPE \t42\n", 42},
        TypeCase{"FieldEndsAtItsSpace", "TYPE \t 42\n", 0},
        TypeCase{"DigitsThenText", "TYPE 12abc\n", 12}, TypeCase{"Negative", "TYPE -5\n", -5},
        TypeCase{"Plus", "TYPE +6\n", 6}, TypeCase{"Zero", "TYPE 0\n", 0},
        TypeCase{"CutTo32Bits", "TYPE 4294967297\n", 1}),
    [](const ::testing::TestParamInfo<TypeCase> &tested) { return tested.param.name; });

TEST_F(Lifecycle, OpenWhoseTypeQueryCannotStartGivesAHandleOfType0) {
    client_test::fake_shell(0);
    client_test::fail_popen();
    zor_sys_handle *opened = zor_sys_open("web");
    own(opened);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->type, 0);
    expect_one_line(LOG_ERR, "zor_sys_open",
                    "ZOR-SYS-LIB: open: Failed to open handler of 'web'. (ErrNo=-201)");
}

TEST_F(Lifecycle, OpenAccepts983CharactersAndTheInfoQueryFits) {
    client_test::fake_shell(0, "TYPE 2\n");
    const std::string name(983, 'w');
    zor_sys_handle *opened = zor_sys_open(name.c_str());
    own(opened);
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->name, name);
    EXPECT_EQ(commands().at(1), "sudo zor-sys info -n " + name);
}

// ---------------------------------------------------------------------------------------
// close

TEST_F(Lifecycle, CloseLogsTheNameAfterReleasingTheHandle) {
    zor_sys_handle *closing = make_handle("web;1", 3);
    EXPECT_EQ(zor_sys_close(closing), 0);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_one_line(LOG_INFO, "zor_sys_close", "ZOR-SYS-LIB: close: Closed handler of 'web;1'.");
}

TEST_F(Lifecycle, CloseOfANamelessHandleReleasesItAndFails) {
    auto *nameless = static_cast<zor_sys_handle *>(std::malloc(sizeof(zor_sys_handle)));
    nameless->type = 1;
    nameless->name = nullptr;
    EXPECT_EQ(zor_sys_close(nameless), ZOR_SYS_EMISSING);
    expect_one_line(LOG_ERR, "zor_sys_close",
                    "ZOR-SYS-LIB: close: Failed to close handler of ''. (ErrNo=-201)");
}

TEST_F(Lifecycle, CloseOfNoHandleFails) {
    EXPECT_EQ(zor_sys_close(nullptr), ZOR_SYS_EMISSING);
    expect_one_line(LOG_ERR, "zor_sys_close",
                    "ZOR-SYS-LIB: close: Failed to close handler of ''. (ErrNo=-201)");
}

// ---------------------------------------------------------------------------------------
// get_status: the exit status is the status number up to 100.

struct StatusCase {
    const char *name;
    int wait_status;
    int result;
    bool logs;
};

class Status : public Lifecycle, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(Status, ReturnsTheStatusNumberOrFails) {
    client_test::fake_shell(GetParam().wait_status);
    EXPECT_EQ(zor_sys_get_status(handle("web;1")), GetParam().result);
    EXPECT_EQ(commands(),
              std::vector<std::string>{"sudo zor-sys status -n web\\;1" + std::string(kSuffix)});
    if (GetParam().logs) {
        expect_one_line(LOG_ERR, "zor_sys_get_status",
                        "ZOR-SYS-LIB: status: Failed to get status of 'web;1'. (ErrNo=" +
                            std::to_string(GetParam().result) + ")");
    } else {
        EXPECT_TRUE(client_test::logged_lines().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    ExitStatuses, Status,
    ::testing::Values(StatusCase{"Zero", exited_with(0), 0, false},
                      StatusCase{"Two", exited_with(2), 2, false},
                      StatusCase{"Hundred", exited_with(100), 100, false},
                      StatusCase{"HundredAndOne", exited_with(101), -101, true},
                      StatusCase{"Max", exited_with(255), -255, true},
                      StatusCase{"SystemFailed", -1, -255, true},
                      StatusCase{"Signal", ended_by_signal(SIGKILL), -137, true},
                      StatusCase{"Hangup", ended_by_signal(SIGHUP), -129, true}),
    [](const ::testing::TestParamInfo<StatusCase> &tested) { return tested.param.name; });

// ---------------------------------------------------------------------------------------
// get_pid: the first output line as a number, when the query succeeded.

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
    EXPECT_EQ(zor_sys_get_pid(handle("web;1"), &pid), GetParam().result);
    EXPECT_EQ(pid, GetParam().pid);
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].command, "sudo zor-sys getpid -n web\\;1");
    if (GetParam().result == 0) {
        expect_one_line(
            LOG_INFO, "zor_sys_get_pid",
            "ZOR-SYS-LIB: getpid: PID of 'web;1' is " + std::to_string(GetParam().pid) + ".");
    } else {
        expect_one_line(LOG_ERR, "zor_sys_get_pid",
                        "ZOR-SYS-LIB: getpid: Failed to get PID of 'web;1'. (ErrNo=" +
                            std::to_string(GetParam().result) + ")");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, GetPid,
    ::testing::Values(PidCase{"Number", exited_with(0), "1234\n", 0, 1234},
                      PidCase{"NoOutput", exited_with(0), "", 0, 0},
                      PidCase{"FirstOfSeveralLines", exited_with(0), "77\n88\n", 0, 77},
                      PidCase{"LeadingBlanksAndSign", exited_with(0), "  -12abc\n", 0, -12},
                      PidCase{"NotANumber", exited_with(0), "none\n", 0, 0},
                      PidCase{"ToolFails", exited_with(1), "1234\n", -1, 4321},
                      PidCase{"ToolKilled", ended_by_signal(SIGKILL), "1234\n", -137, 4321},
                      PidCase{"PcloseFails", -1, "1234\n", -255, 4321}),
    [](const ::testing::TestParamInfo<PidCase> &tested) { return tested.param.name; });

TEST_F(Lifecycle, GetPidWithoutAPlaceForTheNumberRunsNothing) {
    client_test::fake_shell(0, "1\n");
    EXPECT_EQ(zor_sys_get_pid(handle("web"), nullptr), ZOR_SYS_EMISSING);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_one_line(LOG_ERR, "zor_sys_get_pid",
                    "ZOR-SYS-LIB: getpid: Failed to get PID of 'web'. (ErrNo=-201)");
}

TEST_F(Lifecycle, GetPidWithoutAHandleRunsNothing) {
    client_test::fake_shell(0, "1\n");
    int32_t pid = 5;
    EXPECT_EQ(zor_sys_get_pid(nullptr, &pid), ZOR_SYS_EMISSING);
    EXPECT_EQ(pid, 5);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_one_line(LOG_ERR, "zor_sys_get_pid",
                    "ZOR-SYS-LIB: getpid: Failed to get PID of ''. (ErrNo=-201)");
}

TEST_F(Lifecycle, GetPidWhosePipeCannotStartFails) {
    client_test::fail_popen();
    int32_t pid = 5;
    EXPECT_EQ(zor_sys_get_pid(handle("web"), &pid), ZOR_SYS_EMISSING);
    EXPECT_EQ(pid, 5);
    expect_one_line(LOG_ERR, "zor_sys_get_pid",
                    "ZOR-SYS-LIB: getpid: Failed to get PID of 'web'. (ErrNo=-201)");
}

}  // namespace
