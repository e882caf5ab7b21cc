// System-container listings: the command each listing starts, what of the tool's output
// becomes the list, the caller's list pointer on failure, the release operations, and the
// removal of a base image.
#include "operation_fixture.hpp"

#include <syslog.h>

#include <functional>

namespace {

using client_test::exited_with;
using client_test::ShellCall;
using zorsys_test::kSuffix;
using Entries = std::vector<std::string>;

Entries entries_of(char **list) {
    Entries entries;
    for (char **slot = list; slot != nullptr && *slot != nullptr; ++slot) {
        entries.emplace_back(*slot);
    }
    return entries;
}

// Lists through one of the four listings; type is the handle's where there is one.
using Listing = std::function<int(zor_sys_handle *, char ***)>;

struct ListingCase {
    const char *name;
    Listing list;
    std::string command;  // for a handle named web;1
    bool reads_a_table;   // the handle's type 100 selects the table parsing
};

std::vector<ListingCase> listing_cases() {
    return {
        {"Containers", [](zor_sys_handle *, char ***l) { return zor_sys_get_container_list(l); },
         "sudo zor-sys list", false},
        {"Bases", [](zor_sys_handle *, char ***l) { return zor_sys_get_base_list(l); },
         "sudo zor-sys list --base", false},
        {"Snapshots", [](zor_sys_handle *h, char ***l) { return zor_sys_get_snapshot_list(h, l); },
         "sudo zor-sys list --snapshot -n web\\;1", true},
        {"Checkpoints",
         [](zor_sys_handle *h, char ***l) { return zor_sys_get_checkpoint_list(h, l); },
         "zor-sys list --checkpoint -n web\\;1", true},
    };
}

class Listings : public zorsys_test::Operations, public ::testing::WithParamInterface<ListingCase> {
protected:
    // Lists output for a handle of type; the entries, after the list has been released.
    Entries list(const std::string &output, std::int32_t type = 0) {
        client_test::fake_shell(exited_with(0), output);
        char **names = nullptr;
        EXPECT_EQ(GetParam().list(handle("web;1", type), &names), 0);
        const Entries entries = entries_of(names);
        if (names != nullptr) {
            EXPECT_EQ(zor_sys_release_container_list(names), 0);
        }
        return entries;
    }
};

TEST_P(Listings, StartsTheToolThroughAPipeAndLogsNothing) {
    EXPECT_EQ(list("web\n"), Entries{"web"});
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].mode, "r");
    EXPECT_EQ(calls[0].command, GetParam().command);
    EXPECT_TRUE(client_test::logged_lines().empty());
}

TEST_P(Listings, NoOutputGivesANullList) {
    client_test::fake_shell(exited_with(0), "");
    char *previous[] = {nullptr};
    char **names = previous;
    EXPECT_EQ(GetParam().list(handle("web"), &names), 0);
    EXPECT_EQ(names, nullptr);
}

TEST_P(Listings, EveryLineIsAnEntryWithoutItsNewline) {
    EXPECT_EQ(list("web\ndb\ncache\n"), (Entries{"web", "db", "cache"}));
}

TEST_P(Listings, ALastLineWithoutNewlineKeepsAllItsCharacters) {
    EXPECT_EQ(list("web\nabcde"), (Entries{"web", "abcde"}));
}

TEST_P(Listings, ALongLineArrivesInWholePieces) {
    const std::string line = std::string(1023, 'a') + std::string(477, 'b');
    EXPECT_EQ(list(line + "\n"), (Entries{line.substr(0, 1023), line.substr(1023)}));
    EXPECT_EQ(list(std::string(1023, 'c') + "\nd\n"), (Entries{std::string(1023, 'c'), "d"}));
}

TEST_P(Listings, TheToolsExitStatusIsNotExamined) {
    client_test::fake_shell(exited_with(1), "partial\n");
    char **names = nullptr;
    EXPECT_EQ(GetParam().list(handle("web"), &names), 0);
    EXPECT_EQ(entries_of(names), Entries{"partial"});
    EXPECT_EQ(zor_sys_release_base_list(names), 0);
}

TEST_P(Listings, APipeThatCannotStartLeavesTheList) {
    client_test::fail_popen();
    char *previous[] = {nullptr};
    char **names = previous;
    EXPECT_EQ(GetParam().list(handle("web"), &names), ZOR_SYS_EMISSING);
    EXPECT_EQ(names, previous);
    EXPECT_TRUE(client_test::logged_lines().empty());
}

TEST_P(Listings, NoPlaceForTheListRunsNothing) {
    client_test::fake_shell(exited_with(0), "web\n");
    EXPECT_EQ(GetParam().list(handle("web"), nullptr), ZOR_SYS_EMISSING);
    expect_nothing_ran_or_logged();
}

TEST_P(Listings, Type100ReadsATableAndOtherTypesEveryLine) {
    const std::string table = "NUM ID DATE\n1 s1 monday\n2  s2 tuesday\n";
    if (GetParam().reads_a_table) {
        EXPECT_EQ(list(table, 100), (Entries{"s1", "s2"}));
        EXPECT_EQ(list("1 s1 monday\n", 100), Entries{});
    } else {
        EXPECT_EQ(list(table, 100), (Entries{"NUM ID DATE", "1 s1 monday", "2  s2 tuesday"}));
    }
    EXPECT_EQ(list(table, 99), (Entries{"NUM ID DATE", "1 s1 monday", "2  s2 tuesday"}));
}

INSTANTIATE_TEST_SUITE_P(Operations, Listings, ::testing::ValuesIn(listing_cases()),
                         [](const ::testing::TestParamInfo<ListingCase> &tested) {
                             return tested.param.name;
                         });

// ---------------------------------------------------------------------------------------
// The table of a type-100 handle, and the listings of one container.

using Table = zorsys_test::Operations;

struct TableCase {
    const char *name;
    std::string output;
    Entries entries;
};

class TableRows : public zorsys_test::Operations,
                  public ::testing::WithParamInterface<TableCase> {};

TEST_P(TableRows, GiveTheirSecondField) {
    client_test::fake_shell(exited_with(0), GetParam().output);
    char **names = nullptr;
    ASSERT_EQ(zor_sys_get_snapshot_list(handle("web", 100), &names), 0);
    EXPECT_EQ(entries_of(names), GetParam().entries);
    if (names != nullptr) {
        EXPECT_EQ(zor_sys_release_snapshot_list(names), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, TableRows,
    ::testing::Values(TableCase{"RunsOfBlanksAndLeadingBlanks", "ID\n   1    s1   x\n", {"s1"}},
                      TableCase{"ATabBelongsToItsField", "ID\n1 s\t1 x\n", {"s\t1"}},
                      TableCase{"TabsAloneSeparateNothing", "ID\n1\ts1\tx\n", {}},
                      TableCase{
                          "LinesWithoutASecondFieldGiveNoEntry", "ID\n\nlone\n1 s1\n", {"s1"}},
                      TableCase{"TheSecondFieldEndsTheLine", "ID\n1 s1", {"s1"}},
                      TableCase{"MarkerAnywhereInTheHeader", "xIDx\n1 s1\n", {"s1"}},
                      TableCase{"LowerCaseIsNoMarker", "id\n1 s1\n", {}}),
    [](const ::testing::TestParamInfo<TableCase> &tested) { return tested.param.name; });

TEST_F(Table, ContainerListingsKeepToTheLengthRule) {
    struct Boundary {
        int (*list)(zor_sys_handle *, char ***);
        std::size_t longest;  // 1023 less the prefix; a listing has no suffix
    };
    for (const Boundary &boundary : {Boundary{zor_sys_get_snapshot_list, 1023 - 32},
                                     Boundary{zor_sys_get_checkpoint_list, 1023 - 29}}) {
        client_test::reset_shell();
        client_test::fake_shell(exited_with(0), "s1\n");
        char **names = nullptr;
        EXPECT_EQ(boundary.list(handle(std::string(boundary.longest, 'n')), &names), 0);
        ASSERT_EQ(commands().size(), 1u);
        EXPECT_EQ(commands()[0].size(), 1023u);
        EXPECT_EQ(zor_sys_release_checkpoint_list(names), 0);

        client_test::reset_shell();
        client_test::fake_shell(exited_with(0), "s1\n");
        char *previous[] = {nullptr};
        names = previous;
        EXPECT_EQ(boundary.list(handle(std::string(boundary.longest + 1, 'n')), &names),
                  ZOR_SYS_ETOOLONG);
        EXPECT_EQ(boundary.list(handle(std::string(boundary.longest - 1, 'n') + "?"), &names),
                  ZOR_SYS_ETOOLONG);
        EXPECT_EQ(names, previous);
        expect_nothing_ran_or_logged();
    }
}

TEST_F(Table, ANullHandleRunsNothing) {
    client_test::fake_shell(exited_with(0), "s1\n");
    char *previous[] = {nullptr};
    char **names = previous;
    EXPECT_EQ(zor_sys_get_snapshot_list(nullptr, &names), ZOR_SYS_EMISSING);
    EXPECT_EQ(zor_sys_get_checkpoint_list(nullptr, &names), ZOR_SYS_EMISSING);
    EXPECT_EQ(names, previous);
    expect_nothing_ran_or_logged();
}

TEST_F(Table, AListOutlivesItsHandle) {
    client_test::fake_shell(exited_with(0), "TYPE 100\n");
    zor_sys_handle *opened = zor_sys_open("web");
    ASSERT_NE(opened, nullptr);
    client_test::fake_shell(exited_with(0), "ID\n1 s1 x\n");
    char **names = nullptr;
    EXPECT_EQ(zor_sys_get_snapshot_list(opened, &names), 0);
    EXPECT_EQ(zor_sys_close(opened), 0);
    EXPECT_EQ(entries_of(names), Entries{"s1"});
    EXPECT_EQ(zor_sys_release_snapshot_list(names), 0);
}

// ---------------------------------------------------------------------------------------
// Release

TEST_F(Table, EveryReleaseFreesAList) {
    for (int (*release)(char **) : {zor_sys_release_container_list, zor_sys_release_snapshot_list,
                                    zor_sys_release_checkpoint_list, zor_sys_release_base_list}) {
        client_test::fake_shell(exited_with(0), "a\nb\n");
        char **names = nullptr;
        ASSERT_EQ(zor_sys_get_container_list(&names), 0);
        // The leak checker of a sanitizer build sees a list that was not freed.
        EXPECT_EQ(release(names), 0);
    }
}

TEST_F(Table, ReleaseRefusesANullOrEmptyList) {
    for (int (*release)(char **) : {zor_sys_release_container_list, zor_sys_release_snapshot_list,
                                    zor_sys_release_checkpoint_list, zor_sys_release_base_list}) {
        EXPECT_EQ(release(nullptr), ZOR_SYS_EMISSING);
        char *terminator_only[] = {nullptr};  // not freed, or the stack would be
        EXPECT_EQ(release(terminator_only), ZOR_SYS_EMISSING);
    }
    EXPECT_TRUE(client_test::logged_lines().empty());
}

// ---------------------------------------------------------------------------------------
// Removing a base image

TEST_F(Table, RemoveBaseRunsItsCommandAndLogs) {
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_remove_base("base;1"), 0);
    EXPECT_EQ(commands(), std::vector<std::string>{"sudo zor-sys remove --base base\\;1" +
                                                   std::string(kSuffix)});
    EXPECT_EQ(client_test::shell_calls()[0].kind, ShellCall::Kind::kSystem);
    expect_one_line(LOG_INFO, "zor_sys_remove_base",
                    "ZOR-SYS-LIB: remove: Removed base image 'base;1'.");
}

TEST_F(Table, RemoveBaseFailureGivesTheNegatedExitStatus) {
    client_test::fake_shell(exited_with(4));
    EXPECT_EQ(zor_sys_remove_base("base1"), -4);
    expect_one_line(LOG_ERR, "zor_sys_remove_base",
                    "ZOR-SYS-LIB: remove: Failed to remove base image 'base1'. (ErrNo=-4)");
}

TEST_F(Table, RemoveBaseKeepsToTheLengthRule) {
    client_test::fake_shell(exited_with(0));
    const std::size_t longest = 1023 - 27 - std::strlen(kSuffix);
    EXPECT_EQ(zor_sys_remove_base(std::string(longest, 'b').c_str()), 0);
    EXPECT_EQ(commands().at(0).size(), 1023u);
    client_test::reset_shell();
    client_test::clear_logged_lines();
    client_test::fake_shell(exited_with(0));
    EXPECT_EQ(zor_sys_remove_base(std::string(longest + 1, 'b').c_str()), ZOR_SYS_ETOOLONG);
    EXPECT_EQ(zor_sys_remove_base(nullptr), ZOR_SYS_EMISSING);
    expect_nothing_ran_or_logged();
}

}  // namespace
