// Suspending, resuming, checkpoints, snapshots, sharing and migration: the exact command
// each operation hands to the shell, its result code, its outcome line with the names in
// their order, and the length rule at each prefix's own boundary.
#include "operation_fixture.hpp"

#include <syslog.h>

#include <functional>

namespace {

using client_test::exited_with;
using zorsys_test::kSuffix;

// Runs an operation on the container of handle with the texts first and second (the
// checkpoint, snapshot or destination, and the base image) where it takes them.
using Run = std::function<int(zor_sys_handle *, const char *, const char *)>;
// The command the tool should receive for a container name and the two texts, unescaped.
using Expected =
    std::function<std::string(const std::string &, const std::string &, const std::string &)>;

struct StateCase {
    const char *name;
    const char *function;
    Run run;
    Expected command;
    // The outcome texts for container web;1, texts s;1 and b;1, before the failure code.
    std::string success;
    std::string failure_start;
};

std::string escaped(std::string text) {
    std::string out;
    for (const char c : text) {
        if (c == ';') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::vector<StateCase> state_cases() {
    using S = const std::string &;
    return {
        {"Suspend", "zor_sys_suspend",
         [](zor_sys_handle *h, auto, auto) { return zor_sys_suspend(h); },
         [](S n, S, S) { return "sudo zor-sys suspend -n " + n; },
         "ZOR-SYS-LIB: suspend: Suspended 'web;1'.",
         "ZOR-SYS-LIB: suspend: Failed to suspend 'web;1'. (ErrNo="},
        {"Resume", "zor_sys_resume",
         [](zor_sys_handle *h, auto, auto) { return zor_sys_resume(h); },
         [](S n, S, S) { return "sudo zor-sys resume -n " + n; },
         "ZOR-SYS-LIB: resume: Resumed 'web;1'.",
         "ZOR-SYS-LIB: resume: Failed to resume 'web;1'. (ErrNo="},
        {"Checkpoint", "zor_sys_checkpoint",
         [](zor_sys_handle *h, const char *a, auto) { return zor_sys_checkpoint(h, a); },
         [](S n, S a, S) { return "zor-sys checkpoint -n " + n + " -t " + a; },
         "ZOR-SYS-LIB: checkpoint: Saved checkpoint of 'web;1' as 's;1'.",
         "ZOR-SYS-LIB: checkpoint: Failed to save checkpoint of 'web;1' as 's;1'. (ErrNo="},
        {"Restart", "zor_sys_restart",
         [](zor_sys_handle *h, const char *a, auto) { return zor_sys_restart(h, a); },
         [](S n, S a, S) { return "zor-sys restart -n " + n + " -t " + a; },
         "ZOR-SYS-LIB: restart: Restarted 'web;1' from 's;1'.",
         "ZOR-SYS-LIB: restart: Failed to restart 'web;1' from 's;1'. (ErrNo="},
        {"RemoveCheckpoint", "zor_sys_remove_checkpoint",
         [](zor_sys_handle *h, const char *a, auto) { return zor_sys_remove_checkpoint(h, a); },
         [](S n, S a, S) { return "sudo zor-sys remove --checkpoint -n " + n + " -t " + a; },
         "ZOR-SYS-LIB: remove: Removed checkpoint 's;1' of 'web;1'.",
         "ZOR-SYS-LIB: remove: Failed to remove checkpoint 's;1' of 'web;1'. (ErrNo="},
        {"SaveSnapshot", "zor_sys_save_snapshot",
         [](zor_sys_handle *h, const char *a, auto) { return zor_sys_save_snapshot(h, a); },
         [](S n, S a, S) { return "sudo zor-sys save -n " + n + " -t " + a; },
         "ZOR-SYS-LIB: save: Saved snapshot of 'web;1' as 's;1'.",
         "ZOR-SYS-LIB: save: Failed to save snapshot of 'web;1' as 's;1'. (ErrNo="},
        {"LoadSnapshot", "zor_sys_load_snapshot",
         [](zor_sys_handle *h, const char *a, auto) { return zor_sys_load_snapshot(h, a); },
         [](S n, S a, S) { return "sudo zor-sys load -n " + n + " -t " + a; },
         "ZOR-SYS-LIB: load: Loaded snapshot 's;1' of 'web;1'.",
         "ZOR-SYS-LIB: load: Failed to load snapshot 's;1' of 'web;1'. (ErrNo="},
        {"RemoveSnapshot", "zor_sys_remove_snapshot",
         [](zor_sys_handle *h, const char *a, auto) { return zor_sys_remove_snapshot(h, a); },
         [](S n, S a, S) { return "sudo zor-sys remove --snapshot -n " + n + " -t " + a; },
         "ZOR-SYS-LIB: remove: Removed snapshot 's;1' of 'web;1'.",
         "ZOR-SYS-LIB: remove: Failed to remove snapshot 's;1' of 'web;1'. (ErrNo="},
        {"CommitSnapshot", "zor_sys_commit_snapshot",
         [](zor_sys_handle *h, const char *a, const char *b) {
             return zor_sys_commit_snapshot(h, a, b);
         },
         [](S n, S a, S b) { return "sudo zor-sys commit -n " + n + " -t " + a + " -b " + b; },
         "ZOR-SYS-LIB: commit: Committed snapshot 's;1' to 'web;1'.",
         "ZOR-SYS-LIB: commit: Failed to commit snapshot 's;1' to 'web;1'. (ErrNo="},
        {"Share", "zor_sys_share", [](zor_sys_handle *h, auto, auto) { return zor_sys_share(h); },
         [](S n, S, S) { return "zor-sys share -n " + n; }, "ZOR-SYS-LIB: share: Shared 'web;1'.",
         "ZOR-SYS-LIB: share: Failed to share 'web;1'. (ErrNo="},
        {"Unshare", "zor_sys_unshare",
         [](zor_sys_handle *h, auto, auto) { return zor_sys_unshare(h); },
         [](S n, S, S) { return "zor-sys unshare -n " + n; },
         "ZOR-SYS-LIB: unshare: Unshared 'web;1'.",
         "ZOR-SYS-LIB: unshare: Failed to unshare 'web;1'. (ErrNo="},
        {"Migrate", "zor_sys_migration_start",
         [](zor_sys_handle *h, const char *a, auto) { return zor_sys_migration_start(h, a, -1); },
         [](S n, S a, S) { return "sudo zor-sys migrate -n " + n + " -d " + a + " -p -1"; },
         "ZOR-SYS-LIB: migrate: Migrated 'web;1' to 's;1'.",
         "ZOR-SYS-LIB: migrate: Failed to migrate 'web;1' to 's;1'. (ErrNo="},
        {"Immigrate", "zor_sys_immigration_start",
         [](zor_sys_handle *h, auto, auto) { return zor_sys_immigration_start(h->name, 8080); },
         [](S n, S, S) { return "sudo zor-target -n " + n + " -p 8080"; },
         "ZOR-SYS-LIB: immigrate: Immigrated 'web;1'.",
         "ZOR-SYS-LIB: immigrate: Failed to immigrate 'web;1'. (ErrNo="},
    };
}

class StateOperation : public zorsys_test::Operations,
                       public ::testing::WithParamInterface<StateCase> {
protected:
    int run(const std::string &name, const char *first = "s;1", const char *second = "b;1") {
        return GetParam().run(handle(name), first, second);
    }
    std::string expected(const std::string &name, const std::string &first = "s;1",
                         const std::string &second = "b;1") const {
        return escaped(GetParam().command(name, first, second)) + kSuffix;
    }
    // The longest container name that, with one-character texts, still fits.
    std::size_t longest_name() const {
        return 1023 - GetParam().command("", "s", "b").size() - std::strlen(kSuffix);
    }
};

TEST_P(StateOperation, SuccessRunsTheCommandAndLogsTheSuccessText) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(run("web;1"), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{expected("web;1")});
    EXPECT_EQ(client_test::shell_calls()[0].kind, client_test::ShellCall::Kind::kSystem);
    expect_one_line(LOG_INFO, GetParam().function, GetParam().success);
}

TEST_P(StateOperation, ToolFailureGivesTheNegatedExitStatus) {
    client_test::fake_shell(exited_with(2));
    EXPECT_EQ(run("web;1"), -2);
    EXPECT_EQ(commands().size(), 1u);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-2)");
}

TEST_P(StateOperation, FailingSystemGives255) {
    client_test::fake_shell(-1);
    EXPECT_EQ(run("web;1"), -255);
    expect_one_line(LOG_ERR, GetParam().function, GetParam().failure_start + "-255)");
}

TEST_P(StateOperation, RunsACommandOfExactly1023Characters) {
    client_test::fake_shell(exited_with(0));
    const std::string name(longest_name(), 'n');
    EXPECT_EQ(run(name, "s", "b"), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{expected(name, "s", "b")});
    EXPECT_EQ(commands()[0].size(), 1023u);
}

TEST_P(StateOperation, RefusesOneCharacterMoreAndLogsNothing) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(run(std::string(longest_name() + 1, 'n'), "s", "b"), ZOR_SYS_ETOOLONG);
    expect_nothing_ran_or_logged();
}

TEST_P(StateOperation, CountsTheBackslashesOfTheEscaping) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(run(std::string(longest_name() - 1, 'n') + "$", "s", "b"), ZOR_SYS_ETOOLONG);
    expect_nothing_ran_or_logged();
}

TEST_P(StateOperation, AHandleWithoutANameRunsNothing) {
    client_test::fake_shell(exited_with(0));
    zor_sys_handle nameless{0, nullptr};
    EXPECT_EQ(GetParam().run(&nameless, "s", "b"), ZOR_SYS_EMISSING);
    expect_nothing_ran_or_logged();
}

INSTANTIATE_TEST_SUITE_P(Operations, StateOperation, ::testing::ValuesIn(state_cases()),
                         [](const ::testing::TestParamInfo<StateCase> &tested) {
                             return tested.param.name;
                         });

// ---------------------------------------------------------------------------------------
// The boundaries and texts named for single operations.

using State = zorsys_test::Operations;

TEST_F(State, SuspendTakes982CharactersButNot983) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_suspend(handle(std::string(982, 'n'))), 0);
    EXPECT_EQ(commands().at(0).size(), 1023u);
    client_test::reset_shell();
    client_test::clear_logged_lines();
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_suspend(handle(std::string(983, 'n'))), ZOR_SYS_ETOOLONG);
    expect_nothing_ran_or_logged();
}

TEST_F(State, SaveSnapshotTakes981CharactersOfBothNamesTogether) {
    // The container name is never empty here: an empty one would be passed as '' and make the
    // escaped command two characters longer than the composed one.
    for (const std::size_t snapshot : {std::size_t{1}, std::size_t{490}, std::size_t{980}}) {
        client_test::reset_shell();
        client_test::fake_shell(exited_with(0));
        const std::string name(981 - snapshot, 'n');
        EXPECT_EQ(zor_sys_save_snapshot(handle(name), std::string(snapshot, 's').c_str()), 0);
        ASSERT_EQ(commands().size(), 1u);
        EXPECT_EQ(commands()[0].size(), 1023u);

        client_test::reset_shell();
        client_test::clear_logged_lines();
        client_test::fake_shell(exited_with(0));
        EXPECT_EQ(zor_sys_save_snapshot(handle(name), std::string(snapshot + 1, 's').c_str()),
                  ZOR_SYS_ETOOLONG);
        expect_nothing_ran_or_logged();
    }
}

TEST_F(State, AnEmptyTextStillPassesItsOption) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_checkpoint(handle("web"), ""), 0);
    EXPECT_EQ(commands(),
              std::vector<std::string>{"zor-sys checkpoint -n web -t ''" + std::string(kSuffix)});
}

TEST_F(State, PortsAreWrittenInDecimal) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_migration_start(handle("web"), "host-b", 2147483647), 0);
    EXPECT_EQ(zor_sys_immigration_start("web", -2147483647 - 1), 0);
    EXPECT_EQ(commands(),
              (std::vector<std::string>{
                  "sudo zor-sys migrate -n web -d host-b -p 2147483647" + std::string(kSuffix),
                  "sudo zor-target -n web -p -2147483648" + std::string(kSuffix)}));
}

TEST_F(State, TheCommitLineNeverNamesTheBase) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_commit_snapshot(handle("web"), "s1", "b1"), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{"sudo zor-sys commit -n web -t s1 -b b1" +
                                                   std::string(kSuffix)});
    expect_one_line(LOG_INFO, "zor_sys_commit_snapshot",
                    "ZOR-SYS-LIB: commit: Committed snapshot 's1' to 'web'.");
}

TEST_F(State, NullArgumentsRunNothingAndLogNothing) {
    client_test::fake_shell(exited_with(0));
    zor_sys_handle *web = handle("web");
    EXPECT_EQ(zor_sys_suspend(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_resume(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_share(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_unshare(nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_checkpoint(nullptr, "c"), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_checkpoint(web, nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_restart(web, nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_remove_checkpoint(web, nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_save_snapshot(web, nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_load_snapshot(nullptr, "s"), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_remove_snapshot(web, nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_commit_snapshot(web, "s", nullptr), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_commit_snapshot(web, nullptr, "b"), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_migration_start(web, nullptr, 1), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_migration_start(nullptr, "host", 1), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_immigration_start(nullptr, 1), ZOR_SYS_EMISSING);
    expect_nothing_ran_or_logged();
}

}  // namespace
