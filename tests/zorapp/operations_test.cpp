// Every operation of libzorapp that runs one command with system(): the exact text it hands
// to the shell, its result code for each way the command can end, and its one outcome line.
#include <zorapp.h>

#include "app_fixture.hpp"

#include <gtest/gtest.h>

#include <syslog.h>

#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace {

using client_test::ended_by_signal;
using client_test::exited_with;
using client_test::ShellCall;
using zorapp_test::AppTest;
using zorapp_test::commands;
using zorapp_test::expect_one_line;
using zorapp_test::kSuffix;

struct OperationCase {
    const char *name;
    const char *function;
    std::function<int(zor_app_handle *)> run;  // on a handle named web;1
    std::string command;                       // before the suffix
    std::string success;
    std::string failure_start;  // the failure text before its code
};

const zor_app_config kPlainConfig{5, 0, nullptr};

zor_app_resource cpu(int32_t value) {
    zor_app_resource resource{};
    resource.type = 1;
    resource.value.cpu = value;
    return resource;
}

zor_app_resource mem() {
    zor_app_resource resource{};
    resource.type = 3;
    resource.value.mem = 99;
    return resource;
}

std::vector<OperationCase> operation_cases() {
    return {
        {"Create", "zor_app_create_container",
         [](zor_app_handle *h) { return zor_app_create_container(h->name, &kPlainConfig); },
         "sudo zor-app create -n web\\;1",
         "ZOR-APP-LIB: create: Created application container 'web;1'.",
         "ZOR-APP-LIB: create: Failed to create 'web;1'. (ErrNo="},
        {"Destroy", "zor_app_destroy_container",
         [](zor_app_handle *h) { return zor_app_destroy_container(h->name); },
         "sudo zor-app destroy -n web\\;1",
         "ZOR-APP-LIB: destroy: Destroyed application container 'web;1'.",
         "ZOR-APP-LIB: destroy: Failed to destroy 'web;1'. (ErrNo="},
        {"Start", "zor_app_start", zor_app_start, "sudo zor-app start -n web\\;1",
         "ZOR-APP-LIB: start: Started application container 'web;1'.",
         "ZOR-APP-LIB: start: Failed to start 'web;1'. (ErrNo="},
        {"Stop", "zor_app_stop", zor_app_stop, "sudo zor-app stop -n web\\;1",
         "ZOR-APP-LIB: stop: Stopped application container 'web;1'.",
         "ZOR-APP-LIB: stop: Failed to stop 'web;1'. (ErrNo="},
        {"Suspend", "zor_app_suspend", zor_app_suspend, "sudo zor-app suspend -n web\\;1",
         "ZOR-APP-LIB: suspend: Suspended 'web;1'.",
         "ZOR-APP-LIB: suspend: Failed to suspend 'web;1'. (ErrNo="},
        {"Resume", "zor_app_resume", zor_app_resume, "sudo zor-app resume -n web\\;1",
         "ZOR-APP-LIB: resume: Resumed 'web;1'.",
         "ZOR-APP-LIB: resume: Failed to resume 'web;1'. (ErrNo="},
        {"SaveSnapshot", "zor_app_save_snapshot",
         [](zor_app_handle *h) { return zor_app_save_snapshot(h, "s$1"); },
         "sudo zor-app save -n web\\;1 -t s\\$1",
         "ZOR-APP-LIB: save: Saved snapshot of 'web;1' as 's$1'.",
         "ZOR-APP-LIB: save: Failed to save snapshot of 'web;1' as 's$1'. (ErrNo="},
        {"LoadSnapshot", "zor_app_load_snapshot",
         [](zor_app_handle *h) { return zor_app_load_snapshot(h, "s$1"); },
         "sudo zor-app load -n web\\;1 -t s\\$1",
         "ZOR-APP-LIB: load: Loaded snapshot 's$1' of 'web;1'.",
         "ZOR-APP-LIB: load: Failed to load snapshot 's$1' of 'web;1'. (ErrNo="},
        {"RemoveSnapshot", "zor_app_remove_snapshot",
         [](zor_app_handle *h) { return zor_app_remove_snapshot(h, "s$1"); },
         "sudo zor-app remove --snapshot -n web\\;1 -t s\\$1",
         "ZOR-APP-LIB: remove: Removed snapshot 's$1' of 'web;1'.",
         "ZOR-APP-LIB: remove: Failed to remove snapshot 's$1' of 'web;1'. (ErrNo="},
        {"CommitSnapshot", "zor_app_commit_snapshot",
         [](zor_app_handle *h) { return zor_app_commit_snapshot(h, "s1", "b1"); },
         "sudo zor-app commit -n web\\;1 -t s1 -b b1",
         "ZOR-APP-LIB: commit: Committed snapshot 's1' to 'web;1'.",
         "ZOR-APP-LIB: commit: Failed to commit snapshot 's1' to 'web;1'. (ErrNo="},
        {"RemoveBase", "zor_app_remove_base",
         [](zor_app_handle *) { return zor_app_remove_base("b;1"); },
         "sudo zor-app remove --base b\\;1", "ZOR-APP-LIB: remove: Removed base image 'b;1'.",
         "ZOR-APP-LIB: remove: Failed to remove base image 'b;1'. (ErrNo="},
        {"CreateCgroup", "zor_app_create_cgroup",
         [](zor_app_handle *h) { return zor_app_create_cgroup(h, "g;1"); },
         "sudo zor-app create -c g\\;1 -n web\\;1",
         "ZOR-APP-LIB: create: Created control group 'g;1'.",
         "ZOR-APP-LIB: create: Failed to create control group 'g;1'. (ErrNo="},
        {"DestroyCgroup", "zor_app_destroy_cgroup",
         [](zor_app_handle *h) { return zor_app_destroy_cgroup(h, "g;1"); },
         "sudo zor-app destroy -g g\\;1 -n web\\;1",
         "ZOR-APP-LIB: destroy: Destroyed control group 'g;1'.",
         "ZOR-APP-LIB: destroy: Failed to destroy control group 'g;1'. (ErrNo="},
        {"BindPid", "zor_app_bind_pid",
         [](zor_app_handle *h) { return zor_app_bind_pid(h, "g1", 1234); },
         "sudo zor-app bind -g g1 -pid 1234 -n web\\;1", "ZOR-APP-LIB: bind: Bound '1234' to 'g1'.",
         "ZOR-APP-LIB: bind: Failed to bind '1234' to 'g1'. (ErrNo="},
        {"UnbindPid", "zor_app_unbind_pid",
         [](zor_app_handle *h) { return zor_app_unbind_pid(h, "g1", 1234); },
         "sudo zor-app unbind -c g1 -pid 1234 -n web\\;1",
         "ZOR-APP-LIB: unbind: Unbound '1234' from 'g1'.",
         "ZOR-APP-LIB: unbind: Failed to unbind '1234' from 'g1'. (ErrNo="},
        {"BindVpid", "zor_app_bind_vpid",
         [](zor_app_handle *h) { return zor_app_bind_vpid(h, "g1", 7); },
         "sudo zor-app bind -g g1 -vpid 7 -n web\\;1", "ZOR-APP-LIB: bind: Bound '7' to 'g1'.",
         "ZOR-APP-LIB: bind: Failed to bind '7' to 'g1'. (ErrNo="},
        {"UnbindVpid", "zor_app_unbind_vpid",
         [](zor_app_handle *h) { return zor_app_unbind_vpid(h, "g1", 7); },
         "sudo zor-app unbind -g g1 -vpid 7 -n web\\;1",
         "ZOR-APP-LIB: unbind: Unbound '7' from 'g1'.",
         "ZOR-APP-LIB: unbind: Failed to unbind '7' from 'g1'. (ErrNo="},
        {"RegisterPid", "zor_app_register_pid",
         [](zor_app_handle *h) { return zor_app_register_pid(h, 1234); },
         "sudo zor-app register -n web\\;1 -pid 1234", "ZOR-APP-LIB: register: Registered '1234'.",
         "ZOR-APP-LIB: register: Failed to register '1234'. (ErrNo="},
        {"UnregisterPid", "zor_app_unregister_pid",
         [](zor_app_handle *h) { return zor_app_unregister_pid(h, 1234); },
         "sudo zor-app unregister -n web\\;1 -pid 1234",
         "ZOR-APP-LIB: unregister: Unregistered '1234'.",
         "ZOR-APP-LIB: unregister: Failed to unregister '1234'. (ErrNo="},
        {"RegisterVpid", "zor_app_register_vpid",
         [](zor_app_handle *h) { return zor_app_register_vpid(h, 7); },
         "sudo zor-app register -n web\\;1 -vpid 7", "ZOR-APP-LIB: register: Registered '7'.",
         "ZOR-APP-LIB: register: Failed to register '7'. (ErrNo="},
        {"UnregisterVpid", "zor_app_unregister_vpid",
         [](zor_app_handle *h) { return zor_app_unregister_vpid(h, 7); },
         "sudo zor-app unregister -n web\\;1 -vpid 7", "ZOR-APP-LIB: unregister: Unregistered '7'.",
         "ZOR-APP-LIB: unregister: Failed to unregister '7'. (ErrNo="},
        {"SetResource", "zor_app_set_resource",
         [](zor_app_handle *h) { return zor_app_set_resource(h, "g1", cpu(50)); },
         "sudo zor-app limit --cpu 50 -n web\\;1 -c g1",
         "ZOR-APP-LIB: limit: Set limitation of resource usage 'web;1'.",
         "ZOR-APP-LIB: limit: Failed to set limitation of resource usage 'g1'. (ErrNo="},
        {"UnsetResource", "zor_app_unset_resource",
         [](zor_app_handle *h) { return zor_app_unset_resource(h, "g1", mem()); },
         "sudo zor-app unlimit --mem -n web\\;1 -c g1",
         "ZOR-APP-LIB: unlimit: Unset limitation of resource usage 'web;1'.",
         "ZOR-APP-LIB: unlimit: Failed to unset limitation of resource usage 'g1'. (ErrNo="},
    };
}

class Operation : public AppTest, public ::testing::WithParamInterface<OperationCase> {};

TEST_P(Operation, SuccessRunsTheCommandAndLogsTheSuccessText) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(GetParam().run(handle("web;1")), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{GetParam().command + kSuffix});
    EXPECT_EQ(client_test::shell_calls()[0].kind, ShellCall::Kind::kSystem);
    expect_one_line(LOG_INFO, GetParam().function, GetParam().success);
}

TEST_P(Operation, ToolFailureGivesTheNegatedExitStatus) {
    client_test::fake_shell(exited_with(3));
    EXPECT_EQ(GetParam().run(handle("web;1")), -3);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-3)");
}

TEST_P(Operation, HighestExitStatus) {
    client_test::fake_shell(exited_with(255));
    EXPECT_EQ(GetParam().run(handle("web;1")), -255);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-255)");
}

TEST_P(Operation, ShellEndedBySignalIsAFailure) {
    client_test::fake_shell(ended_by_signal(SIGKILL));
    EXPECT_EQ(GetParam().run(handle("web;1")), -(128 + SIGKILL));
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-137)");
}

TEST_P(Operation, FailingSystemGives255) {
    client_test::fake_shell(-1);
    EXPECT_EQ(GetParam().run(handle("web;1")), -255);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-255)");
}

INSTANTIATE_TEST_SUITE_P(Operations, Operation, ::testing::ValuesIn(operation_cases()),
                         [](const ::testing::TestParamInfo<OperationCase> &tested) {
                             return tested.param.name;
                         });

// ---------------------------------------------------------------------------------------
// Arguments that shape the command.

struct CommandCase {
    const char *name;
    std::function<int(zor_app_handle *)> run;  // on a handle named web
    std::string command;                       // before the suffix
};

class Command : public AppTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(Command, IsComposedFromTheArguments) {
    client_test::fake_shell(0);
    EXPECT_EQ(GetParam().run(handle("web")), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{GetParam().command + kSuffix});
    EXPECT_EQ(client_test::logged_lines().size(), 1u);
}

char kBase1[] = "base1";
char kEmpty[] = "";
char kSpaced[] = "b 1";

INSTANTIATE_TEST_SUITE_P(
    Arguments, Command,
    ::testing::Values(
        CommandCase{"CreateType1PortAndBase",
                    [](zor_app_handle *h) {
                        const zor_app_config config{1, 8080, kBase1};
                        return zor_app_create_container(h->name, &config);
                    },
                    "sudo zor-app create -n web -p 8080 -b base1"},
        CommandCase{"CreateType1NegativePortNoBase",
                    [](zor_app_handle *h) {
                        const zor_app_config config{1, -1, nullptr};
                        return zor_app_create_container(h->name, &config);
                    },
                    "sudo zor-app create -n web"},
        CommandCase{"CreateType1PortZeroEmptyBase",
                    [](zor_app_handle *h) {
                        const zor_app_config config{1, 0, kEmpty};
                        return zor_app_create_container(h->name, &config);
                    },
                    "sudo zor-app create -n web"},
        CommandCase{"CreateType1BaseOnly",
                    [](zor_app_handle *h) {
                        const zor_app_config config{1, 0, kSpaced};
                        return zor_app_create_container(h->name, &config);
                    },
                    "sudo zor-app create -n web -b b\\ 1"},
        CommandCase{"CreateType100IgnoresTheOptions",
                    [](zor_app_handle *h) {
                        const zor_app_config config{100, 8080, kBase1};
                        return zor_app_create_container(h->name, &config);
                    },
                    "sudo zor-app create -n web"},
        CommandCase{"CreateType0IgnoresTheOptions",
                    [](zor_app_handle *h) {
                        const zor_app_config config{0, 8080, kBase1};
                        return zor_app_create_container(h->name, &config);
                    },
                    "sudo zor-app create -n web"},
        CommandCase{"EmptyNameIsAnEmptyWord",
                    [](zor_app_handle *) {
                        zor_app_handle nameless{0, kEmpty};
                        return zor_app_suspend(&nameless);
                    },
                    "sudo zor-app suspend -n ''"},
        CommandCase{"EmptySnapshotStillPassesItsOption",
                    [](zor_app_handle *h) { return zor_app_save_snapshot(h, ""); },
                    "sudo zor-app save -n web -t ''"},
        CommandCase{"SnapshotWithABlank",
                    [](zor_app_handle *h) { return zor_app_load_snapshot(h, "s 1"); },
                    "sudo zor-app load -n web -t s\\ 1"},
        CommandCase{"CreateCgroupWithoutAHandle",
                    [](zor_app_handle *) { return zor_app_create_cgroup(nullptr, "g1"); },
                    "sudo zor-app create -c g1"},
        CommandCase{"DestroyCgroupWithoutAHandle",
                    [](zor_app_handle *) { return zor_app_destroy_cgroup(nullptr, "g1"); },
                    "sudo zor-app destroy -g g1"},
        CommandCase{"BindWithoutAHandle",
                    [](zor_app_handle *) { return zor_app_bind_pid(nullptr, "g1", 1234); },
                    "sudo zor-app bind -g g1 -pid 1234"},
        CommandCase{"UnbindWithoutAHandle",
                    [](zor_app_handle *) { return zor_app_unbind_pid(nullptr, "g1", 1234); },
                    "sudo zor-app unbind -c g1 -pid 1234"},
        CommandCase{"BindVpidWithoutAHandle",
                    [](zor_app_handle *) { return zor_app_bind_vpid(nullptr, "g1", 7); },
                    "sudo zor-app bind -g g1 -vpid 7"},
        CommandCase{"UnbindVpidWithoutAHandle",
                    [](zor_app_handle *) { return zor_app_unbind_vpid(nullptr, "g1", 7); },
                    "sudo zor-app unbind -g g1 -vpid 7"},
        CommandCase{"UnbindProcessZero",
                    [](zor_app_handle *h) { return zor_app_unbind_pid(h, "g1", 0); },
                    "sudo zor-app unbind -c g1 -pid 0 -n web"},
        CommandCase{"BindNegativeProcess",
                    [](zor_app_handle *h) { return zor_app_bind_pid(h, "g1", -5); },
                    "sudo zor-app bind -g g1 -pid -5 -n web"},
        CommandCase{"RegisterNegativeVpid",
                    [](zor_app_handle *h) { return zor_app_register_vpid(h, -1); },
                    "sudo zor-app register -n web -vpid -1"},
        CommandCase{"UnregisterProcessZero",
                    [](zor_app_handle *h) { return zor_app_unregister_pid(h, 0); },
                    "sudo zor-app unregister -n web -pid 0"}),
    [](const ::testing::TestParamInfo<CommandCase> &tested) { return tested.param.name; });

// ---------------------------------------------------------------------------------------
// Missing arguments: -201, nothing run, no line.

struct MissingCase {
    const char *name;
    std::function<int(zor_app_handle *)> run;  // given a handle named web
};

class Missing : public AppTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(Missing, RunsNothingAndLogsNothing) {
    client_test::fake_shell(0);
    EXPECT_EQ(GetParam().run(handle("web")), ZOR_APP_EMISSING);
    EXPECT_TRUE(client_test::shell_calls().empty());
    zorapp_test::expect_no_line();
}

zor_app_handle kNameless{1, nullptr};

INSTANTIATE_TEST_SUITE_P(
    Arguments, Missing,
    ::testing::Values(
        MissingCase{
            "CreateWithoutName",
            [](zor_app_handle *) { return zor_app_create_container(nullptr, &kPlainConfig); }},
        MissingCase{"CreateWithoutConfig",
                    [](zor_app_handle *) { return zor_app_create_container("web", nullptr); }},
        MissingCase{"CreateType1WithoutName",
                    [](zor_app_handle *) {
                        const zor_app_config config{1, 5, kBase1};
                        return zor_app_create_container(nullptr, &config);
                    }},
        MissingCase{"DestroyWithoutName",
                    [](zor_app_handle *) { return zor_app_destroy_container(nullptr); }},
        MissingCase{"StartWithoutHandle", [](zor_app_handle *) { return zor_app_start(nullptr); }},
        MissingCase{"StartNameless", [](zor_app_handle *) { return zor_app_start(&kNameless); }},
        MissingCase{"StopWithoutHandle", [](zor_app_handle *) { return zor_app_stop(nullptr); }},
        MissingCase{"StatusWithoutHandle",
                    [](zor_app_handle *) { return zor_app_get_status(nullptr); }},
        MissingCase{"SuspendWithoutHandle",
                    [](zor_app_handle *) { return zor_app_suspend(nullptr); }},
        MissingCase{"ResumeNameless", [](zor_app_handle *) { return zor_app_resume(&kNameless); }},
        MissingCase{"SaveWithoutHandle",
                    [](zor_app_handle *) { return zor_app_save_snapshot(nullptr, "s1"); }},
        MissingCase{"SaveWithoutSnapshot",
                    [](zor_app_handle *h) { return zor_app_save_snapshot(h, nullptr); }},
        MissingCase{"LoadWithoutSnapshot",
                    [](zor_app_handle *h) { return zor_app_load_snapshot(h, nullptr); }},
        MissingCase{"RemoveWithoutSnapshot",
                    [](zor_app_handle *h) { return zor_app_remove_snapshot(h, nullptr); }},
        MissingCase{"CommitWithoutBase",
                    [](zor_app_handle *h) { return zor_app_commit_snapshot(h, "s1", nullptr); }},
        MissingCase{"CommitWithoutSnapshot",
                    [](zor_app_handle *h) { return zor_app_commit_snapshot(h, nullptr, "b1"); }},
        MissingCase{"RemoveBaseWithoutName",
                    [](zor_app_handle *) { return zor_app_remove_base(nullptr); }},
        MissingCase{"CreateCgroupWithoutGroup",
                    [](zor_app_handle *h) { return zor_app_create_cgroup(h, nullptr); }},
        MissingCase{"CreateCgroupWithoutEither",
                    [](zor_app_handle *) { return zor_app_create_cgroup(nullptr, nullptr); }},
        MissingCase{"DestroyCgroupWithoutGroup",
                    [](zor_app_handle *h) { return zor_app_destroy_cgroup(h, nullptr); }},
        MissingCase{"BindWithoutGroup",
                    [](zor_app_handle *h) { return zor_app_bind_pid(h, nullptr, 1); }},
        MissingCase{"UnbindWithoutGroup",
                    [](zor_app_handle *) { return zor_app_unbind_pid(nullptr, nullptr, 1); }},
        MissingCase{"BindVpidWithoutGroup",
                    [](zor_app_handle *h) { return zor_app_bind_vpid(h, nullptr, 1); }},
        MissingCase{"UnbindVpidWithoutGroup",
                    [](zor_app_handle *h) { return zor_app_unbind_vpid(h, nullptr, 1); }},
        MissingCase{"BindWithNamelessHandle",
                    [](zor_app_handle *) { return zor_app_bind_pid(&kNameless, "g1", 1); }},
        MissingCase{"RegisterWithoutHandle",
                    [](zor_app_handle *) { return zor_app_register_pid(nullptr, 1); }},
        MissingCase{"UnregisterWithoutHandle",
                    [](zor_app_handle *) { return zor_app_unregister_pid(nullptr, 1); }},
        MissingCase{"RegisterVpidNameless",
                    [](zor_app_handle *) { return zor_app_register_vpid(&kNameless, 1); }},
        MissingCase{"UnregisterVpidWithoutHandle",
                    [](zor_app_handle *) { return zor_app_unregister_vpid(nullptr, 1); }}),
    [](const ::testing::TestParamInfo<MissingCase> &tested) { return tested.param.name; });

// ---------------------------------------------------------------------------------------
// The checkpoint entry points do nothing at all.

TEST_F(AppTest, CheckpointEntryPointsDoNothing) {
    client_test::fake_shell(exited_with(9));
    zor_app_handle *web = handle("web");
    EXPECT_EQ(zor_app_checkpoint(web, "c1"), 0);
    EXPECT_EQ(zor_app_restart(web, "c1"), 0);
    EXPECT_EQ(zor_app_remove_checkpoint(web, "c1"), 0);
    EXPECT_EQ(zor_app_checkpoint(nullptr, nullptr), 0);
    EXPECT_EQ(zor_app_restart(nullptr, nullptr), 0);
    EXPECT_EQ(zor_app_remove_checkpoint(nullptr, nullptr), 0);
    EXPECT_STREQ(web->name, "web");
    EXPECT_TRUE(client_test::shell_calls().empty());
    zorapp_test::expect_no_line();
}

}  // namespace
