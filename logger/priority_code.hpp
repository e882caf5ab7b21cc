// Parsing of the -p argument of zor-logger: "facility.level", or a level alone.
#pragma once

namespace zor_logger {

struct PriorityCode {
    enum class Status { kOk, kUnknownFacility, kUnknownLevel };
    Status status = Status::kOk;
    int priority = 0;  // facility bits and level, when status is kOk
    // The part that was not recognised (points into the argument), when status is not kOk.
    const char *bad_part = nullptr;
};

// Parses arg: before the first "." a facility (an encoded number such as 8 or 168, or a
// name, case ignored), after it a level (a number, of which the low 3 bits count, or a
// name). Without a ".", the whole argument is a level under LOG_LOCAL5. The argument is cut
// at its first "." in place so that bad_part names the facility part alone.
PriorityCode parse_priority(char *arg) noexcept;

}  // namespace zor_logger
