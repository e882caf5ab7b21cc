// The configuration file of `create -f`: read with care, because the path comes from the
// user and the command may run as root. Only a regular file of at most 64 KiB of UTF-8 text
// is taken; a FIFO, a device, a directory or a symbolic link is refused without being read
// from, so that nothing can make the command wait or read without end.
#pragma once

#include <cstddef>
#include <string>

namespace zor {

// The largest configuration file taken, in bytes.
constexpr std::size_t kConfigurationLimit = std::size_t{64} * 1024;

// The whole text of the file at path; refuses with kUsage (saying why) anything but a regular
// file, reached without a symbolic link as its last component, of at most
// kConfigurationLimit bytes of valid UTF-8 without NUL, and with kNotFound a file that does
// not exist.
std::string read_configuration_text(const std::string &path);

// True when text is valid UTF-8: no stray continuation byte, no overlong form, no surrogate,
// nothing above U+10FFFF.
bool is_utf8(const std::string &text);

}  // namespace zor
