// The listing reader: every line of a tool's output becomes one entry, only a trailing
// newline is removed, cut lines keep every character, a header ends at its marker, and the
// caller's list changes only on success.
#include "command_frame.hpp"
#include "name_list.hpp"

#include "shell_interceptor.hpp"

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

namespace frame = zor_frame::frame;
using client_test::exited_with;
using Entries = std::vector<std::string>;

// The entries of a list, which the test then releases.
Entries take(char **list) {
    Entries entries;
    if (list == nullptr) {
        return entries;
    }
    for (char **slot = list; *slot != nullptr; ++slot) {
        entries.emplace_back(*slot);
    }
    EXPECT_EQ(frame::release_entries(list, frame::EmptyArray::kRefused), 0);
    return entries;
}

// Marks the later pieces of a cut line, so a test can see which pieces continue a line.
frame::Field tag_continuation(const frame::OutputLine &line) noexcept {
    return line.continues_cut_line ? frame::Field{"+", 1} : frame::whole_line(line);
}

constexpr frame::NameListRules kPlain{nullptr, frame::whole_line};
constexpr frame::NameListRules kTable{"ID", frame::second_field};

class NameList : public ::testing::Test {
protected:
    void SetUp() override { client_test::reset_shell(); }
    void TearDown() override { client_test::reset_shell(); }

    // Lists output through the plain or the given rules and returns the entries.
    static Entries list(const std::string &output, const frame::NameListRules &rules = kPlain) {
        client_test::fake_shell(exited_with(0), output);
        const frame::Command command("zor-sys list");
        char **names = nullptr;
        EXPECT_EQ(frame::read_name_list(command, rules, &names), 0);
        return take(names);
    }
};

struct LineCase {
    const char *name;
    std::string output;
    Entries entries;
};

class Lines : public NameList, public ::testing::WithParamInterface<LineCase> {};

TEST_P(Lines, EveryLineIsOneEntry) {
    EXPECT_EQ(list(GetParam().output), GetParam().entries);
}

const std::string k1023(1023, 'a');
const std::string k1500 = std::string(1023, 'b') + std::string(477, 'c');

INSTANTIATE_TEST_SUITE_P(
    Outputs, Lines,
    ::testing::Values(
        LineCase{"Nothing", "", {}}, LineCase{"One", "web\n", {"web"}},
        LineCase{"ThreeInOrder", "web\ndb\ncache\n", {"web", "db", "cache"}},
        LineCase{"LastLineWithoutNewlineKeepsAll", "web\nabcde", {"web", "abcde"}},
        LineCase{"EmptyLinesAreEntries", "\na\n\n", {"", "a", ""}},
        LineCase{"OnlyTheNewlineGoes", " a b\t\r\n", {" a b\t\r"}},
        LineCase{"CutLineKeepsEveryPiece",
                 k1500 + "\nnext\n",
                 {k1500.substr(0, 1023), k1500.substr(1023), "next"}},
        LineCase{"ExactlyAPieceAddsNoEmptyEntry", k1023 + "\nnext\n", {k1023, "next"}},
        LineCase{"ExactlyAPieceAtTheEnd", k1023 + "\n", {k1023}},
        LineCase{"ExactlyAPieceWithoutNewline", k1023, {k1023}},
        LineCase{"EmptyLineAfterAPieceStays", k1023 + "\n\n", {k1023, ""}},
        LineCase{"TwoFullPieces", k1023 + k1023 + "\nz\n", {k1023, k1023, "z"}},
        LineCase{"NulByteEndsTheTextNotTheLine", std::string("a\0b\n\nc\n", 7), {"a", "", "c"}},
        LineCase{"NulByteAtTheStartOfALine", std::string("\0\n\nx", 4), {"", "", "x"}},
        LineCase{"NulByteInACutLine",
                 std::string(1000, 'a') + std::string(1, '\0') + std::string(100, 'b') + "\n\n",
                 {std::string(1000, 'a'), std::string(78, 'b'), ""}}),
    [](const ::testing::TestParamInfo<LineCase> &tested) { return tested.param.name; });

TEST_F(NameList, CutLinesLoseNoCharacter) {
    std::string line;
    for (int index = 0; index < 3000; ++index) {
        line += static_cast<char>('a' + index % 26);
    }
    std::string joined;
    for (const std::string &piece : list(line + "\n")) {
        EXPECT_LE(piece.size(), frame::kMaxLength);
        joined += piece;
    }
    EXPECT_EQ(joined, line);
}

TEST_F(NameList, RulesSeeWhichPiecesContinueACutLine) {
    EXPECT_EQ(list(std::string(2500, 'x') + "\nshort\n", {nullptr, tag_continuation}),
              (Entries{std::string(1023, 'x'), "+", "+", "short"}));
}

struct HeaderCase {
    const char *name;
    std::string output;
    Entries entries;
};

class Header : public NameList, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(Header, EndsAtTheFirstLineWithTheMarker) {
    EXPECT_EQ(list(GetParam().output, kTable), GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, Header,
    ::testing::Values(
        HeaderCase{"HeaderThenRows", "NUM ID DATE\n1 s1 d\n2 s2 d\n", {"s1", "s2"}},
        HeaderCase{"NoMarkerNoEntries", "1 s1 d\n2 s2 d\n", {}},
        HeaderCase{"LinesBeforeTheMarkerGoToo", "title\n--ID--\n1 s1\n", {"s1"}},
        HeaderCase{"OnlyTheFirstMarkerCounts", "ID\n1 s1\nID ID2\n", {"s1", "ID2"}},
        HeaderCase{"MarkerIsCaseSensitive", "id\nx Id\n1 s1\n", {}},
        HeaderCase{"CutHeaderGoesWhole", std::string(1500, 'h') + "ID\n1 s1\n", {"s1"}},
        HeaderCase{"MarkerInTheFirstPieceOfACutHeader",
                   "ID" + std::string(1500, 'h') + "\n1 s1\n",
                   {"s1"}},
        HeaderCase{"RowsWithoutSecondWordGiveNoEntry", "ID\n\nlone\n  a  b  c\n", {"b"}},
        HeaderCase{"HeaderAtTheEndOnly", "x\nID", {}},
        HeaderCase{"HeaderOfExactlyAPieceEndsAtItsNewline",
                   std::string(1021, 'h') + "ID\n1 s1\n2 s2\n",
                   {"s1", "s2"}},
        HeaderCase{"HeaderOfTwoFullPieces", "ID" + std::string(2044, 'h') + "\n1 s1\n", {"s1"}},
        HeaderCase{"NulByteInTheHeaderLine", std::string("ID\0x\n1 s1\n", 10), {"s1"}}),
    [](const ::testing::TestParamInfo<HeaderCase> &tested) { return tested.param.name; });

TEST_F(NameList, EachEntryHasABlockOf1024Bytes) {
    client_test::fake_shell(exited_with(0), "ab\n");
    const frame::Command command("zor-sys list");
    char **names = nullptr;
    ASSERT_EQ(frame::read_name_list(command, kPlain, &names), 0);
    ASSERT_NE(names, nullptr);
    EXPECT_GE(malloc_usable_size(names[0]), frame::kBufferSize);
    EXPECT_EQ(names[1], nullptr);
    take(names);
}

TEST_F(NameList, TheToolsExitStatusIsNotExamined) {
    client_test::fake_shell(exited_with(5), "a\nb\n");
    const frame::Command command("zor-sys list");
    char **names = nullptr;
    EXPECT_EQ(frame::read_name_list(command, kPlain, &names), 0);
    EXPECT_EQ(take(names), (Entries{"a", "b"}));
}

TEST_F(NameList, TheListIsWrittenOnlyOnSuccess) {
    char *previous[] = {nullptr};
    char **names = previous;

    client_test::fake_shell(exited_with(0), "a\n");
    frame::Command too_long("zor-sys list ");
    too_long.add(frame::text(std::string(1100, 'n').c_str()));
    EXPECT_EQ(frame::read_name_list(too_long, kPlain, &names), frame::kTooLong);
    EXPECT_EQ(names, previous);
    EXPECT_TRUE(client_test::shell_calls().empty());

    frame::Command escaped_too_long("zor-sys list ");
    escaped_too_long.add(frame::text(std::string(600, ';').c_str()));
    EXPECT_EQ(frame::read_name_list(escaped_too_long, kPlain, &names), frame::kTooLong);
    EXPECT_EQ(names, previous);
    EXPECT_TRUE(client_test::shell_calls().empty());

    client_test::fail_popen();
    const frame::Command command("zor-sys list");
    EXPECT_EQ(frame::read_name_list(command, kPlain, &names), frame::kMissing);
    EXPECT_EQ(names, previous);
}

TEST_F(NameList, NoPlaceForTheListRunsNothing) {
    client_test::fake_shell(exited_with(0), "a\n");
    const frame::Command command("zor-sys list");
    EXPECT_EQ(frame::read_name_list(command, kPlain, nullptr), frame::kMissing);
    EXPECT_TRUE(client_test::shell_calls().empty());
}

TEST_F(NameList, AnEmptyListIsNull) {
    client_test::fake_shell(exited_with(0), "");
    const frame::Command command("zor-sys list");
    char *previous[] = {nullptr};
    char **names = previous;
    EXPECT_EQ(frame::read_name_list(command, kPlain, &names), 0);
    EXPECT_EQ(names, nullptr);
}

TEST_F(NameList, ManyEntriesStayInOrder) {
    std::string output;
    Entries expected;
    for (int index = 0; index < 5000; ++index) {
        expected.push_back("c" + std::to_string(index));
        output += expected.back() + "\n";
    }
    EXPECT_EQ(list(output), expected);
}

// ---------------------------------------------------------------------------------------
// Lists of other entries, and their release.

struct Pair {
    std::int32_t first;
    std::int32_t second;
};

TEST(EntryList, HoldsCopiesInOrderAndHandsThemOver) {
    frame::EntryList<Pair> pairs;
    for (std::int32_t index = 0; index < 100; ++index) {
        ASSERT_TRUE(pairs.add_copy(Pair{index, -index}));
    }
    EXPECT_EQ(pairs.size(), 100u);
    Pair **array = pairs.release();
    ASSERT_NE(array, nullptr);
    for (std::int32_t index = 0; index < 100; ++index) {
        ASSERT_NE(array[index], nullptr);
        EXPECT_EQ(array[index]->first, index);
        EXPECT_EQ(array[index]->second, -index);
    }
    EXPECT_EQ(array[100], nullptr);
    EXPECT_EQ(pairs.release(), nullptr);  // handed over once
    EXPECT_EQ(frame::release_entries(array, frame::EmptyArray::kFreed), 0);
}

TEST(EntryList, AnEmptyListHandsOverNull) {
    frame::EntryList<Pair> pairs;
    EXPECT_EQ(pairs.release(), nullptr);
}

TEST(EntryList, RefusesNoBlockAndFreesWhatItStillOwns) {
    frame::EntryList<Pair> pairs;
    EXPECT_FALSE(pairs.adopt(nullptr));
    EXPECT_TRUE(pairs.add_copy(Pair{1, 2}));
    EXPECT_EQ(pairs.size(), 1u);
    // The destructor frees the entry; the leak checker of a sanitizer build would see it.
}

TEST(ReleaseEntries, NullListIsMissing) {
    EXPECT_EQ(frame::release_entries(static_cast<char **>(nullptr), frame::EmptyArray::kRefused),
              frame::kMissing);
    EXPECT_EQ(frame::release_entries(static_cast<Pair **>(nullptr), frame::EmptyArray::kFreed),
              frame::kMissing);
}

TEST(ReleaseEntries, AnArrayWithOnlyTheTerminatorFollowsTheRule) {
    auto **array = static_cast<char **>(std::malloc(sizeof(char *)));
    ASSERT_NE(array, nullptr);
    array[0] = nullptr;
    // Refused: nothing is freed, so the array is still the test's to free.
    EXPECT_EQ(frame::release_entries(array, frame::EmptyArray::kRefused), frame::kMissing);
    EXPECT_EQ(array[0], nullptr);
    EXPECT_EQ(frame::release_entries(array, frame::EmptyArray::kFreed), 0);
}

}  // namespace
