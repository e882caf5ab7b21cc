// Container identity: the one-time lookup of the caller's container name.
#include "container_identity.hpp"

#include <kestal.h>

#include <regex.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestal::identity {

namespace {

// The first cgroup line has at most 255 characters (the newline kept when it fits).
constexpr int kCgroupLineSize = 256;
constexpr const char *kCgroupPath = "/proc/self/cgroup";
constexpr const char *kContainerPattern = ".*[:,]ns[:,].*:/(.*)";

char empty_name[] = "";
// The name, or empty_name when the lookup found none; a heap copy that lives as long as the
// process otherwise. Never null.
const char *lookup() noexcept {
    std::FILE *file = std::fopen(kCgroupPath, "r");
    if (file == nullptr) {
        std::perror("fopen");
        return empty_name;
    }
    char line[kCgroupLineSize] = {};
    const bool got_line = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!got_line) {
        return empty_name;
    }
    char name[kCgroupLineSize] = {};
    if (!parse_cgroup_line(line, name, sizeof name) || name[0] == '\0') {
        return empty_name;
    }
    // A failed copy keeps the empty name: the cached name is never null.
    char *copy = strdup(name);
    return copy != nullptr ? copy : empty_name;
}

}  // namespace

bool parse_cgroup_line(const char *line, char *out, std::size_t capacity) noexcept {
    if (capacity > 0) {
        out[0] = '\0';
    }
    regex_t regex;
    if (regcomp(&regex, kContainerPattern, REG_EXTENDED | REG_NEWLINE) != 0) {
        return false;
    }
    regmatch_t match[2];
    const bool matched = regexec(&regex, line, 2, match, 0) == 0 && match[1].rm_so >= 0 &&
                         match[1].rm_eo >= 0 && match[1].rm_so <= match[1].rm_eo;
    regfree(&regex);
    if (!matched || capacity == 0) {
        return matched;
    }
    auto length = static_cast<std::size_t>(match[1].rm_eo - match[1].rm_so);
    if (length >= capacity) {
        length = capacity - 1;
    }
    std::memcpy(out, line + match[1].rm_so, length);
    out[length] = '\0';
    return true;
}

}  // namespace kestal::identity

extern "C" {

const char *get_container_name(void) {
    // A local static: concurrent first calls wait for the one lookup instead of racing it,
    // later calls cost a single load, and a failed lookup is never retried.
    static const char *const cached_name = kestal::identity::lookup();
    return cached_name;
}

char *kestal_get_container_name(char *dest, size_t count) {
    return std::strncpy(dest, get_container_name(), count);
}

int is_container(void) {
    return get_container_name()[0] != '\0' ? 1 : 0;
}

}  // extern "C"
