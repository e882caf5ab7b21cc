// The announcement of the process to the container runtime's kernel interface.
#pragma once

#include <cstddef>

namespace kestal::termination {

constexpr const char *kProcKestalPath = "/proc/kestal";

// The container lookup reads at most 255 characters of a control-group line, so no name is
// longer; a process number has at most 11 characters ("-2147483648").
constexpr std::size_t kMaxContainerName = 255;
constexpr std::size_t kMaxNumberText = 11;
// "-d " name " " pid and the terminator: the longest command is never cut.
constexpr std::size_t kCommandSize = 3 + kMaxContainerName + 1 + kMaxNumberText + 1;

enum class Command {
    announce,  // "%s %d": name and process id, the process has callbacks
    withdraw,  // "-d %s %d": the process has none any more
};

// Formats command for the container name and process id into out. Returns its length.
std::size_t format_command(Command command, const char *name, int pid,
                           char (&out)[kCommandSize]) noexcept;

// Opens the kernel interface write-only, writes text in one write and closes it. Returns 0,
// or -1 when it could not be opened (silently) or the write or close failed (perror form).
int proc_kestal_write(const char *text, std::size_t length) noexcept;

// Formats command for this process and writes it. Returns the result of the write.
int write_command(Command command) noexcept;

// Points the facility at another file in place of /proc/kestal; null restores it. For tests:
// the kernel interface does not exist everywhere, and tests must not write to /proc.
void set_proc_kestal_path(const char *path) noexcept;

}  // namespace kestal::termination
