// Parsing of the control-group line that names the caller's container.
//
// Input: the line (the bytes up to the first NUL; it may hold newlines, which the matching
// treats as line ends). Properties: with the lookup's 256-byte buffer and with a buffer of a
// size chosen by the input's hash, the result and the name equal the model's, the name is
// cut to the buffer and terminated, and nothing is written past the buffer.
//
// The model: the first line (of those the newlines separate) that holds "ns" with a ":" or
// "," on each side and, after that, a ":/" matches; its name is the text after its last ":/".
#include "container_identity.hpp"

#include "fuzz_support.hpp"

#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr std::size_t kLookupBufferSize = 256;

struct Name {
    bool matched;
    std::string text;
};

bool is_separator(char c) {
    return c == ':' || c == ',';
}

Name model_of_line(const std::string &line) {
    std::size_t first_ns = std::string::npos;
    for (std::size_t at = 0; at + 4 <= line.size(); ++at) {
        if (is_separator(line[at]) && line.compare(at + 1, 2, "ns") == 0 &&
            is_separator(line[at + 3])) {
            first_ns = at;
            break;
        }
    }
    const std::size_t last_path = line.rfind(":/");
    if (first_ns == std::string::npos || last_path == std::string::npos ||
        last_path < first_ns + 4) {
        return {false, ""};
    }
    return {true, line.substr(last_path + 2)};
}

Name model(const std::string &text) {
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        const Name name =
            model_of_line(text.substr(start, end == std::string::npos ? end : end - start));
        if (name.matched || end == std::string::npos) {
            return name;
        }
        start = end + 1;
    }
}

void check(const std::string &line, std::size_t capacity, const Name &expected) {
    // One guard byte after the buffer shows a write past it even where the heap would not.
    const std::unique_ptr<char[]> out(new char[capacity + 1]);
    std::memset(out.get(), 'x', capacity + 1);
    const bool matched = kestal::identity::parse_cgroup_line(line.c_str(), out.get(), capacity);
    fuzz::require(out[capacity] == 'x', "nothing is written past the buffer");
    fuzz::require(matched == expected.matched, "the match equals the model's");
    if (capacity == 0) {
        return;
    }
    fuzz::require(std::memchr(out.get(), '\0', capacity) != nullptr, "the name is terminated");
    fuzz::require(expected.text.substr(0, capacity - 1) == out.get(),
                  "the name equals the model's, cut to the buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string line = fuzz::c_string_of(data, size);
    const Name expected = model(line);
    check(line, kLookupBufferSize, expected);
    check(line, fuzz::hash_of(data, size) % (kLookupBufferSize + 1), expected);
    return 0;
}
