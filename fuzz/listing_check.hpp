// What the listing targets share: the entry rules of the two libraries' tables as a model,
// and the check of one listing of the input against it. Included by a target that links one
// client library, whose frame (ZOR_FRAME_NAMESPACE) reads the input.
#pragma once

#include "name_list.hpp"

#include "fuzz_support.hpp"
#include "output_lines_model.hpp"

#include <malloc.h>

#include <optional>
#include <string>
#include <vector>

namespace fuzz {

using Entries = std::vector<std::string>;
using EntryRule = std::optional<std::string> (*)(const std::string &line);

inline bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

inline std::optional<std::string> whole(const std::string &line) {
    return line;
}

// libzorsys' table row: the second field, fields split at runs of spaces only; a row
// without one gives no entry.
inline std::optional<std::string> second_field(const std::string &line) {
    const std::size_t first = line.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t gap = line.find(' ', first);
    if (gap == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t second = line.find_first_not_of(' ', gap);
    if (second == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t end = line.find(' ', second);
    return line.substr(second, end == std::string::npos ? std::string::npos : end - second);
}

// libzorapp's table row: up to the first space or tab after the first field, the blanks
// before it kept; a line of blanks alone stays whole.
inline std::optional<std::string> first_field(const std::string &line) {
    std::size_t at = 0;
    while (at < line.size() && is_blank(line[at])) {
        ++at;
    }
    if (at == line.size()) {
        return line;
    }
    while (at < line.size() && !is_blank(line[at])) {
        ++at;
    }
    return line.substr(0, at);
}

inline Entries model(const std::string &output, const char *marker, EntryRule rule) {
    Entries entries;
    for (const ModelLine &line : model_lines(output, marker)) {
        if (std::optional<std::string> entry = rule(line.text)) {
            entries.push_back(*entry);
        }
    }
    return entries;
}

// The entries that rules give for the input, checked for the list's shape; the list is then
// released as the library of the frame releases it.
inline Entries listed(const std::uint8_t *data, std::size_t size,
                      const ZOR_FRAME_NAMESPACE::frame::NameListRules &rules) {
    namespace frame = ZOR_FRAME_NAMESPACE::frame;
    const InputStream stream(data, size);
    char *unset[] = {nullptr};
    char **list = unset;
    require(frame::read_names(stream.get(), rules, &list) == 0, "reading a stream succeeds");
    require(list != unset, "a successful reading stores its list");
    Entries entries;
    if (list == nullptr) {
        return entries;
    }
    for (char **slot = list; *slot != nullptr; ++slot) {
        require(malloc_usable_size(*slot) >= 1024, "every entry has a block of 1024 bytes");
        entries.emplace_back(*slot);
    }
    require(!entries.empty(), "an empty list is null, not a lone terminator");
    // libzorsys refuses a lone terminator and libzorapp frees it; no list here is one.
    require(frame::release_entries(list, frame::EmptyArray::kRefused) == 0, "the list is released");
    return entries;
}

}  // namespace fuzz
