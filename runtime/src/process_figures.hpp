// What one process is and uses, from /proc/PID/stat and /proc/PID/status: the one reader of
// those files.
#pragma once

#include <sys/types.h>

#include <string>

namespace zor {

struct ProcessFigures {
    long long cpu_milliseconds = 0;  // user and system processor time
    long long resident_kib = 0;      // VmRSS
    long long swap_kib = 0;          // VmSwap
    std::string cores;               // Cpus_allowed_list, e.g. "0-3"
};

// The fields of /proc/PID/stat the runtime reads.
struct ProcessStat {
    char state = 'X';              // R, S, D, Z, X, ...
    unsigned long long ticks = 0;  // user and system processor time, in clock ticks
    unsigned long long start = 0;  // start time after boot, in clock ticks
};

// Parses the line of /proc/PID/stat; the command name in parentheses may hold blanks and
// parentheses, so fields are counted after its last closing parenthesis. False for a line
// that is not one.
bool parse_process_stat(const std::string &line, ProcessStat &stat);

// Reads /proc/PID/stat; false when the process does not exist.
bool read_process_stat(pid_t pid, ProcessStat &stat);

// The number a process has in the innermost PID namespace it belongs to (last NSpid field),
// or 0 when it is gone.
pid_t namespace_pid(pid_t pid);

// False when the process does not exist (or has ended and waits to be reaped).
bool read_process_figures(pid_t pid, ProcessFigures &figures);

// True when pid is a living process (not a zombie).
bool process_alive(pid_t pid);

}  // namespace zor
