// The words after a verb: options and their values, checked strictly, so that an unknown,
// repeated or valueless option is refused, not guessed.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace zor {

struct OptionWord {
    const char *word;  // "-n", "--cpu", ...
    bool takes_value;
};

class Options {
public:
    // Parses words[from] onwards; refuses (kUsage) an unknown or repeated word and an option
    // whose value is missing.
    Options(const std::vector<std::string> &words, std::size_t from,
            std::initializer_list<OptionWord> allowed);

    bool has(const std::string &word) const { return values_.count(word) != 0; }
    // The value of an option that must be given.
    const std::string &required(const std::string &word) const;
    // The value, or "" when the option is absent.
    std::string optional(const std::string &word) const;

private:
    std::map<std::string, std::string> values_;
};

// A container, snapshot, base, group or application name: not empty, no blank, no control
// character, no '/', not "." or "..", at most kFileNameLimit bytes (names become directory
// names). Refuses with kUsage.
const std::string &checked_name(const std::string &name, const char *what);

// The longest name the kernel takes as a host name (sethostname), and the longest file name.
constexpr std::size_t kHostNameLimit = 64;
constexpr std::size_t kFileNameLimit = 255;

// A container's name: a checked_name that is also a host name, so that a container can
// always start whatever its configuration says; refuses with kUsage.
const std::string &checked_container_name(const std::string &name);

// A decimal number in the range of a signed 32-bit integer; refuses with kUsage.
int checked_number(const std::string &text, const char *what);

}  // namespace zor
