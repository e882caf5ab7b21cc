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

// A composed command as its parts: the library's own text (prefix, flags, numbers), whose
// blanks and tabs separate words, and the caller's texts, each of which must reach the tool
// as exactly one word, whatever it holds (an empty text as an empty word).
class CommandLine {
public:
    struct Part {
        std::string text;
        bool caller;
    };

    CommandLine() = default;
    explicit CommandLine(std::string frame_text) { append(std::move(frame_text), false); }

    CommandLine &operator+=(const std::string &frame_text) {
        append(frame_text, false);
        return *this;
    }
    CommandLine &operator+=(const CommandLine &other) {
        parts_.insert(parts_.end(), other.parts_.begin(), other.parts_.end());
        return *this;
    }

    const std::vector<Part> &parts() const { return parts_; }
    // The command as composed, the caller's texts as given.
    std::string text() const;

private:
    friend CommandLine word(std::string caller_text);
    void append(std::string text, bool caller) { parts_.push_back({std::move(text), caller}); }

    std::vector<Part> parts_;
};

// A caller's text as one part of a command.
CommandLine word(std::string caller_text);

CommandLine operator+(CommandLine line, const std::string &frame_text);
CommandLine operator+(const std::string &frame_text, const CommandLine &line);
CommandLine operator+(CommandLine line, const CommandLine &more);

// The words of text: split at blanks and tabs, every other byte literal.
std::vector<std::string> words_of(const std::string &text);

// The tool call a composed command stands for: a leading "sudo" word marks the way in. The
// frame's text splits at blanks and tabs; a caller's text joins the word it stands in.
ToolCall tool_call_of(const CommandLine &composed);

// The length of a caller's text once escaped as one word: a backslash before every shell
// metacharacter, blank and tab, a newline quoted in apostrophes, the empty text as ''.
std::size_t escaped_length(const std::string &text);

// Whether the command fits the 1023 characters that the length rule allows, with the suffix
// when it is run with system(): both as composed and as escaped.
bool fits(const CommandLine &composed, bool with_suffix);

// text with every byte outside printable ASCII, and the backslash, as \xNN: for messages.
std::string printable(const std::string &text);

}  // namespace client_test
