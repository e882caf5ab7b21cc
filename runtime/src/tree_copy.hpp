// The one way the runtime copies a container's files (save, load, commit, checkpoint,
// restart, root filesystems made from base images). Everything in such a tree is the
// container's to choose, links above all, so the copy resolves every name from the
// descriptor of the directory that holds it with O_NOFOLLOW, and reads a symbolic link as a
// link: nothing is ever read or written through a link the container made.
#pragma once

#include <string>

namespace zor {

// Copies the tree at from into a new directory to, made through the name to.partial so that
// to exists whole or not at all. Owners, modes (setuid bits included), times, hard links,
// extended attributes (overlay markers among them), links and device nodes are kept as they
// are. Refuses with kHostFailure; to is absent after a refusal.
void copy_tree(const std::string &from, const std::string &to);

// Applies overlay changes (an overlay's upper directory or a snapshot of one) onto the plain
// tree onto, in place: a whiteout (character device 0:0) removes the entry it names, an
// opaque directory replaces the directory of its name whole, a directory merges into a
// directory, and anything else replaces what had its name (a link as a link, never written
// through). Overlay markers are not copied. Refuses with kHostFailure.
void apply_changes(const std::string &changes, const std::string &onto);

}  // namespace zor
