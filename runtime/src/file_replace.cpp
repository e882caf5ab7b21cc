// Writing a file whole.
#include "file_replace.hpp"

#include "owned_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zor {

int replace_file_at(int folder_fd, const std::string &name, const std::string &text, mode_t mode) {
    const std::string temporary = name + ".new";
    if (unlinkat(folder_fd, temporary.c_str(), 0) != 0 && errno != ENOENT) {
        return errno;
    }
    int error = 0;
    {
        const OwnedFd file(openat(folder_fd, temporary.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!file.valid()) {
            return errno;
        }
        std::size_t done = 0;
        while (error == 0 && done < text.size()) {
            const ssize_t wrote = write(file.get(), text.data() + done, text.size() - done);
            if (wrote < 0 && errno == EINTR) {
                continue;
            }
            if (wrote <= 0) {
                error = wrote < 0 ? errno : EIO;
            } else {
                done += static_cast<std::size_t>(wrote);
            }
        }
        if (error == 0 && fsync(file.get()) != 0) {
            error = errno;
        }
    }
    if (error == 0 && renameat(folder_fd, temporary.c_str(), folder_fd, name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(folder_fd, temporary.c_str(), 0);
    }
    return error;
}

int replace_file(const std::string &path, const std::string &text, mode_t mode) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const OwnedFd folder_fd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder_fd.valid()) {
        return errno;
    }
    return replace_file_at(folder_fd.get(), path.substr(slash + 1), text, mode);
}

}  // namespace zor
