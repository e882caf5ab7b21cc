// Files of root filesystems: copies through tree_copy (which keeps owners, modes, links and
// device nodes as they are and follows no link), overlays through mount(2).
#include "filesystems.hpp"

#include "program_run.hpp"
#include "refusal.hpp"
#include "scratch_folder.hpp"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace zor {

namespace fs = std::filesystem;

namespace {

bool is_mounted(const std::string &root, const std::string &container_directory) {
    struct stat inner {};
    struct stat outer {};
    return stat(root.c_str(), &inner) == 0 && stat(container_directory.c_str(), &outer) == 0 &&
           inner.st_dev != outer.st_dev;
}

bool mount_overlay(const std::string &directory, const std::string &lower) {
    // The option string separates with ',' and ':'; a path holding either cannot be named.
    for (const std::string &path : {directory, lower}) {
        if (path.find_first_of(",:") != std::string::npos) {
            return false;
        }
    }
    const std::string options =
        "lowerdir=" + lower + ",upperdir=" + directory + "/upper,workdir=" + directory + "/work";
    return mount("overlay", (directory + "/rootfs").c_str(), "overlay", 0, options.c_str()) == 0;
}

}  // namespace

void remove_tree(const std::string &path) {
    std::error_code error;
    fs::remove_all(path, error);
}

void replace_with_copy(const std::string &from, const std::string &to, const std::string &area) {
    const ScratchFolder build(area);
    copy_tree(from, build.content());
    build.swap_with(to);
}

std::string minimal_image(const std::string &state_directory) {
    std::string image = state_directory + "/images/" + kBuiltinBase + "/rootfs";
    std::error_code error;
    if (fs::is_directory(image, error)) {
        return image;
    }
    std::string busybox = find_on_path("busybox");
    for (const char *candidate : {"/bin/busybox", "/usr/bin/busybox"}) {
        if (busybox.empty()) {
            busybox = find_on_path(candidate);
        }
    }
    if (busybox.empty()) {
        throw Refusal(kHostFailure,
                      "busybox is not installed (Debian package busybox-static); cannot make "
                      "base image minimal");
    }
    const ProgramResult applets = run_program({busybox, "--list"});
    if (applets.status != 0) {
        throw Refusal(kHostFailure, "busybox --list failed");
    }
    const std::string build = image + ".partial";
    remove_tree(build);
    for (const char *folder : {"bin", "proc", "dev", "sys", "tmp", "etc", "root", "run", "var"}) {
        fs::create_directories(build + "/" + folder, error);
    }
    fs::permissions(build + "/tmp", fs::perms::all | fs::perms::sticky_bit, error);
    fs::copy_file(busybox, build + "/bin/busybox", error);
    if (error) {
        throw Refusal(kHostFailure, "cannot copy " + busybox + ": " + error.message());
    }
    std::stringstream names(applets.out);
    std::string name;
    while (std::getline(names, name)) {
        if (!name.empty() && name != "busybox" && name.find('/') == std::string::npos) {
            fs::create_symlink("busybox", fs::path(build) / "bin" / name, error);
        }
    }
    std::ofstream(build + "/etc/passwd") << "root:x:0:0:root:/root:/bin/sh\n";
    std::ofstream(build + "/etc/group") << "root:x:0:\n";
    fs::rename(build, image, error);
    if (error) {
        throw Refusal(kHostFailure, "cannot make base image minimal: " + error.message());
    }
    return image;
}

bool make_root_filesystem(const std::string &container_directory, const std::string &lower) {
    std::error_code error;
    for (const char *folder : {"rootfs", "upper", "work"}) {
        fs::create_directories(container_directory + "/" + folder, error);
    }
    if (mount_overlay(container_directory, lower)) {
        return true;
    }
    remove_tree(container_directory + "/upper");
    remove_tree(container_directory + "/work");
    remove_tree(container_directory + "/rootfs");
    copy_tree(lower, container_directory + "/rootfs");
    return false;
}

void ensure_root_filesystem(const std::string &container_directory, const std::string &lower,
                            bool overlay) {
    const std::string root = container_directory + "/rootfs";
    if (overlay && !is_mounted(root, container_directory) &&
        !mount_overlay(container_directory, lower)) {
        throw Refusal(kHostFailure, "cannot mount the overlay of " + root + ": " +
                                        std::generic_category().message(errno));
    }
}

void remove_container_directory(const std::string &container_directory) {
    const std::string root = container_directory + "/rootfs";
    // A mount made in this namespace is ours to undo; MNT_DETACH also copes with a busy one.
    while (is_mounted(root, container_directory) && umount2(root.c_str(), MNT_DETACH) == 0) {
    }
    if (is_mounted(root, container_directory)) {
        throw Refusal(kHostFailure,
                      "cannot unmount " + root + ": " + std::generic_category().message(errno));
    }
    remove_tree(container_directory);
}

std::string changes_directory(const std::string &container_directory, bool overlay) {
    return container_directory + (overlay ? "/upper" : "/rootfs");
}

std::unique_ptr<ScratchFolder> stage_changes(const std::string &container_directory,
                                             const std::string &snapshot) {
    auto staged = std::make_unique<ScratchFolder>(scratch_area(container_directory));
    copy_tree(snapshot, staged->content());
    return staged;
}

void swap_changes(const std::string &container_directory, const std::string &lower, bool overlay,
                  const ScratchFolder &staged) {
    const std::string root = container_directory + "/rootfs";
    if (!overlay) {
        staged.swap_with(root);
        return;
    }
    while (is_mounted(root, container_directory) && umount2(root.c_str(), MNT_DETACH) == 0) {
    }
    staged.swap_with(container_directory + "/upper");
    // The overlay's work folder keeps nothing from one mount to the next; one that a killed
    // command removed is made again.
    std::error_code error;
    fs::create_directories(container_directory + "/work", error);
    ensure_root_filesystem(container_directory, lower, true);
}

void restore_changes(const std::string &container_directory, const std::string &lower, bool overlay,
                     const std::string &snapshot) {
    const auto staged = stage_changes(container_directory, snapshot);
    swap_changes(container_directory, lower, overlay, *staged);
}

void make_image(const std::string &image, const std::string &lower, const std::string &snapshot,
                bool overlay) {
    const ScratchFolder build(scratch_area(fs::path(image).parent_path().string()));
    if (overlay) {
        copy_tree(lower, build.content());
        apply_changes(snapshot, build.content());
    } else {
        copy_tree(snapshot, build.content());
    }
    build.swap_with(image);
}

}  // namespace zor
