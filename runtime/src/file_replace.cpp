// Writing a file whole.
#include "file_replace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zor {

int replace_file(const std::string &path, const std::string &text, mode_t mode) {
    const std::string temporary = path + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return errno;
    }
    int error = 0;
    std::size_t done = 0;
    while (error == 0 && done < text.size()) {
        const ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            error = wrote < 0 ? errno : EIO;
        } else {
            done += static_cast<std::size_t>(wrote);
        }
    }
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        std::remove(temporary.c_str());
    }
    return error;
}

}  // namespace zor
