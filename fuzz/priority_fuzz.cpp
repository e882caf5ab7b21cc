// zor-logger's -p argument: "facility.level" by name or number, or a level alone.
//
// Input: the argument (the bytes up to the first NUL). Properties: the status, the priority
// and the part named as unknown equal the model's, which reads the parts over its own copy
// of the platform's syslog name tables; libkestal's exported tables equal that copy.
#include "priority_code.hpp"

#include <kestal.h>

#include "fuzz_support.hpp"

#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace {

using zor_logger::PriorityCode;

struct Code {
    const char *name;
    int value;
};

constexpr Code kLevels[] = {{"alert", 1},  {"crit", 2},  {"debug", 7}, {"emerg", 0},
                            {"err", 3},    {"error", 3}, {"info", 6},  {"none", 16},
                            {"notice", 5}, {"panic", 0}, {"warn", 4},  {"warning", 4}};
constexpr Code kFacilities[] = {
    {"auth", 32},     {"authpriv", 80}, {"cron", 72},    {"daemon", 24},  {"ftp", 88},
    {"kern", 0},      {"lpr", 48},      {"mail", 16},    {"mark", 192},   {"news", 56},
    {"security", 32}, {"syslog", 40},   {"user", 8},     {"uucp", 64},    {"local0", 128},
    {"local1", 136},  {"local2", 144},  {"local3", 152}, {"local4", 160}, {"local5", 168},
    {"local6", 176},  {"local7", 184}};

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_ignoring_case(const std::string &a, const char *b) {
    const std::size_t length = std::strlen(b);
    if (a.size() != length) {
        return false;
    }
    for (std::size_t at = 0; at < length; ++at) {
        if (lower(a[at]) != lower(b[at])) {
            return false;
        }
    }
    return true;
}

// A number when it begins with a digit (its leading digits, held at LONG_MAX), else the
// first name of the table that matches.
template <std::size_t N>
std::optional<long> value_of(const std::string &part, const Code (&table)[N]) {
    if (!part.empty() && part[0] >= '0' && part[0] <= '9') {
        long value = 0;
        for (std::size_t at = 0; at < part.size() && part[at] >= '0' && part[at] <= '9'; ++at) {
            const int digit = part[at] - '0';
            value = value > (LONG_MAX - digit) / 10 ? LONG_MAX : value * 10 + digit;
        }
        return value;
    }
    for (const Code &code : table) {
        if (same_ignoring_case(part, code.name)) {
            return code.value;
        }
    }
    return std::nullopt;
}

struct Expected {
    PriorityCode::Status status;
    int priority;
    std::string bad_part;
};

Expected model(const std::string &arg) {
    const std::size_t dot = arg.find('.');
    long facility = 168;
    std::string level_part = arg;
    if (dot != std::string::npos) {
        const std::string facility_part = arg.substr(0, dot);
        level_part = arg.substr(dot + 1);
        const std::optional<long> value = value_of(facility_part, kFacilities);
        if (!value) {
            return {PriorityCode::Status::kUnknownFacility, 0, facility_part};
        }
        facility = *value;
    }
    const std::optional<long> level = value_of(level_part, kLevels);
    if (!level) {
        return {PriorityCode::Status::kUnknownLevel, 0, level_part};
    }
    return {PriorityCode::Status::kOk, static_cast<int>((facility & 0x3f8) | (*level & 7)), ""};
}

template <std::size_t N>
void check_table(const kestal_code *exported, const Code (&table)[N], const char *what) {
    std::size_t index = 0;
    for (; exported[index].c_name != nullptr; ++index) {
        fuzz::require(index < N && std::strcmp(exported[index].c_name, table[index].name) == 0 &&
                          exported[index].c_val == table[index].value,
                      what);
    }
    fuzz::require(index == N && exported[index].c_val == -1, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool tables_checked =
        (check_table(prioritynames, kLevels, "prioritynames equals the platform's table"),
         check_table(facilitynames, kFacilities, "facilitynames equals the platform's table"),
         true);
    (void)tables_checked;

    const std::string arg = fuzz::c_string_of(data, size);
    // The argument in a buffer of its own size, which the parser may change in place.
    const std::unique_ptr<char[]> buffer(new char[arg.size() + 1]);
    std::memcpy(buffer.get(), arg.c_str(), arg.size() + 1);
    const PriorityCode code = zor_logger::parse_priority(buffer.get());
    const Expected expected = model(arg);
    fuzz::require(code.status == expected.status, "the status equals the model's");
    if (code.status == PriorityCode::Status::kOk) {
        fuzz::require(code.priority == expected.priority, "the priority equals the model's");
        return 0;
    }
    fuzz::require(code.bad_part != nullptr && code.bad_part >= buffer.get() &&
                      code.bad_part <= buffer.get() + arg.size(),
                  "the unknown part points into the argument");
    fuzz::require(expected.bad_part == code.bad_part, "the unknown part equals the model's");
    return 0;
}
