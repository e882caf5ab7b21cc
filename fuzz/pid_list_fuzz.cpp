// libzorapp's registered-pid list: "pid,vpid" lines of a tool's output read into pairs.
//
// Input: the tool's output, every byte of it, given to the reader as a stream. Properties:
// the pairs equal the model's parse of the model's lines (output_lines_model.hpp) in order;
// the list is null when no line is a pair, else null-terminated.
//
// The model of a pair line: white space, an optional sign and decimal digits, a comma right
// after them, white space, an optional sign and digits; the rest of the line is ignored. A
// number is read as a long (held at the long's limits when it is larger) and then cut to its
// low 32 bits, as "%d" reads it.
#include "registered_pids.hpp"

#include "fuzz_support.hpp"
#include "output_lines_model.hpp"

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<std::int32_t, std::int32_t>>;

bool is_white(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::optional<std::int32_t> number_at(const std::string &line, std::size_t &at) {
    while (at < line.size() && is_white(line[at])) {
        ++at;
    }
    bool negative = false;
    if (at < line.size() && (line[at] == '+' || line[at] == '-')) {
        negative = line[at] == '-';
        ++at;
    }
    if (at == line.size() || !is_digit(line[at])) {
        return std::nullopt;
    }
    // The magnitude, held at one past LONG_MAX (the size of LONG_MIN).
    constexpr unsigned long long kHeld = static_cast<unsigned long long>(LONG_MAX) + 1;
    unsigned long long magnitude = 0;
    for (; at < line.size() && is_digit(line[at]); ++at) {
        const auto digit = static_cast<unsigned long long>(line[at] - '0');
        magnitude = magnitude > (kHeld - digit) / 10 ? kHeld : magnitude * 10 + digit;
    }
    unsigned long long value = 0;
    if (negative) {
        value = 0 - magnitude;  // LONG_MIN at most, in two's complement
    } else {
        value = magnitude > LONG_MAX ? static_cast<unsigned long long>(LONG_MAX) : magnitude;
    }
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xFFFFFFFFULL));
}

Pairs model(const std::string &output) {
    Pairs pairs;
    for (const fuzz::ModelLine &line : fuzz::model_lines(output, nullptr)) {
        std::size_t at = 0;
        const std::optional<std::int32_t> pid = number_at(line.text, at);
        if (!pid || at == line.text.size() || line.text[at] != ',') {
            continue;
        }
        ++at;
        if (const std::optional<std::int32_t> vpid = number_at(line.text, at)) {
            pairs.emplace_back(*pid, *vpid);
        }
    }
    return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const fuzz::InputStream stream(data, size);
    zor_app_pid_pair *unset[] = {nullptr};
    zor_app_pid_pair **list = unset;
    fuzz::require(zorapp::read_registered_pids(stream.get(), &list) == 0,
                  "reading a stream succeeds");
    fuzz::require(list != unset, "a successful reading stores its list");
    Pairs pairs;
    if (list != nullptr) {
        for (zor_app_pid_pair **slot = list; *slot != nullptr; ++slot) {
            pairs.emplace_back((*slot)->pid, (*slot)->vpid);
        }
        fuzz::require(!pairs.empty(), "an empty list is null, not a lone terminator");
        fuzz::require(zor_app_release_registered_pid_list(list) == 0, "the list is released");
    }
    fuzz::require(pairs == model(std::string(reinterpret_cast<const char *>(data), size)),
                  "the pairs equal the model's");
    return 0;
}
