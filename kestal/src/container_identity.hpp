// Container identity: parsing of the control-group line that names the caller's container.
#pragma once

#include <cstddef>

namespace kestal::identity {

// Extracts the container name from one line of /proc/self/cgroup into out (capacity bytes,
// always terminated when capacity > 0). Returns true when the line matches the container
// pattern; the name may then still be empty ("2:ns,cpu:/"). A line without a match gives
// false and an empty out. The regular expression is the system's own matching rule.
bool parse_cgroup_line(const char *line, char *out, std::size_t capacity) noexcept;

}  // namespace kestal::identity
