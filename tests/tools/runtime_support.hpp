// Helpers of the stand-in runtime's tests: running command lines through the real shell,
// reading what /proc shows of a process, and finding a free loopback port.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace runtime_test {

struct Ran {
    int exit_status;  // -signal when ended by a signal
    std::string out;
    std::string err;
};

// Runs command through /bin/sh and collects its standard output and standard error.
Ran run(const std::string &command);

// The state letter of /proc/PID/stat ('R', 'S', 'T', 'Z', ...), or '-' when there is no
// such process.
char process_state(pid_t pid);

// The session id of the process (field 6 of /proc/PID/stat), or -1.
pid_t process_session(pid_t pid);

// True when the process is gone or has ended and waits to be reaped.
bool process_ended(pid_t pid);

// Waits (bounded) until process_ended(pid).
bool wait_ended(pid_t pid);

// A loopback TCP port that nothing listened on a moment ago.
int free_port();

// The entries of a null-terminated name list (none for a null list).
std::vector<std::string> names_of(char **list);

// The number of a "Name: value kB" line of /proc/PID/status, or -1.
long long proc_figure(pid_t pid, const std::string &name);

}  // namespace runtime_test
