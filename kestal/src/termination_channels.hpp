// The two channels between the signal handler and the relay thread, and what they share.
#pragma once

#include <kestal.h>

#include <signal.h>

namespace kestal::termination {

// Highest signal number the fixed tables can hold; the platform's SIGRTMAX never exceeds it.
constexpr int kSignalLimit = _NSIG - 1;
constexpr int kPipeChannel = 0;
constexpr int kSemChannel = 1;

// SIGRTMAX as the tables can hold it.
int max_signal() noexcept;
bool is_signal_number(int signo) noexcept;

// The commufunc entry the facility uses: kSemChannel unless a test chose another. Changed only
// while no relay runs; the signal handler reads it, so it is atomic.
const kestal_termination_channel &active_channel() noexcept;
void select_channel(int index) noexcept;

// Marks a sender (a signal handler, mostly) as inside a channel's send, so that a finish can
// wait until no sender still holds the channel it is about to free. Senders are counted per
// phase; a finish opens a new phase and waits only for the senders of the old one, so a
// steady stream of new senders cannot hold it up.
class SendGuard {
public:
    SendGuard() noexcept;
    ~SendGuard();
    SendGuard(const SendGuard &) = delete;
    SendGuard &operator=(const SendGuard &) = delete;

private:
    unsigned phase_;
};
// Returns once every sender that may have loaded the channel before this call has left its
// send. A finish calls it after unpublishing the channel: senders that load the channel later
// find none, or the next one.
void wait_for_senders() noexcept;

// In the child after fork(): no sender of the parent's other threads exists there, so none
// is waited for.
void forget_senders() noexcept;

// perror() for signal context: "prefix: description\n" in one write(2) to standard error,
// without stdio, locale or allocation.
void report_error_signal_safe(const char *prefix, int error) noexcept;

// The semaphore channel keeps a count of pending signals per number, across channels.
// Takes one pending signal, visiting the numbers in turn; 0 when none is pending.
int claim_pending() noexcept;
// Forgets the signals of signo still pending, for a number whose callback is new.
void discard_pending(int signo) noexcept;

int pipeInit() noexcept;
int pipeRecv(int *signo) noexcept;
int pipeSend(int *signo) noexcept;
int pipeFinish() noexcept;

int semInit() noexcept;
int semRecv(int *signo) noexcept;
int semSend(int *signo) noexcept;
int semFinish() noexcept;

}  // namespace kestal::termination
