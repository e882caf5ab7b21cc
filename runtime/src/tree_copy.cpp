// Copies of trees by directory descriptors: every name is looked up in the descriptor of its
// directory with O_NOFOLLOW (or AT_SYMLINK_NOFOLLOW), and every file is made anew with
// O_EXCL, so a link, wherever the container planted it, is copied as a link and never
// followed on the host.
#include "tree_copy.hpp"

#include "owned_fd.hpp"
#include "refusal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace zor {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The overlay's own markers; kept in copies of an upper directory, dropped when changes are
// applied onto a plain tree.
bool is_overlay_mark(const std::string &name) {
    return name.rfind("trusted.overlay.", 0) == 0 || name.rfind("user.overlay.", 0) == 0;
}

bool is_whiteout(const struct stat &info) {
    return S_ISCHR(info.st_mode) && major(info.st_rdev) == 0 && minor(info.st_rdev) == 0;
}

[[noreturn]] void refuse(const std::string &what, const std::string &path) {
    throw Refusal(kHostFailure,
                  "cannot " + what + " " + path + ": " + std::generic_category().message(errno));
}

struct DirCloser {
    void operator()(DIR *stream) const { closedir(stream); }
};

// The names in a directory, read through a duplicate of its descriptor.
std::vector<std::string> names_in(int directory, const std::string &path) {
    const int copy = fcntl(directory, F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<DIR, DirCloser> stream(copy >= 0 ? fdopendir(copy) : nullptr);
    if (!stream) {
        if (copy >= 0) {
            close(copy);
        }
        refuse("read", path);
    }
    std::vector<std::string> names;
    errno = 0;
    // The stream is this function's own: no other thread reads it.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    while (const dirent *entry = readdir(stream.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
        errno = 0;
    }
    if (errno != 0) {
        refuse("read", path);
    }
    return names;
}

bool is_opaque(int directory) {
    char value[4] = {};
    for (const char *mark : {"trusted.overlay.opaque", "user.overlay.opaque"}) {
        if (fgetxattr(directory, mark, value, sizeof value) == 1 && value[0] == 'y') {
            return true;
        }
    }
    return false;
}

void copy_attributes(int from, int to, bool overlay_marks, const std::string &path) {
    const ssize_t size = flistxattr(from, nullptr, 0);
    if (size <= 0) {
        return;
    }
    std::string names(static_cast<std::size_t>(size), '\0');
    const ssize_t got = flistxattr(from, names.data(), names.size());
    for (std::size_t at = 0; got > 0 && at < static_cast<std::size_t>(got);) {
        const std::string name = names.c_str() + at;
        at += name.size() + 1;
        if (!overlay_marks && is_overlay_mark(name)) {
            continue;
        }
        const ssize_t length = fgetxattr(from, name.c_str(), nullptr, 0);
        std::string value(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
        if (length < 0 || fgetxattr(from, name.c_str(), value.data(), value.size()) != length) {
            continue;
        }
        // A file system without extended attributes of that kind loses them, as cp -a does.
        if (fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0 && errno != ENOTSUP &&
            errno != EPERM) {
            refuse("set the attributes of", path);
        }
    }
}

// Owner first: a change of owner clears the setuid and setgid bits the mode then sets.
void copy_metadata(int to, const struct stat &info, const std::string &path) {
    if (fchown(to, info.st_uid, info.st_gid) != 0 || fchmod(to, info.st_mode & 07777) != 0) {
        refuse("set the owner and mode of", path);
    }
}

void copy_times(int to, const struct stat &info, const std::string &path) {
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (futimens(to, times) != 0) {
        refuse("set the times of", path);
    }
}

void copy_data(int from, int to, const std::string &path) {
    for (;;) {
        const ssize_t moved = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (moved == 0) {
            return;
        }
        if (moved > 0) {
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            refuse("copy", path);
        }
        break;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            refuse("read", path);
        }
        if (got == 0) {
            return;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t wrote = write(to, buffer + done, static_cast<std::size_t>(got - done));
            if (wrote < 0 && errno != EINTR) {
                refuse("write", path);
            }
            done += wrote > 0 ? wrote : 0;
        }
    }
}

// Removes name from directory, a directory whole, without following any link.
void remove_entry(int directory, const std::string &name, const std::string &path) {
    struct stat info {};
    if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return;
        }
        refuse("look at", path);
    }
    if (S_ISDIR(info.st_mode)) {
        const OwnedFd inner(openat(directory, name.c_str(), kDirectoryFlags));
        if (!inner.valid()) {
            refuse("open", path);
        }
        for (const std::string &entry : names_in(inner.get(), path)) {
            std::string below = path;
            below += "/";
            below += entry;
            remove_entry(inner.get(), entry, below);
        }
    }
    if (unlinkat(directory, name.c_str(), S_ISDIR(info.st_mode) ? AT_REMOVEDIR : 0) != 0) {
        refuse("remove", path);
    }
}

class TreeCopy {
public:
    explicit TreeCopy(bool overlay_marks) : overlay_marks_(overlay_marks) {}

    // Copies the entries of from into to; with merge, as overlay changes onto what to holds.
    void copy_entries(int from, int to, const std::string &relative, bool merge) {
        for (const std::string &name : names_in(from, shown(relative))) {
            std::string inner = relative;
            if (!inner.empty()) {
                inner += "/";
            }
            inner += name;
            struct stat info {};
            if (fstatat(from, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
                refuse("look at", shown(inner));
            }
            if (merge && !merge_entry(from, to, name, inner, info)) {
                continue;
            }
            copy_entry(from, to, name, inner, info);
        }
    }

    // Copies the attributes of directory from onto to, after what it holds.
    void finish_directory(int from, int to, const struct stat &info,
                          const std::string &relative) const {
        copy_attributes(from, to, overlay_marks_, shown(relative));
        copy_metadata(to, info, shown(relative));
        copy_times(to, info, shown(relative));
    }

private:
    static std::string shown(const std::string &relative) { return "'" + relative + "'"; }

    // Prepares to for name from the changes; false when nothing is left to copy.
    bool merge_entry(int from, int to, const std::string &name, const std::string &relative,
                     const struct stat &info) {
        if (is_whiteout(info)) {
            remove_entry(to, name, shown(relative));
            return false;
        }
        struct stat there {};
        if (fstatat(to, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                return true;
            }
            refuse("look at", shown(relative));
        }
        if (S_ISDIR(info.st_mode) && S_ISDIR(there.st_mode)) {
            const OwnedFd source = open_directory(from, name, info, relative);
            if (!is_opaque(source.get())) {
                const OwnedFd target(openat(to, name.c_str(), kDirectoryFlags));
                if (!target.valid()) {
                    refuse("open", shown(relative));
                }
                copy_entries(source.get(), target.get(), relative, true);
                finish_directory(source.get(), target.get(), info, relative);
                return false;
            }
        }
        remove_entry(to, name, shown(relative));
        return true;
    }

    // Opens directory name of from, checking that it is the one that was looked at.
    static OwnedFd open_directory(int from, const std::string &name, const struct stat &info,
                                  const std::string &relative) {
        OwnedFd source(openat(from, name.c_str(), kDirectoryFlags));
        struct stat opened {};
        if (!source.valid() || fstat(source.get(), &opened) != 0 || opened.st_ino != info.st_ino ||
            opened.st_dev != info.st_dev) {
            refuse("open", "'" + relative + "'");
        }
        return source;
    }

    void copy_entry(int from, int to, const std::string &name, const std::string &relative,
                    const struct stat &info) {
        const std::string path = shown(relative);
        if (S_ISDIR(info.st_mode)) {
            const OwnedFd source = open_directory(from, name, info, relative);
            if (mkdirat(to, name.c_str(), 0700) != 0) {
                refuse("make", path);
            }
            const OwnedFd target(openat(to, name.c_str(), kDirectoryFlags));
            if (!target.valid()) {
                refuse("open", path);
            }
            copy_entries(source.get(), target.get(), relative, false);
            finish_directory(source.get(), target.get(), info, relative);
        } else if (S_ISREG(info.st_mode)) {
            copy_file(from, to, name, relative, info);
        } else if (S_ISLNK(info.st_mode)) {
            std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
            const ssize_t length = readlinkat(from, name.c_str(), target.data(), target.size());
            if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
                refuse("read the link", path);
            }
            target.resize(static_cast<std::size_t>(length));
            if (symlinkat(target.c_str(), to, name.c_str()) != 0 ||
                fchownat(to, name.c_str(), info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
                refuse("make the link", path);
            }
            const timespec times[2] = {info.st_atim, info.st_mtim};
            utimensat(to, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
        } else {
            // Device nodes, whiteouts among them, pipes and sockets: made anew, never opened.
            if (mknodat(to, name.c_str(), info.st_mode & (S_IFMT | 0600), info.st_rdev) != 0) {
                refuse("make", path);
            }
            const OwnedFd made(openat(to, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            const std::string proc = "/proc/self/fd/" + std::to_string(made.get());
            if (!made.valid() ||
                fchownat(to, name.c_str(), info.st_uid, info.st_gid, AT_SYMLINK_NOFOLLOW) != 0 ||
                chmod(proc.c_str(), info.st_mode & 07777) != 0) {
                refuse("set the owner and mode of", path);
            }
            const timespec times[2] = {info.st_atim, info.st_mtim};
            utimensat(to, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
        }
    }

    void copy_file(int from, int to, const std::string &name, const std::string &relative,
                   const struct stat &info) {
        const std::string path = shown(relative);
        const std::pair<dev_t, ino_t> key{info.st_dev, info.st_ino};
        if (info.st_nlink > 1) {
            const auto linked = links_.find(key);
            if (linked != links_.end()) {
                if (linkat(linked->second.first.get(), linked->second.second.c_str(), to,
                           name.c_str(), 0) != 0) {
                    refuse("link", path);
                }
                return;
            }
        }
        const OwnedFd source(
            openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat opened {};
        if (!source.valid() || fstat(source.get(), &opened) != 0 || !S_ISREG(opened.st_mode) ||
            opened.st_ino != info.st_ino || opened.st_dev != info.st_dev) {
            refuse("open", path);
        }
        const OwnedFd target(
            openat(to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!target.valid()) {
            refuse("make", path);
        }
        copy_data(source.get(), target.get(), path);
        copy_attributes(source.get(), target.get(), overlay_marks_, path);
        copy_metadata(target.get(), info, path);
        copy_times(target.get(), info, path);
        if (info.st_nlink > 1) {
            // The directory's descriptor is kept so that the next name of the file is linked
            // to it there, without resolving a path again.
            const int directory = fcntl(to, F_DUPFD_CLOEXEC, 0);
            if (directory < 0) {
                refuse("keep the directory of", path);
            }
            links_.emplace(key, std::make_pair(OwnedFd(directory), name));
        }
    }

    bool overlay_marks_;
    std::map<std::pair<dev_t, ino_t>, std::pair<OwnedFd, std::string>> links_;
};

OwnedFd open_root(const std::string &path, struct stat &info_out) {
    OwnedFd root(open(path.c_str(), kDirectoryFlags));
    if (!root.valid() || fstat(root.get(), &info_out) != 0) {
        refuse("open", path);
    }
    return root;
}

}  // namespace

void copy_tree(const std::string &from, const std::string &to) {
    const std::string temporary = to + ".partial";
    struct stat info {};
    const OwnedFd source = open_root(from, info);
    const std::filesystem::path folder = std::filesystem::path(temporary).parent_path();
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    const OwnedFd parent(open(folder.c_str(), kDirectoryFlags));
    const std::string leaf = std::filesystem::path(temporary).filename();
    if (!parent.valid()) {
        refuse("open the folder of", temporary);
    }
    remove_entry(parent.get(), leaf, temporary);
    if (mkdirat(parent.get(), leaf.c_str(), 0700) != 0) {
        refuse("make", temporary);
    }
    try {
        const OwnedFd target(openat(parent.get(), leaf.c_str(), kDirectoryFlags));
        if (!target.valid()) {
            refuse("open", temporary);
        }
        TreeCopy copy(true);
        copy.copy_entries(source.get(), target.get(), "", false);
        copy.finish_directory(source.get(), target.get(), info, "");
        if (rename(temporary.c_str(), to.c_str()) != 0) {
            refuse("rename", temporary);
        }
    } catch (const Refusal &) {
        try {
            remove_entry(parent.get(), leaf, temporary);
        } catch (const Refusal &) {
            // The copy's refusal says more; a later copy removes what is left first.
        }
        throw;
    }
}

void apply_changes(const std::string &changes, const std::string &onto) {
    struct stat info {};
    const OwnedFd source = open_root(changes, info);
    struct stat ignored {};
    const OwnedFd target = open_root(onto, ignored);
    TreeCopy copy(false);
    copy.copy_entries(source.get(), target.get(), "", true);
    copy.finish_directory(source.get(), target.get(), info, "");
}

}  // namespace zor
