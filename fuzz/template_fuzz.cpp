// Expansion of the log line template.
//
// Input: the first line is the template (cut at 255 characters, as the template buffer
// holds it), each further line the value of one key in table order (%faci% first, %cont%
// last); keys without a line get a short default value. A NUL byte ends a text.
//
// Properties: the output stays within its 1024-byte buffer and is terminated, and it equals
// the model's expansion: at each position every key is tried once in table order, then one
// plain character is copied; values are cut where the line reaches 1023 characters.
#include "log_template.hpp"

#include "fuzz_support.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace log = kestal::log;

constexpr std::size_t kLineLimit = log::kLineSize - 1;

const char *const kKeys[log::kKeyCount] = {"%faci%", "%lvl%",  "%time%", "%host%",
                                           "%prog%", "%pid%",  "%msg%",  "%file%",
                                           "%line%", "%func%", "%cont%"};
const char *const kDefaults[log::kKeyCount] = {
    "local5", "err",  "Dec 08 03:29:40.7", "host1", "prog", "4242", "the message", "file", "17",
    "func",   "web01"};

std::string model(const std::string &tmpl, const std::vector<std::string> &values) {
    std::string line;
    const auto append = [&line](const std::string &text) {
        line += text.substr(0, kLineLimit - line.size());
    };
    std::size_t pos = 0;
    for (;;) {
        for (int key = 0; key < log::kKeyCount; ++key) {
            const std::string name = kKeys[key];
            if (tmpl.compare(pos, name.size(), name) == 0) {
                append(values[static_cast<std::size_t>(key)]);
                pos += name.size();
            }
        }
        if (pos >= tmpl.size()) {
            return line;  // the terminator was the character of this pass
        }
        append(std::string(1, tmpl[pos]));
        if (pos + 1 == tmpl.size() || line.size() == kLineLimit) {
            return line;
        }
        ++pos;
    }
}

std::vector<std::string> lines_of(const std::string &input) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = input.find('\n', start);
        lines.push_back(
            fuzz::c_string_of(reinterpret_cast<const std::uint8_t *>(input.data()) + start,
                              (end == std::string::npos ? input.size() : end) - start));
        if (end == std::string::npos) {
            return lines;
        }
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::vector<std::string> lines =
        lines_of(std::string(reinterpret_cast<const char *>(data), size));
    const std::string tmpl = lines[0].substr(0, log::kTemplateSize - 1);
    std::vector<std::string> values;
    const char *value_pointers[log::kKeyCount];
    for (std::size_t key = 0; key < log::kKeyCount; ++key) {
        values.push_back(key + 1 < lines.size() ? lines[key + 1] : kDefaults[key]);
    }
    for (std::size_t key = 0; key < log::kKeyCount; ++key) {
        value_pointers[key] = values[key].c_str();
    }

    // The template in a buffer of its own size, the line in exactly kLineSize bytes, so
    // that AddressSanitizer sees any read or write past either.
    const std::unique_ptr<char[]> template_buffer(new char[tmpl.size() + 1]);
    std::memcpy(template_buffer.get(), tmpl.c_str(), tmpl.size() + 1);
    const std::unique_ptr<char[]> line_buffer(new char[log::kLineSize]);
    std::memset(line_buffer.get(), 'x', log::kLineSize);
    auto &line = *reinterpret_cast<char(*)[log::kLineSize]>(line_buffer.get());
    log::expand_template(template_buffer.get(), value_pointers, line);

    fuzz::require(std::memchr(line, '\0', log::kLineSize) != nullptr, "the line is terminated");
    fuzz::require(model(tmpl, values) == line, "the line equals the model's expansion");
    return 0;
}
