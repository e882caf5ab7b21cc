// Reading `create -f` files without following a link, blocking on a FIFO or growing on a
// device.
#include "configuration_file.hpp"

#include "refusal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace zor {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void refuse(const std::string &path, const std::string &why) {
    throw Refusal(kUsage, "configuration file '" + path + "' " + why);
}

}  // namespace

bool is_utf8(const std::string &text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = 0;
        unsigned long point = 0;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            point = lead & 0x1FU;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            point = lead & 0x0FU;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            point = lead & 0x07U;
        } else {
            return false;
        }
        if (text.size() - at < length) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0U) != 0x80U) {
                return false;
            }
            point = (point << 6U) | (next & 0x3FU);
        }
        const unsigned long smallest = length == 3 ? 0x800UL : length == 4 ? 0x10000UL : 0x80UL;
        if (point < smallest || point > 0x10FFFFUL || (point >= 0xD800UL && point <= 0xDFFFUL)) {
            return false;
        }
        at += length;
    }
    return true;
}

std::string read_configuration_text(const std::string &path) {
    // O_NONBLOCK: opening a FIFO without a writer returns at once instead of waiting, and the
    // file type is checked before the first read.
    const FileDescriptor file(
        open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        if (error == ENOENT) {
            throw Refusal(kNotFound, "cannot read configuration file '" + path + "': no such file");
        }
        refuse(path, error == ELOOP
                         ? std::string("is a symbolic link; give the file itself")
                         : "cannot be opened: " + std::generic_category().message(error));
    }
    struct stat info {};
    if (fstat(file.get(), &info) != 0) {
        refuse(path, "cannot be examined: " + std::generic_category().message(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        refuse(path, S_ISDIR(info.st_mode) ? "is a directory" : "is not a regular file");
    }
    if (info.st_size > static_cast<off_t>(kConfigurationLimit)) {
        refuse(path, "is larger than 64 KiB");
    }
    // One byte more than the limit is asked for, so that a file that grew since fstat is
    // still refused.
    std::string text(kConfigurationLimit + 1, '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = read(file.get(), &text[done], text.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            refuse(path, "cannot be read: " + std::generic_category().message(errno));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    if (done > kConfigurationLimit) {
        refuse(path, "is larger than 64 KiB");
    }
    text.resize(done);
    if (text.find('\0') != std::string::npos) {
        refuse(path, "holds a NUL byte");
    }
    if (!is_utf8(text)) {
        refuse(path, "is not valid UTF-8");
    }
    return text;
}

}  // namespace zor
