// Option words of the runtime's tools.
#include "options.hpp"

#include "refusal.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace zor {

Options::Options(const std::vector<std::string> &words, std::size_t from,
                 std::initializer_list<OptionWord> allowed) {
    for (std::size_t at = from; at < words.size(); ++at) {
        const std::string &word = words[at];
        const OptionWord *known = nullptr;
        for (const OptionWord &candidate : allowed) {
            if (word == candidate.word) {
                known = &candidate;
            }
        }
        if (known == nullptr) {
            throw Refusal(kUsage, "unexpected word '" + word + "'");
        }
        if (values_.count(word) != 0) {
            throw Refusal(kUsage, "option " + word + " given twice");
        }
        std::string value;
        if (known->takes_value) {
            if (at + 1 >= words.size()) {
                throw Refusal(kUsage, "option " + word + " needs a value");
            }
            value = words[++at];
        }
        values_.emplace(word, value);
    }
}

const std::string &Options::required(const std::string &word) const {
    const auto found = values_.find(word);
    if (found == values_.end()) {
        throw Refusal(kUsage, "option " + word + " is missing");
    }
    return found->second;
}

std::string Options::optional(const std::string &word) const {
    const auto found = values_.find(word);
    return found == values_.end() ? std::string() : found->second;
}

const std::string &checked_name(const std::string &name, const char *what) {
    if (name.empty()) {
        throw Refusal(kUsage, std::string("the ") + what + " name is empty");
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F || c == '/') {
            throw Refusal(kUsage, std::string("the ") + what + " name '" + name +
                                      "' holds a blank, a control character or '/'");
        }
    }
    if (name == "." || name == "..") {
        throw Refusal(kUsage, std::string("the ") + what + " name '" + name + "' is reserved");
    }
    if (name.size() > kFileNameLimit) {
        throw Refusal(kUsage, std::string("the ") + what + " name is longer than " +
                                  std::to_string(kFileNameLimit) + " bytes");
    }
    return name;
}

const std::string &checked_container_name(const std::string &name) {
    if (name.size() > kHostNameLimit) {
        throw Refusal(kUsage, "the container name is longer than " +
                                  std::to_string(kHostNameLimit) + " bytes, the longest host name");
    }
    return checked_name(name, "container");
}

int checked_number(const std::string &text, const char *what) {
    char *end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || end == nullptr || *end != '\0' || errno != 0 || number < INT_MIN ||
        number > INT_MAX || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) {
        throw Refusal(kUsage, std::string("the ") + what + " '" + text + "' is not a number");
    }
    return static_cast<int>(number);
}

}  // namespace zor
