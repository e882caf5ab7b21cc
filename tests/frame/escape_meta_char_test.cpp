// escape_meta_char: the escape set, the quoted newline, the bound and the missing arguments.
#include "command_frame.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

using zor_frame::frame::escape_meta_char;
using zor_frame::frame::kBufferSize;
using zor_frame::frame::kMissing;
using zor_frame::frame::kTooLong;

struct Escaped {
    int code;
    std::string text;
};

Escaped escape(const std::string &source) {
    char destination[kBufferSize];
    std::memset(destination, 'X', sizeof destination);
    const int code = escape_meta_char(destination, source.c_str());
    return {code, destination};
}

// The sixteen characters that the established escaping covers, in the order of its passes.
constexpr char kClassicSet[] = "\\\"$@'()^|[]{};*?";
// The characters that the sound escaping adds, so they can no longer start a second command,
// a redirection, a comment or a home-directory expansion, or split a caller text into words.
constexpr char kAddedSet[] = "`&<>#~ \t";

// The established algorithm, one pass over the text per character of the set in its order,
// kept here as the reference for every text that holds none of the added characters.
std::string classic_escaping(const std::string &source) {
    std::string working = source;
    for (const char *c = kClassicSet; *c != '\0'; ++c) {
        std::string output;
        for (const char byte : working) {
            if (byte == *c) {
                output += '\\';
            }
            output += byte;
        }
        working = output;
    }
    return working;
}

struct EscapeCase {
    const char *name;
    std::string source;
    std::string expected;
};

class EscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTable, GivesTheExpectedText) {
    const Escaped escaped = escape(GetParam().source);
    EXPECT_EQ(escaped.code, 0);
    EXPECT_EQ(escaped.text, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EscapeTable,
    ::testing::Values(EscapeCase{"EmptyWord", "", "''"},
                      EscapeCase{"QuestionAsterisk", "?*", "\\?\\*"},
                      EscapeCase{"Semicolon", "web;1", "web\\;1"},
                      EscapeCase{"Backslash", "a\\b", "a\\\\b"},
                      EscapeCase{"Blank", "a b", "a\\ b"}, EscapeCase{"Tab", "a\tb", "a\\\tb"},
                      EscapeCase{"Substitution", "web$(reboot)", "web\\$\\(reboot\\)"},
                      EscapeCase{"Backquote", "web`reboot`", "web\\`reboot\\`"},
                      EscapeCase{"Background", "web & reboot", "web\\ \\&\\ reboot"},
                      EscapeCase{"Redirection", "web >/etc/passwd", "web\\ \\>/etc/passwd"},
                      EscapeCase{"Input", "web</etc/shadow", "web\\</etc/shadow"},
                      EscapeCase{"Comment", "#web", "\\#web"}, EscapeCase{"Home", "~web", "\\~web"},
                      EscapeCase{"Newline", "web\nreboot", "web'\n'reboot"},
                      EscapeCase{"TwoNewlines", "\n\n", "'\n''\n'"},
                      EscapeCase{"Unchanged", "!%=/-+,.:_AZaz09", "!%=/-+,.:_AZaz09"}),
    [](const ::testing::TestParamInfo<EscapeCase> &tested) { return tested.param.name; });

TEST(EscapeMetaChar, PutsOneBackslashBeforeEveryCharacterOfTheSet) {
    const std::string set = std::string(kClassicSet) + kAddedSet;
    for (int byte = 1; byte < 256; ++byte) {
        const char c = static_cast<char>(byte);
        const std::string source = std::string("a") + c + "b";
        const Escaped escaped = escape(source);
        ASSERT_EQ(escaped.code, 0) << byte;
        if (set.find(c) != std::string::npos) {
            EXPECT_EQ(escaped.text, std::string("a\\") + c + "b") << byte;
        } else if (c == '\n') {
            EXPECT_EQ(escaped.text, "a'\n'b");
        } else {
            EXPECT_EQ(escaped.text, source) << byte;
        }
    }
}

TEST(EscapeMetaChar, MatchesTheEstablishedEscapingWhereTheSetsAgree) {
    std::mt19937 random(20240517);
    std::uniform_int_distribution<int> length(1, 300);
    std::uniform_int_distribution<int> byte(1, 255);
    for (int round = 0; round < 2000; ++round) {
        std::string source;
        const int wanted = length(random);
        while (static_cast<int>(source.size()) < wanted) {
            const char c = static_cast<char>(byte(random));
            if (c != '\n' && std::strchr(kAddedSet, c) == nullptr) {
                source += c;
            }
        }
        const Escaped escaped = escape(source);
        ASSERT_EQ(escaped.code, 0);
        ASSERT_EQ(escaped.text, classic_escaping(source)) << source;
    }
}

struct BoundCase {
    const char *name;
    std::size_t plain;   // characters that pass unchanged
    std::string ending;  // characters that the escaping widens
    int code;
};

class EscapeBound : public ::testing::TestWithParam<BoundCase> {};

TEST_P(EscapeBound, RefusesExactlyWhenTheResultWouldExceed1023Characters) {
    const BoundCase &bound = GetParam();
    const Escaped escaped = escape(std::string(bound.plain, 'a') + bound.ending);
    EXPECT_EQ(escaped.code, bound.code);
    if (bound.code == 0) {
        EXPECT_EQ(escaped.text.size(), 1023u);
    } else {
        EXPECT_EQ(escaped.text, "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, EscapeBound,
    ::testing::Values(BoundCase{"Plain1023", 1023, "", 0}, BoundCase{"Semicolon1023", 1021, ";", 0},
                      BoundCase{"Semicolon1024", 1022, ";", kTooLong},
                      BoundCase{"TwoEscapes1023", 1019, "$?", 0},
                      BoundCase{"TwoEscapes1024", 1020, "$?", kTooLong},
                      BoundCase{"Newline1023", 1020, "\n", 0},
                      BoundCase{"Newline1024", 1021, "\n", kTooLong},
                      BoundCase{"AllEscaped", 0, std::string(1023, '*'), kTooLong}),
    [](const ::testing::TestParamInfo<BoundCase> &tested) { return tested.param.name; });

TEST(EscapeMetaChar, MissingSourceLeavesTheDestinationUntouched) {
    char destination[kBufferSize] = "kept";
    EXPECT_EQ(escape_meta_char(destination, nullptr), kMissing);
    EXPECT_STREQ(destination, "kept");
}

TEST(EscapeMetaChar, MissingDestinationIsRefused) {
    EXPECT_EQ(escape_meta_char(nullptr, "web"), kMissing);
}

}  // namespace
