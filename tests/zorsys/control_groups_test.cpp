// Control groups and process binding: the group right after the verb, the process option
// before the container option, the container only with a handle, and lines that name the
// group.
#include "operation_fixture.hpp"

#include <syslog.h>

#include <functional>

namespace {

using client_test::exited_with;
using zorsys_test::kSuffix;

using Run = std::function<int(zor_sys_handle *, const char *)>;

struct GroupCase {
    const char *name;
    const char *function;
    Run run;  // process 1234 where the operation takes one
    std::string prefix;
    std::string process_option;
    std::string success;  // for group g;1
    std::string failure_start;
};

std::vector<GroupCase> group_cases() {
    return {
        {"Create", "zor_sys_create_cgroup",
         [](zor_sys_handle *h, const char *g) { return zor_sys_create_cgroup(h, g); },
         "sudo zor-sys create -g ", "", "ZOR-SYS-LIB: create: Created control group 'g;1'.",
         "ZOR-SYS-LIB: create: Failed to create control group 'g;1'. (ErrNo="},
        {"Destroy", "zor_sys_destroy_cgroup",
         [](zor_sys_handle *h, const char *g) { return zor_sys_destroy_cgroup(h, g); },
         "sudo zor-sys destroy -g ", "", "ZOR-SYS-LIB: destroy: Destroyed control group 'g;1'.",
         "ZOR-SYS-LIB: destroy: Failed to destroy control group 'g;1'. (ErrNo="},
        {"Bind", "zor_sys_bind_pid",
         [](zor_sys_handle *h, const char *g) { return zor_sys_bind_pid(h, g, 1234); },
         "sudo zor-sys bind -g ", " -pid 1234", "ZOR-SYS-LIB: bind: Bound '1234' to 'g;1'.",
         "ZOR-SYS-LIB: bind: Failed to bind '1234' to 'g;1'. (ErrNo="},
        {"Unbind", "zor_sys_unbind_pid",
         [](zor_sys_handle *h, const char *g) { return zor_sys_unbind_pid(h, g, 1234); },
         "sudo zor-sys unbind -g ", " -pid 1234", "ZOR-SYS-LIB: unbind: Unbound '1234' from 'g;1'.",
         "ZOR-SYS-LIB: unbind: Failed to unbind '1234' from 'g;1'. (ErrNo="},
    };
}

class GroupOperation : public zorsys_test::Operations,
                       public ::testing::WithParamInterface<GroupCase> {
protected:
    std::size_t longest_group(bool with_container) const {
        return 1023 - GetParam().prefix.size() - GetParam().process_option.size() -
               (with_container ? std::strlen(" -n web") : 0) - std::strlen(kSuffix);
    }
};

TEST_P(GroupOperation, WithAHandleNamesItsContainerLast) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(GetParam().run(handle("web;1"), "g;1"), 0);
    EXPECT_EQ(commands(),
              std::vector<std::string>{GetParam().prefix + "g\\;1" + GetParam().process_option +
                                       " -n web\\;1" + kSuffix});
    expect_one_line(LOG_INFO, GetParam().function, GetParam().success);
}

TEST_P(GroupOperation, WithoutAHandleHasNoContainerOption) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(GetParam().run(nullptr, "g;1"), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{GetParam().prefix + "g\\;1" +
                                                   GetParam().process_option + kSuffix});
    expect_one_line(LOG_INFO, GetParam().function, GetParam().success);
}

TEST_P(GroupOperation, ToolFailureGivesTheNegatedExitStatus) {
    client_test::fake_shell(exited_with(2));
    EXPECT_EQ(GetParam().run(nullptr, "g;1"), -2);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-2)");
}

TEST_P(GroupOperation, ANullGroupRunsNothingWithOrWithoutAHandle) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(GetParam().run(nullptr, nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(GetParam().run(handle("web"), nullptr), ZOR_SYS_EMISSING);
    expect_nothing_ran_or_logged();
}

TEST_P(GroupOperation, AHandleWithoutANameRunsNothing) {
    client_test::fake_shell(exited_with(0));
    zor_sys_handle nameless{0, nullptr};
    EXPECT_EQ(GetParam().run(&nameless, "g"), ZOR_SYS_EMISSING);
    expect_nothing_ran_or_logged();
}

TEST_P(GroupOperation, TheLengthRuleCountsEveryPiece) {
    for (const bool with_container : {false, true}) {
        client_test::reset_shell();
        client_test::clear_logged_lines();
        client_test::fake_shell(exited_with(0));
        zor_sys_handle *web = with_container ? handle("web") : nullptr;
        const std::string group(longest_group(with_container), 'g');
        EXPECT_EQ(GetParam().run(web, group.c_str()), 0);
        ASSERT_EQ(commands().size(), 1u);
        EXPECT_EQ(commands()[0].size(), 1023u);

        client_test::reset_shell();
        client_test::clear_logged_lines();
        client_test::fake_shell(exited_with(0));
        EXPECT_EQ(GetParam().run(web, (group + "g").c_str()), ZOR_SYS_ETOOLONG);
        expect_nothing_ran_or_logged();
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, GroupOperation, ::testing::ValuesIn(group_cases()),
                         [](const ::testing::TestParamInfo<GroupCase> &tested) {
                             return tested.param.name;
                         });

using Groups = zorsys_test::Operations;

TEST_F(Groups, ProcessNumbersPassWhateverTheirValue) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_unbind_pid(nullptr, "g1", 0), 0);
    EXPECT_EQ(zor_sys_bind_pid(nullptr, "g1", -7), 0);
    EXPECT_EQ(commands(),
              (std::vector<std::string>{"sudo zor-sys unbind -g g1 -pid 0" + std::string(kSuffix),
                                        "sudo zor-sys bind -g g1 -pid -7" + std::string(kSuffix)}));
}

TEST_F(Groups, BindFailureNamesTheProcessAndTheGroup) {
    client_test::fake_shell(exited_with(2));
    EXPECT_EQ(zor_sys_bind_pid(handle("web"), "g1", 1234), -2);
    expect_one_line(LOG_ERR, "zor_sys_bind_pid",
                    "ZOR-SYS-LIB: bind: Failed to bind '1234' to 'g1'. (ErrNo=-2)");
}

}  // namespace
