// The runtime's one way of writing a file that others read: a new copy, flushed to disk, then
// renamed over the old one, so that a reader, or a command killed at any point, finds the old
// file or the new one, never part of one.
#pragma once

#include <sys/types.h>

#include <string>

namespace zor {

// Replaces name inside the folder open as folder_fd with text, through name + ".new": whatever
// had that name is removed first (a link included) and the new copy is made with O_EXCL and
// O_NOFOLLOW and mode, synced, then renamed over name. Returns 0, or the errno of the step
// that failed (the new copy is then removed).
int replace_file_at(int folder_fd, const std::string &name, const std::string &text, mode_t mode);

// replace_file_at for a path: its folder is opened first.
int replace_file(const std::string &path, const std::string &text, mode_t mode);

}  // namespace zor
