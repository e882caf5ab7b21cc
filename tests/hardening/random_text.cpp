// The weighted text source.
#include "random_text.hpp"

#include <climits>
#include <vector>

namespace hardening {

namespace {

// Fragments that would start a second command, expand something or redirect output if any
// byte of them reached the shell unescaped. None needs an external command to show itself:
// the tests run with no program on PATH and check what the tool's words became.
const std::vector<std::string> &attempts() {
    static const std::vector<std::string> kAttempts = {
        "`x`",     "$(x)",   "$((1+1))", ";x",    "|x",   "&x",    "&&x",    "||x", "\nx", ">f",
        ">>f",     "<f",     "2>f",      "1>&2",  ">&3",  "<<E",   " #c",    "#",   "~",   "~root",
        "~/",      "*",      "?",        "[a-z]", "[!a]", "{a,b}", "{1..3}", "'",   "\"",  "\\",
        "\\\n",    "$HOME",  "${PATH}",  "$1",    "$@",   "$*",    "$#",     "$?",  "$$",  "$-",
        "!",       "!!",     "\r",       "\t",    " ",    "  ",    "%s%n",   "-n",  "a=b", "IFS=x",
        "'\"'\"'", "\"$x\"", "'$x'",     "\\'",   "\\\"", "(",     ")",      "{",   "}",   "^",
        "@",       "=",      ",",        "--",
    };
    return kAttempts;
}

constexpr char kShellBytes[] = " \t\n\\\"'$`()|;&<>*?[]{}~#!%=^@,-";

}  // namespace

void TextSource::add_piece(std::string &text) {
    const unsigned kind = next() % 8;
    if (kind < 3) {
        const std::vector<std::string> &pieces = attempts();
        text += pieces[next() % pieces.size()];
    } else if (kind < 5) {
        text += kShellBytes[next() % (sizeof kShellBytes - 1)];
    } else if (kind < 7) {
        text += static_cast<char>(1 + next() % 255);
    } else {
        text += static_cast<char>('a' + next() % 26);
    }
}

std::string TextSource::short_text() {
    std::string text;
    const unsigned pieces = next() % 12;
    for (unsigned piece = 0; piece < pieces; ++piece) {
        add_piece(text);
    }
    return text;
}

std::string TextSource::long_text() {
    const std::size_t length = 880 + next() % 161;
    std::string text;
    // Mostly plain runs, so that the escaped length varies around the bound instead of
    // always exceeding it.
    const unsigned density = 1 + next() % 40;
    while (text.size() < length) {
        if (next() % density == 0) {
            add_piece(text);
        } else {
            text += static_cast<char>('a' + next() % 26);
        }
    }
    text.resize(length);
    return text;
}

int TextSource::number() {
    switch (next() % 7) {
    case 0:
        return 0;
    case 1:
        return -1;
    case 2:
        return 1;
    case 3:
        return INT_MAX;
    case 4:
        return INT_MIN;
    case 5:
        return static_cast<int>(next() % 100000);
    default:
        return static_cast<int>(next());
    }
}

}  // namespace hardening
