// Root filesystems, base images and snapshots on the host's disk, below the state directory:
//   images/minimal/rootfs          the built-in base image, made from busybox-static
//   images/<sys|app>/<base>/rootfs base images made by commit
//   containers/<sys|app>/<name>/   a container: config.json, rootfs/ and, for an overlay,
//                                  upper/ and work/; snapshots/<tag>/ its saved changes
#pragma once

#include "scratch_folder.hpp"
#include "tree_copy.hpp"

#include <memory>
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

// Replaces the folder to (which may not exist yet) with a copy of from (copy_tree), made in a
// scratch folder of area (scratch_folder.hpp) and swapped in whole, so that to is the old
// folder or the new, whole; refuses with kHostFailure.
void replace_with_copy(const std::string &from, const std::string &to, const std::string &area);

// Copies the changes kept in snapshot into a scratch folder of the container's; nothing of
// the container changes yet.
std::unique_ptr<ScratchFolder> stage_changes(const std::string &container_directory,
                                             const std::string &snapshot);

// Puts staged changes in place of the (stopped) container's own in one rename and mounts the
// overlay again; staged then holds the old changes, and a second call puts those back. A
// command killed at any point leaves the old changes or the new, and start works after it.
void swap_changes(const std::string &container_directory, const std::string &lower, bool overlay,
                  const ScratchFolder &staged);

// Replaces the container's changes with those kept in snapshot (stage_changes, then
// swap_changes); the container is stopped.
void restore_changes(const std::string &container_directory, const std::string &lower, bool overlay,
                     const std::string &snapshot);

// Makes image (a base image's rootfs/) from lower with the changes of snapshot applied on top;
// overlay says whether the snapshot holds overlay changes (with whiteouts) or a whole tree.
void make_image(const std::string &image, const std::string &lower, const std::string &snapshot,
                bool overlay);

// Removes a directory tree; quiet when it is gone.
void remove_tree(const std::string &path);

// Removes path when the scope ends, however it ends.
struct TreeRemover {
    std::string path;
    ~TreeRemover() { remove_tree(path); }
    TreeRemover(const TreeRemover &) = delete;
    TreeRemover &operator=(const TreeRemover &) = delete;
};

}  // namespace zor
