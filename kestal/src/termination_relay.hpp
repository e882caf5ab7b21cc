// The relay thread, which runs the callbacks, and the signal handler that wakes it.
#pragma once

#include <ctime>

namespace kestal::termination {

// Creates the active channel and starts a relay thread on it. Returns 0, or -1 when the
// channel could not be created or the thread not started ("pthread_create: error %d").
int start_relay() noexcept;

// Stops the relay thread, if one runs, and releases the channel. A callback that is running
// completes first; called from a callback, the relay ends once that callback has returned.
// Always returns 0.
int stop_thread() noexcept;

// The two time stamps as the handler and the relay last wrote them (either may be null),
// and the clock they are taken with.
void read_time_stamps(timespec *start, timespec *end) noexcept;
void set_clock(int clock) noexcept;

// Installs the facility's handler for signo (empty mask, SA_RESTART), or restores the default
// action (empty mask, no flags). Failures are not reported.
void install_handler(int signo) noexcept;
void restore_default_action(int signo) noexcept;

}  // namespace kestal::termination
