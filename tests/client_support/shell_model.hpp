// What a POSIX shell should make of a composed command once the library has escaped it:
// the words the tool receives, and how long the escaped text is. Written from the shell's
// rules, not from the library's code, so the two can disagree.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace client_test {

// One run of a tool as the shell started it: through sudo or directly, and its words
// (program first).
struct ToolCall {
    bool via_sudo = false;
    std::vector<std::string> words;

    bool operator==(const ToolCall &other) const {
        return via_sudo == other.via_sudo && words == other.words;
    }
};

// The words of text: split at blanks and tabs, every other byte literal (the escaping leaves
// nothing else for the shell to act on).
std::vector<std::string> words_of(const std::string &text);

// The tool call a composed command stands for: a leading "sudo" word marks the way in.
ToolCall tool_call_of(const std::string &composed);

// The length of text once escaped: a backslash before every shell metacharacter, a newline
// quoted in apostrophes.
std::size_t escaped_length(const std::string &text);

// Whether the escaped command, with the suffix when it is run with system(), fits the
// 1023 characters that the length rule allows.
bool fits(const std::string &composed, bool with_suffix);

// text with every byte outside printable ASCII, and the backslash, as \xNN: for messages.
std::string printable(const std::string &text);

}  // namespace client_test
