// Listings of libzorapp: the command each one starts, how every line of the tool's output
// becomes an entry (plain lines, the table of a type 1 container, pairs of numbers), and
// the release of the lists.
#include <zorapp.h>

#include "app_fixture.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using client_test::exited_with;
using client_test::ShellCall;
using zorapp_test::AppTest;
using zorapp_test::commands;
using zorapp_test::expect_no_line;

using Names = std::vector<std::string>;
using Pairs = std::vector<std::pair<int32_t, int32_t>>;

// The entries of a name list, which is then released; each must live in a 1024-byte block.
Names take_names(char **list) {
    Names names;
    if (list == nullptr) {
        return names;
    }
    for (char **entry = list; *entry != nullptr; ++entry) {
        EXPECT_GE(malloc_usable_size(*entry), 1024u);
        names.emplace_back(*entry);
    }
    EXPECT_EQ(zor_app_release_container_list(list), 0);
    return names;
}

Pairs take_pairs(zor_app_pid_pair **list) {
    Pairs pairs;
    if (list == nullptr) {
        return pairs;
    }
    for (zor_app_pid_pair **pair = list; *pair != nullptr; ++pair) {
        pairs.emplace_back((*pair)->pid, (*pair)->vpid);
    }
    EXPECT_EQ(zor_app_release_registered_pid_list(list), 0);
    return pairs;
}

// A list pointer that a listing must leave alone when it fails.
char **const kUntouched = reinterpret_cast<char **>(static_cast<std::uintptr_t>(0x5a5a));

// ---------------------------------------------------------------------------------------
// Plain lines: the container and base lists, and the snapshots of a container not of type 1.

struct PlainListing {
    const char *name;
    std::string command;
    std::function<int(zor_app_handle *, char ***)> run;  // given a handle named web;1
};

std::vector<PlainListing> plain_listings() {
    return {
        {"Containers", "sudo zor-app list",
         [](zor_app_handle *, char ***list) { return zor_app_get_container_list(list); }},
        {"Bases", "sudo zor-app list --base",
         [](zor_app_handle *, char ***list) { return zor_app_get_base_list(list); }},
        {"SnapshotsOfType100", "sudo zor-app list --snapshot -n web\\;1",
         [](zor_app_handle *h, char ***list) {
             h->type = 100;
             return zor_app_get_snapshot_list(h, list);
         }},
        {"SnapshotsOfType0", "sudo zor-app list --snapshot -n web\\;1",
         [](zor_app_handle *h, char ***list) {
             h->type = 0;
             return zor_app_get_snapshot_list(h, list);
         }},
    };
}

struct OutputCase {
    const char *name;
    std::string output;
    Names names;
};

std::vector<OutputCase> plain_outputs() {
    const std::string long_line(1500, 'x');
    const std::string full(1023, 'f');
    return {
        {"Nothing", "", {}},
        {"ThreeLinesInOrder", "c\na\nb\n", {"c", "a", "b"}},
        {"LastLineWithoutNewlineKeptWhole", "one\nabcde", {"one", "abcde"}},
        {"EmptyLine", "a\n\nb\n", {"a", "", "b"}},
        {"LineOfBlanksKept", "  \t \n", {"  \t "}},
        {"LeadingBlanksAndFieldsKept", "  s1 x\tID\n", {"  s1 x\tID"}},
        {"HeaderWordsAreLinesToo", "TAG ID\ns1\n", {"TAG ID", "s1"}},
        {"OnlyTheNewlineIsRemoved", "a\r\n", {"a\r"}},
        {"CutLineKeepsBothPiecesWhole",
         long_line + "\nz\n",
         {std::string(1023, 'x'), std::string(477, 'x'), "z"}},
        {"LineOf1023CharactersIsOneEntry", full + "\nz\n", {full, "z"}},
    };
}

class PlainLines : public AppTest,
                   public ::testing::WithParamInterface<std::tuple<PlainListing, OutputCase>> {};

TEST_P(PlainLines, EveryLineIsAnEntry) {
    const PlainListing &listing = std::get<0>(GetParam());
    const OutputCase &output = std::get<1>(GetParam());
    client_test::fake_shell(0, output.output);
    char **list = kUntouched;
    EXPECT_EQ(listing.run(handle("web;1"), &list), 0);
    EXPECT_NE(list, kUntouched);
    EXPECT_EQ(take_names(list), output.names);
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].mode, "r");
    EXPECT_EQ(calls[0].command, listing.command);
    expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, PlainLines,
    ::testing::Combine(::testing::ValuesIn(plain_listings()), ::testing::ValuesIn(plain_outputs())),
    [](const ::testing::TestParamInfo<std::tuple<PlainListing, OutputCase>> &tested) {
        return std::string(std::get<0>(tested.param).name) + "_" + std::get<1>(tested.param).name;
    });

class PlainListingFailure : public AppTest, public ::testing::WithParamInterface<PlainListing> {};

TEST_P(PlainListingFailure, TheToolsExitStatusIsNotExamined) {
    client_test::fake_shell(exited_with(3), "a\n");
    char **list = kUntouched;
    EXPECT_EQ(GetParam().run(handle("web;1"), &list), 0);
    EXPECT_EQ(take_names(list), Names{"a"});
    expect_no_line();
}

TEST_P(PlainListingFailure, APipeThatCannotStartLeavesTheList) {
    client_test::fail_popen();
    char **list = kUntouched;
    EXPECT_EQ(GetParam().run(handle("web;1"), &list), ZOR_APP_EMISSING);
    EXPECT_EQ(list, kUntouched);
    expect_no_line();
}

TEST_P(PlainListingFailure, NoPlaceForTheListRunsNothing) {
    client_test::fake_shell(0, "a\n");
    EXPECT_EQ(GetParam().run(handle("web;1"), nullptr), ZOR_APP_EMISSING);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(Listings, PlainListingFailure, ::testing::ValuesIn(plain_listings()),
                         [](const ::testing::TestParamInfo<PlainListing> &tested) {
                             return tested.param.name;
                         });

// ---------------------------------------------------------------------------------------
// The snapshot table of a type 1 container: a header up to the line with TAG, then the
// first field of every line.

class SnapshotTable : public AppTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(SnapshotTable, GivesTheFirstFieldOfEveryLineAfterTheHeader) {
    client_test::fake_shell(0, GetParam().output);
    char **list = kUntouched;
    EXPECT_EQ(zor_app_get_snapshot_list(handle("web", 1), &list), 0);
    EXPECT_NE(list, kUntouched);
    EXPECT_EQ(take_names(list), GetParam().names);
    EXPECT_EQ(commands(), std::vector<std::string>{"sudo zor-app list --snapshot -n web"});
    expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, SnapshotTable,
    ::testing::Values(
        OutputCase{"HeaderThenFirstFields", "TAG DATE SIZE\ns1 2020 5\ns2 2021 6\n", {"s1", "s2"}},
        OutputCase{"NoHeaderGivesNothing", "s1 2020\ns2 2021\n", {}},
        OutputCase{"NothingPrinted", "", {}}, OutputCase{"OnlyTheHeader", "TAG DATE\n", {}},
        OutputCase{"LinesBeforeTheHeaderAreSkipped", "listing web\n== TAG ==\ns1 x\n", {"s1"}},
        OutputCase{"MarkerIsCaseSensitive", "tag date\nTaG\nTAGS\ns1 x\n", {"s1"}},
        OutputCase{"MarkerInsideAWord", "STAGE\ns1 x\n", {"s1"}},
        OutputCase{"OnlyTheFirstMarkerEndsTheHeader", "TAG\nTAG2 x\ns1 y\n", {"TAG2", "s1"}},
        OutputCase{"LeadingSpacesStay", "TAG\n  s1 x\n", {"  s1"}},
        OutputCase{"LeadingTabsStay", "TAG\n\t s1\tx\n", {"\t s1"}},
        OutputCase{"TabSeparates", "TAG\ns1\t2020\n", {"s1"}},
        OutputCase{"OneFieldIsTheWholeLine", "TAG\ns1\n", {"s1"}},
        OutputCase{"EmptyLineKept", "TAG\n\ns1 x\n", {"", "s1"}},
        OutputCase{"LineOfBlanksKeptAsItIs", "TAG\n \t  \ns1 x\n", {" \t  ", "s1"}},
        OutputCase{"IDIsNoMarkerHere", "ID NAME\ns1 x\n", {}},
        OutputCase{"LastLineWithoutNewline", "TAG\ns1 x\ns9", {"s1", "s9"}},
        OutputCase{"FieldOfACutLineKeptWhole",
                   "TAG\n" + std::string(1100, 'q') + "\n",
                   {std::string(1023, 'q'), std::string(77, 'q')}},
        OutputCase{
            "CutHeaderLineIsHeaderInAllItsPieces", std::string(1030, 'h') + "TAG\ns1 x\n", {"s1"}}),
    [](const ::testing::TestParamInfo<OutputCase> &tested) { return tested.param.name; });

TEST_F(AppTest, SnapshotListWithoutAHandleRunsNothing) {
    client_test::fake_shell(0, "TAG\ns1\n");
    char **list = kUntouched;
    EXPECT_EQ(zor_app_get_snapshot_list(nullptr, &list), ZOR_APP_EMISSING);
    zor_app_handle nameless{1, nullptr};
    EXPECT_EQ(zor_app_get_snapshot_list(&nameless, &list), ZOR_APP_EMISSING);
    EXPECT_EQ(zor_app_get_snapshot_list(handle("web", 1), nullptr), ZOR_APP_EMISSING);
    EXPECT_EQ(list, kUntouched);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_no_line();
}

// ---------------------------------------------------------------------------------------
// The registered-pid list: one pair for each line of the form number, comma, number.

struct PairCase {
    const char *name;
    std::string output;
    Pairs pairs;
};

class RegisteredPids : public AppTest, public ::testing::WithParamInterface<PairCase> {};

TEST_P(RegisteredPids, ParsesEveryPairLineAndSkipsTheRest) {
    client_test::fake_shell(0, GetParam().output);
    zor_app_pid_pair **list = reinterpret_cast<zor_app_pid_pair **>(kUntouched);
    EXPECT_EQ(zor_app_get_registered_pid_list(handle("web;1"), &list), 0);
    EXPECT_NE(list, reinterpret_cast<zor_app_pid_pair **>(kUntouched));
    EXPECT_EQ(take_pairs(list), GetParam().pairs);
    const auto calls = client_test::shell_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ShellCall::Kind::kPopen);
    EXPECT_EQ(calls[0].mode, "r");
    EXPECT_EQ(calls[0].command, "sudo zor-app pidlist -n web\\;1");
    expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, RegisteredPids,
    ::testing::Values(
        PairCase{"HeaderThenTwoPairs", "PID,VPID\n120,7\n121,8\n", {{120, 7}, {121, 8}}},
        PairCase{"NothingPrinted", "", {}}, PairCase{"NoPairLine", "none\n\n,\n", {}},
        PairCase{"LastPairWithoutNewline", "120,7\n121,8", {{120, 7}, {121, 8}}},
        PairCase{"OnlyPairWithoutNewline", "120,7", {{120, 7}}},
        PairCase{"BlankBeforeTheCommaSkipped", "120 ,7\n121,8\n", {{121, 8}}},
        PairCase{"BlanksBeforeTheNumbers", "  120,\t7\n", {{120, 7}}},
        PairCase{"RestAfterTheSecondNumberIgnored", "120,7 running\n5,6,7\n", {{120, 7}, {5, 6}}},
        PairCase{"Signs", "-1,-2\n+3,+4\n", {{-1, -2}, {3, 4}}},
        PairCase{"MissingSecondNumber", "120,\n120,x\n", {}},
        PairCase{"MissingFirstNumber", ",7\nx,7\n", {}},
        PairCase{"OtherSeparator", "120;7\n120 7\n120,,7\n", {}},
        PairCase{"OrderAsPrinted", "3,1\n1,3\n2,2\n", {{3, 1}, {1, 3}, {2, 2}}},
        PairCase{"ManyPairs",
                 [] {
                     std::string lines;
                     for (int i = 0; i < 40; ++i) {
                         lines += std::to_string(i) + "," + std::to_string(-i) + "\n";
                     }
                     return lines;
                 }(),
                 [] {
                     Pairs pairs;
                     for (int i = 0; i < 40; ++i) {
                         pairs.emplace_back(i, -i);
                     }
                     return pairs;
                 }()}),
    [](const ::testing::TestParamInfo<PairCase> &tested) { return tested.param.name; });

TEST_F(AppTest, RegisteredPidListFailuresLeaveTheList) {
    auto *const untouched = reinterpret_cast<zor_app_pid_pair **>(kUntouched);
    zor_app_pid_pair **list = untouched;
    client_test::fake_shell(0, "1,2\n");
    EXPECT_EQ(zor_app_get_registered_pid_list(nullptr, &list), ZOR_APP_EMISSING);
    EXPECT_EQ(zor_app_get_registered_pid_list(handle("web"), nullptr), ZOR_APP_EMISSING);
    EXPECT_TRUE(client_test::shell_calls().empty());
    client_test::fail_popen();
    EXPECT_EQ(zor_app_get_registered_pid_list(handle("web"), &list), ZOR_APP_EMISSING);
    EXPECT_EQ(list, untouched);
    expect_no_line();
}

TEST_F(AppTest, RegisteredPidListIgnoresTheExitStatus) {
    client_test::fake_shell(exited_with(4), "9,1\n");
    zor_app_pid_pair **list = nullptr;
    EXPECT_EQ(zor_app_get_registered_pid_list(handle("web"), &list), 0);
    EXPECT_EQ(take_pairs(list), (Pairs{{9, 1}}));
}

// ---------------------------------------------------------------------------------------
// The length rule of the two listings that name a container.

struct ListingLengthCase {
    const char *name;
    std::size_t prefix_length;
    std::function<int(zor_app_handle *)> run;
};

class ListingLength : public AppTest, public ::testing::WithParamInterface<ListingLengthCase> {};

TEST_P(ListingLength, RunsUpTo1023CharactersAndNoMore) {
    client_test::fake_shell(0, "");
    const std::size_t longest = 1023 - GetParam().prefix_length;
    EXPECT_EQ(GetParam().run(handle(std::string(longest, 'n'), 1)), 0);
    ASSERT_EQ(client_test::shell_calls().size(), 1u);
    EXPECT_EQ(client_test::shell_calls()[0].command.size(), 1023u);
    client_test::reset_shell();
    client_test::fake_shell(0, "");
    EXPECT_EQ(GetParam().run(handle(std::string(longest + 1, 'n'), 1)), ZOR_APP_ETOOLONG);
    EXPECT_EQ(GetParam().run(handle(std::string(longest - 1, 'n') + "$", 1)), ZOR_APP_ETOOLONG);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(
    Prefixes, ListingLength,
    ::testing::Values(ListingLengthCase{"Snapshots", sizeof "sudo zor-app list --snapshot -n " - 1,
                                        [](zor_app_handle *h) {
                                            char **list = kUntouched;
                                            const int code = zor_app_get_snapshot_list(h, &list);
                                            EXPECT_EQ(list == kUntouched, code != 0);
                                            return code;
                                        }},
                      ListingLengthCase{"RegisteredPids", sizeof "sudo zor-app pidlist -n " - 1,
                                        [](zor_app_handle *h) {
                                            zor_app_pid_pair **list = nullptr;
                                            return zor_app_get_registered_pid_list(h, &list);
                                        }}),
    [](const ::testing::TestParamInfo<ListingLengthCase> &tested) { return tested.param.name; });

// ---------------------------------------------------------------------------------------
// Release

// A list as a listing makes it: an array from malloc, entries of 1024 bytes, the terminator.
char **make_names(std::size_t count) {
    auto **list = static_cast<char **>(std::malloc((count + 1) * sizeof(char *)));
    for (std::size_t index = 0; index < count; ++index) {
        list[index] = static_cast<char *>(std::calloc(1, 1024));
    }
    list[count] = nullptr;
    return list;
}

struct ReleaseCase {
    const char *name;
    int (*release)(char **);
};

class Release : public AppTest, public ::testing::WithParamInterface<ReleaseCase> {};

// A leak or a double free here is caught by the sanitizer build.
TEST_P(Release, FreesAListAndAnArrayWithOnlyTheTerminator) {
    EXPECT_EQ(GetParam().release(make_names(3)), 0);
    EXPECT_EQ(GetParam().release(make_names(0)), 0);
    EXPECT_EQ(GetParam().release(nullptr), ZOR_APP_EMISSING);
    expect_no_line();
}

INSTANTIATE_TEST_SUITE_P(Operations, Release,
                         ::testing::Values(ReleaseCase{"Container", zor_app_release_container_list},
                                           ReleaseCase{"Snapshot", zor_app_release_snapshot_list},
                                           ReleaseCase{"Base", zor_app_release_base_list}),
                         [](const ::testing::TestParamInfo<ReleaseCase> &tested) {
                             return tested.param.name;
                         });

TEST_F(AppTest, ReleaseOfARegisteredPidList) {
    auto **only_terminator = static_cast<zor_app_pid_pair **>(std::malloc(sizeof(void *)));
    only_terminator[0] = nullptr;
    EXPECT_EQ(zor_app_release_registered_pid_list(only_terminator), 0);
    EXPECT_EQ(zor_app_release_registered_pid_list(nullptr), ZOR_APP_EMISSING);
    client_test::fake_shell(0, "1,2\n3,4\n");
    zor_app_pid_pair **list = nullptr;
    ASSERT_EQ(zor_app_get_registered_pid_list(handle("web"), &list), 0);
    EXPECT_EQ(zor_app_release_registered_pid_list(list), 0);
}

TEST_F(AppTest, CheckpointListingDoesNothing) {
    client_test::fake_shell(0, "c1\n");
    char **list = kUntouched;
    EXPECT_EQ(zor_app_get_checkpoint_list(handle("web"), &list), 0);
    EXPECT_EQ(list, kUntouched);
    EXPECT_EQ(zor_app_get_checkpoint_list(nullptr, nullptr), 0);
    char **names = make_names(2);
    EXPECT_EQ(zor_app_release_checkpoint_list(names), 0);
    EXPECT_EQ(zor_app_release_checkpoint_list(nullptr), 0);
    // The list handed to the stub stays allocated and whole.
    EXPECT_NE(names[0], nullptr);
    EXPECT_NE(names[1], nullptr);
    EXPECT_EQ(names[2], nullptr);
    EXPECT_EQ(zor_app_release_base_list(names), 0);
    EXPECT_TRUE(client_test::shell_calls().empty());
    expect_no_line();
}

}  // namespace
