// The text commands written to the container runtime's kernel interface.
#include "proc_kestal.hpp"

#include <kestal.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace kestal::termination {

namespace {

std::atomic<const char *> proc_kestal_path{kProcKestalPath};

}  // namespace

std::size_t format_command(Command command, const char *name, int pid,
                           char (&out)[kCommandSize]) noexcept {
    const int length = command == Command::announce
                           ? std::snprintf(out, sizeof out, "%s %d", name, pid)
                           : std::snprintf(out, sizeof out, "-d %s %d", name, pid);
    if (length < 0) {
        out[0] = '\0';
        return 0;
    }
    // Only a name longer than any the lookup yields could be cut; what fits is written.
    const auto formatted = static_cast<std::size_t>(length);
    return formatted < sizeof out ? formatted : sizeof out - 1;
}

int proc_kestal_write(const char *text, std::size_t length) noexcept {
    const int fd = open(proc_kestal_path.load(std::memory_order_acquire), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;  // no runtime interface here: registration goes on without it
    }
    int result = 0;
    if (write(fd, text, length) < 0) {
        std::perror("write");
        result = -1;
    }
    if (close(fd) != 0) {
        std::perror("close");
        result = -1;
    }
    return result;
}

int write_command(Command command) noexcept {
    char text[kCommandSize];
    const std::size_t length =
        format_command(command, get_container_name(), static_cast<int>(getpid()), text);
    return proc_kestal_write(text, length);
}

void set_proc_kestal_path(const char *path) noexcept {
    proc_kestal_path.store(path != nullptr ? path : kProcKestalPath, std::memory_order_release);
}

}  // namespace kestal::termination
