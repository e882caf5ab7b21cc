// The main process of a started container: a real process in a session of its own that
// waits until it is ended, and what /proc says about it.
#pragma once

#include "state_store.hpp"

#include <string>

namespace standin {

// What /proc/PID/stat says about a process.
struct ProcessStat {
    char state = '?';  // R, S, D, T, t, Z, X, ...
    unsigned long long user_ticks = 0;
    unsigned long long system_ticks = 0;
    unsigned long long start_time = 0;  // clock ticks after boot
    pid_t session = 0;
};

// Reads /proc/PID/stat; false when there is no such process.
bool read_process_stat(pid_t pid, ProcessStat &stat);

// True while the recorded process exists, is the one that was started (same start time)
// and has not ended (a zombie that nobody has reaped yet counts as ended).
bool is_alive(const MainProcess &process);

// The status number of a container with this main process: 0 stopped, 1 running,
// 2 suspended.
int status_number(const MainProcess &process);

// Starts a main process and returns once it runs in its own session with no descriptor of
// its starter: a caller that reads the tool's output through a pipe is not kept waiting.
MainProcess start_main_process();

// Ends the process (SIGTERM, after a bounded wait SIGKILL); refuses with kWrongState when it
// outlives both. A process that is no longer the recorded one is left alone.
void end_main_process(const MainProcess &process);

// Stops and continues the process, and waits (bounded) until /proc shows it so.
void suspend_main_process(const MainProcess &process);
void resume_main_process(const MainProcess &process);

// Ends every main process recorded in the state directory (for test sessions and scripts
// that must leave nothing running); returns how many it ended.
int end_recorded_main_processes(const std::string &directory);

}  // namespace standin
