// The runtime's one way of writing a file that others read: a new copy, flushed to disk, then
// renamed over the old one, so that a reader, or a command killed at any point, finds the old
// file or the new one, never part of one.
#pragma once

#include <sys/types.h>

#include <string>

namespace zor {

// Replaces path with text through path + ".new" (made with mode); returns 0, or the errno of
// the step that failed (the temporary file is then removed).
int replace_file(const std::string &path, const std::string &text, mode_t mode);

}  // namespace zor
