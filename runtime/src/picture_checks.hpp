// What a receiver checks in CRIU's pictures before it lets CRIU restore them: CRIU gives the
// restored processes the credentials, seccomp state and namespaces that its images say, not
// what the receiver's config.json says, so a forged picture could otherwise bring back a
// process with every capability.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// Reads the images in directory (pstree, and for every process and thread its core image and
// task ids) and refuses with kMigrationFailure, naming the process, when any of them holds a
// capability (effective, permitted, inheritable, bounding or ambient) outside allowed (the
// kernel's mask), lacks no_new_privs, has no seccomp filter, or sits in a namespace that is
// not the first process's (the container's), or when an image is missing or damaged.
void check_picture(const std::string &directory, std::uint64_t allowed);

}  // namespace zor
