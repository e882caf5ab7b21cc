// What a process uses, from /proc/PID/stat and /proc/PID/status.
#pragma once

#include <sys/types.h>

#include <string>

namespace standin {

struct ProcessUsage {
    long long cpu_milliseconds = 0;  // user and system processor time
    long long resident_kib = 0;      // VmRSS
    long long swap_kib = 0;          // VmSwap
    std::string cores;               // Cpus_allowed_list, e.g. "0-3"
};

// False when the process does not exist (or has ended).
bool read_process_usage(pid_t pid, ProcessUsage &usage);

}  // namespace standin
