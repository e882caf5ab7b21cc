// Writing a whole text to a descriptor, as the stand-ins answer on standard output and error.
#pragma once

#include <string_view>

namespace standin {

// Writes all of text to fd, going on after short writes. False when a write fails (a reader
// that went away, say); what was written by then stays written.
bool write_all(int fd, std::string_view text);

}  // namespace standin
