// The shell's view of an escaped command.
#include "shell_model.hpp"

#include <cstdio>

namespace client_test {

namespace {
// Characters with a meaning to the shell in an unquoted word, apart from blank, tab and
// newline: quoting, expansion, globbing, command separation, redirection, comments, tilde.
constexpr char kMetacharacters[] = "\\\"$@'()^|[]{};*?`&<>#~";
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

ToolCall tool_call_of(const std::string &composed) {
    ToolCall call;
    call.words = words_of(composed);
    if (!call.words.empty() && call.words[0] == "sudo") {
        call.via_sudo = true;
        call.words.erase(call.words.begin());
    }
    return call;
}

std::size_t escaped_length(const std::string &text) {
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

bool fits(const std::string &composed, bool with_suffix) {
    return escaped_length(composed) + (with_suffix ? kSuffixLength : 0) <= kMaxLength;
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
