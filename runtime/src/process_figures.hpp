// What one process uses, from /proc/PID/stat and /proc/PID/status.
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

// False when the process does not exist (or has ended and waits to be reaped).
bool read_process_figures(pid_t pid, ProcessFigures &figures);

// True when pid is a living process (not a zombie).
bool process_alive(pid_t pid);

}  // namespace zor
