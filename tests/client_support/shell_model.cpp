// The shell's view of an escaped command.
#include "shell_model.hpp"

#include <cstdio>

namespace client_test {

namespace {
// Characters with a meaning to the shell in an unquoted word, apart from newline: quoting,
// expansion, globbing, command separation, redirection, comments, tilde, word splitting.
constexpr char kMetacharacters[] = "\\\"$@'()^|[]{};*?`&<>#~ \t";
constexpr std::size_t kMaxLength = 1023;
constexpr std::size_t kSuffixLength = sizeof " > /dev/null 2>&1" - 1;
}  // namespace

std::vector<std::string> words_of(const std::string &text) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (const char c : text) {
        if (c == ' ' || c == '\t') {
            if (in_word) {
                words.push_back(word);
                word.clear();
                in_word = false;
            }
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word) {
        words.push_back(word);
    }
    return words;
}

std::string CommandLine::text() const {
    std::string composed;
    for (const Part &part : parts_) {
        composed += part.text;
    }
    return composed;
}

CommandLine word(std::string caller_text) {
    CommandLine line;
    line.append(std::move(caller_text), true);
    return line;
}

CommandLine operator+(CommandLine line, const std::string &frame_text) {
    line += frame_text;
    return line;
}

CommandLine operator+(const std::string &frame_text, const CommandLine &line) {
    CommandLine joined(frame_text);
    joined += line;
    return joined;
}

CommandLine operator+(CommandLine line, const CommandLine &more) {
    line += more;
    return line;
}

ToolCall tool_call_of(const CommandLine &composed) {
    ToolCall call;
    std::string word;
    bool in_word = false;
    for (const CommandLine::Part &part : composed.parts()) {
        if (part.caller) {
            word += part.text;
            in_word = true;
            continue;
        }
        for (const char c : part.text) {
            if (c == ' ' || c == '\t') {
                if (in_word) {
                    call.words.push_back(word);
                    word.clear();
                    in_word = false;
                }
            } else {
                word += c;
                in_word = true;
            }
        }
    }
    if (in_word) {
        call.words.push_back(word);
    }
    if (!call.words.empty() && call.words[0] == "sudo") {
        call.via_sudo = true;
        call.words.erase(call.words.begin());
    }
    return call;
}

std::size_t escaped_length(const std::string &text) {
    if (text.empty()) {
        return 2;
    }
    std::size_t length = 0;
    for (const char c : text) {
        if (c == '\n') {
            length += 3;
        } else if (c != '\0' && std::string(kMetacharacters).find(c) != std::string::npos) {
            length += 2;
        } else {
            length += 1;
        }
    }
    return length;
}

bool fits(const CommandLine &composed, bool with_suffix) {
    std::size_t length = 0;
    std::size_t escaped = 0;
    for (const CommandLine::Part &part : composed.parts()) {
        length += part.text.size();
        escaped += part.caller ? escaped_length(part.text) : part.text.size();
    }
    const std::size_t suffix = with_suffix ? kSuffixLength : 0;
    return length + suffix <= kMaxLength && escaped + suffix <= kMaxLength;
}

std::string printable(const std::string &text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            out += c;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", byte);
            out += code;
        }
    }
    return out;
}

}  // namespace client_test
