// Parsing of the -p argument of zor-logger.
#include "priority_code.hpp"

#include <kestal.h>

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace zor_logger {

namespace {

// A part is a number when its first character is a decimal digit; reading stops at the
// first non-digit. Otherwise it is a name looked up in the table, case ignored.
bool part_value(const char *part, const kestal_code *table, long *value) noexcept {
    if (std::isdigit(static_cast<unsigned char>(part[0])) != 0) {
        *value = std::strtol(part, nullptr, 10);
        return true;
    }
    for (const kestal_code *entry = table; entry->c_name != nullptr; ++entry) {
        if (strcasecmp(entry->c_name, part) == 0) {
            *value = entry->c_val;
            return true;
        }
    }
    return false;
}

}  // namespace

PriorityCode parse_priority(char *arg) noexcept {
    PriorityCode result;
    long facility = LOG_LOCAL5;
    char *level_part = arg;
    if (char *dot = std::strchr(arg, '.'); dot != nullptr) {
        *dot = '\0';
        level_part = dot + 1;
        if (!part_value(arg, facilitynames, &facility)) {
            result.status = PriorityCode::Status::kUnknownFacility;
            result.bad_part = arg;
            return result;
        }
    }
    long level = 0;
    if (!part_value(level_part, prioritynames, &level)) {
        result.status = PriorityCode::Status::kUnknownLevel;
        result.bad_part = level_part;
        return result;
    }
    result.priority = static_cast<int>((facility & LOG_FACMASK) | (level & LOG_PRIMASK));
    return result;
}

}  // namespace zor_logger
