// Root filesystems, base images and snapshots on the host's disk, below the state directory:
//   images/minimal/rootfs          the built-in base image, made from busybox-static
//   images/<sys|app>/<base>/rootfs base images made by commit
//   containers/<sys|app>/<name>/   a container: config.json, rootfs/ and, for an overlay,
//                                  upper/ and work/; snapshots/<tag>/ its saved changes
#pragma once

#include "tree_copy.hpp"

#include <string>

namespace zor {

// The names of the built-in base images: minimal (busybox alone), and host, the same root
// filesystem with the host's /usr, /lib and /lib64 bound read-only into it when the
// container starts, so that programs built on the host run inside.
constexpr char kBuiltinBase[] = "minimal";
constexpr char kHostBase[] = "host";

// True for the names of the built-in base images.
inline bool is_builtin_base(const std::string &name) {
    return name == kBuiltinBase || name == kHostBase;
}

// The root filesystem of base image minimal, built on first use from the host's static
// busybox; refuses with kHostFailure when there is none.
std::string minimal_image(const std::string &state_directory);

// Makes root (a container's rootfs/) an overlay over lower with upper/ and work/ beside it
// when the kernel allows it on this filesystem, else a copy of lower. Returns true for an
// overlay.
bool make_root_filesystem(const std::string &container_directory, const std::string &lower);

// Mounts the overlay again when it is not mounted (after a reboot, or in another mount
// namespace); nothing for a copy.
void ensure_root_filesystem(const std::string &container_directory, const std::string &lower,
                            bool overlay);

// Unmounts the overlay, if mounted, and removes the container's directory whole.
void remove_container_directory(const std::string &container_directory);

// The container's own changes as a directory: upper/ of an overlay, else rootfs/.
std::string changes_directory(const std::string &container_directory, bool overlay);

// Replaces the container's changes with those kept in snapshot; the container is stopped.
void restore_changes(const std::string &container_directory, const std::string &lower, bool overlay,
                     const std::string &snapshot);

// Makes image (a base image's rootfs/) from lower with the changes of snapshot applied on top;
// overlay says whether the snapshot holds overlay changes (with whiteouts) or a whole tree.
void make_image(const std::string &image, const std::string &lower, const std::string &snapshot,
                bool overlay);

// Removes a directory tree; quiet when it is gone.
void remove_tree(const std::string &path);

}  // namespace zor
