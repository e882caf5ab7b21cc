// Ownership and mode checks of the state directory and the files the runtime keeps in it.
#include "state_guard.hpp"

#include "refusal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace zor {

namespace {

// The runtime's own folders below the state directory: containers' files and base images.
// (zor-target makes incoming/ 0700 itself, and only while it receives.)
constexpr const char *kPrivateFolders[] = {"containers", "images"};

std::string errno_text(int error) {
    return std::generic_category().message(error);
}

// Why info makes path untrustworthy, or "" when it is trustworthy.
std::string distrust(const struct stat &info) {
    if (info.st_uid != geteuid()) {
        return "is owned by uid " + std::to_string(info.st_uid) + ", not by uid " +
               std::to_string(geteuid()) + " running the runtime";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "may be written by group or others (mode " +
               std::to_string((info.st_mode >> 6) & 7) + std::to_string((info.st_mode >> 3) & 7) +
               std::to_string(info.st_mode & 7) + ")";
    }
    return {};
}

[[noreturn]] void refuse_unsafe(const std::string &path, const std::string &why) {
    throw Refusal(kUnsafeState, "refusing the state in '" + path + "': it " + why);
}

// Makes folder name inside the state directory 0700, or tightens one of ours to 0700.
void make_private_folder(int directory, const std::string &path, const char *name) {
    if (mkdirat(directory, name, 0700) != 0 && errno != EEXIST) {
        throw Refusal(kStateFailure,
                      "cannot make '" + path + "/" + name + "': " + errno_text(errno));
    }
    struct stat info {};
    if (fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        throw Refusal(kStateFailure,
                      "cannot use '" + path + "/" + name + "': " + errno_text(errno));
    }
    if (!S_ISDIR(info.st_mode)) {
        refuse_unsafe(path + "/" + name, "is not a directory");
    }
    if (info.st_uid != geteuid()) {
        refuse_unsafe(path + "/" + name, distrust(info));
    }
    if ((info.st_mode & 077) != 0 && fchmodat(directory, name, 0700, 0) != 0) {
        throw Refusal(kStateFailure,
                      "cannot make '" + path + "/" + name + "' private: " + errno_text(errno));
    }
}

// Refuses path when a folder it lies in (after its links are resolved) could be changed by
// someone other than root and this user: owned by another user, or writable by group or
// others without the sticky bit (/tmp keeps its sticky bit, so it passes).
void check_folders_above(const std::string &path) {
    std::error_code error;
    const std::filesystem::path real =
        std::filesystem::canonical(std::filesystem::path(path).parent_path(), error);
    if (error) {
        throw Refusal(kStateFailure,
                      "cannot resolve the folder of '" + path + "': " + error.message());
    }
    for (std::filesystem::path folder = real;; folder = folder.parent_path()) {
        struct stat info {};
        if (stat(folder.c_str(), &info) != 0) {
            throw Refusal(kStateFailure,
                          "cannot look at '" + folder.string() + "': " + errno_text(errno));
        }
        const bool owner_trusted = info.st_uid == 0 || info.st_uid == geteuid();
        const bool shared =
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0;
        if (!owner_trusted || shared) {
            refuse_unsafe(path,
                          "lies in '" + folder.string() + "', which " +
                              (owner_trusted ? "group or others may write without the "
                                               "sticky bit"
                                             : "uid " + std::to_string(info.st_uid) + " owns"));
        }
        if (folder == folder.root_path()) {
            return;
        }
    }
}

}  // namespace

OwnedFd open_state_directory(const std::string &path) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) {
        const std::filesystem::path parent = std::filesystem::path(path).parent_path();
        std::error_code error;
        if (!parent.empty()) {
            std::filesystem::create_directories(parent, error);
        }
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            throw Refusal(kStateFailure,
                          "cannot make state directory '" + path + "': " + errno_text(errno));
        }
    }
    check_folders_above(path);
    OwnedFd directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory.valid()) {
        if (errno == ELOOP ||
            (errno == ENOTDIR && lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))) {
            refuse_unsafe(path, "is a symbolic link");
        }
        throw Refusal(kStateFailure,
                      "cannot open state directory '" + path + "': " + errno_text(errno));
    }
    if (fstat(directory.get(), &info) != 0) {
        throw Refusal(kStateFailure, "cannot use '" + path + "': " + errno_text(errno));
    }
    const std::string why = distrust(info);
    if (!why.empty()) {
        refuse_unsafe(path, why);
    }
    for (const char *folder : kPrivateFolders) {
        make_private_folder(directory.get(), path, folder);
    }
    return directory;
}

OwnedFd open_state_file(const std::string &directory, const std::string &name, int flags) {
    const OwnedFd folder = open_state_directory(directory);
    const std::string path = directory + "/" + name;
    OwnedFd file(openat(folder.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) {
        if (errno == ENOENT && (flags & O_CREAT) == 0) {
            return file;
        }
        struct stat info {};
        if (errno == ELOOP ||
            (fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
             S_ISLNK(info.st_mode))) {
            refuse_unsafe(path, "is a symbolic link");
        }
        throw Refusal(kStateFailure, "cannot open '" + path + "': " + errno_text(errno));
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
        throw Refusal(kStateFailure, "cannot use '" + path + "': " + errno_text(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        refuse_unsafe(path, "is not a regular file");
    }
    const std::string why = distrust(info);
    if (!why.empty()) {
        refuse_unsafe(path, why);
    }
    return file;
}

bool read_state_file(const std::string &directory, const std::string &name, std::string &text_out) {
    const OwnedFd file = open_state_file(directory, name, O_RDONLY | O_NONBLOCK);
    if (!file.valid()) {
        return false;
    }
    text_out.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            std::string message = "cannot read '" + directory;
            message += "/";
            message += name;
            message += "': ";
            message += errno_text(error);
            throw Refusal(kStateFailure, message);
        }
        if (got == 0) {
            return true;
        }
        text_out.append(buffer, static_cast<std::size_t>(got));
    }
}

void write_state_file(const std::string &directory, const std::string &name,
                      const std::string &text) {
    const OwnedFd folder = open_state_directory(directory);
    const std::string temporary = name + ".new";
    const std::string path = directory + "/" + name;
    if (unlinkat(folder.get(), temporary.c_str(), 0) != 0 && errno != ENOENT) {
        throw Refusal(kStateFailure, "cannot replace '" + path + "': " + errno_text(errno));
    }
    const OwnedFd file(openat(folder.get(), temporary.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool written = file.valid();
    std::size_t done = 0;
    while (written && done < text.size()) {
        const ssize_t wrote = write(file.get(), text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        written = wrote > 0;
        done += written ? static_cast<std::size_t>(wrote) : 0;
    }
    written = written && fsync(file.get()) == 0;
    if (!written || renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) {
        const int error = errno;
        unlinkat(folder.get(), temporary.c_str(), 0);
        throw Refusal(kStateFailure, "cannot write '" + path + "': " + errno_text(error));
    }
}

}  // namespace zor
