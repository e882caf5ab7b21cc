// Trust in the state directory, as sshd's StrictModes has it: the directory, its record and
// its lock must belong to the user running the runtime and be writable by no one else, or the
// command is refused with kUnsafeState. Files inside are opened from the directory's
// descriptor without following symbolic links, so that no link planted there (by a user who
// once could write the directory) redirects what root reads or writes.
#pragma once

#include "owned_fd.hpp"

#include <string>

namespace zor {

// Opens the state directory, making it with mode 0700 (and its missing parents) when absent,
// and its private folders containers/ and images/ with mode 0700, so that nothing a container
// made (a setuid file above all) is within reach of other users. Refuses with kUnsafeState
// when the directory is a symbolic link, is not the runtime user's, or group or others may
// write it; with kStateFailure when it cannot be made or opened.
OwnedFd open_state_directory(const std::string &path);

// Opens name inside the state directory without following a symbolic link; flags as for
// open(2) (O_CLOEXEC and O_NOFOLLOW are added; with O_CREAT the mode is 0600). Returns an
// invalid descriptor when the file is absent and not to be made. Refuses with kUnsafeState
// when it is a link, not a regular file, not the runtime user's or writable by group or
// others.
OwnedFd open_state_file(const std::string &directory, const std::string &name, int flags);

// The whole of a file inside the state directory, through open_state_file; false when the
// file is absent.
bool read_state_file(const std::string &directory, const std::string &name, std::string &text_out);

// Replaces a file inside the state directory whole: the text goes to name.new, made anew
// (whatever had that name is removed first, links included, and O_EXCL makes sure), synced,
// then renamed over name. Refuses with kStateFailure.
void write_state_file(const std::string &directory, const std::string &name,
                      const std::string &text);

}  // namespace zor
