// The channel table and what both channels share: the guard against freeing a channel under
// a signal handler, and error reports that a signal handler may make.
#include "termination_channels.hpp"

#include "termination_state.hpp"

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace kestal::termination {

namespace {

std::atomic<int> active_index{kSemChannel};
// The current phase of senders and how many senders of each parity are inside a send.
std::atomic<unsigned> send_phase{0};
std::atomic<int> senders_in_phase[2];

char *append(char *at, const char *end, const char *text) noexcept {
    while (at < end && *text != '\0') {
        *at++ = *text++;
    }
    return at;
}

}  // namespace

int max_signal() noexcept {
    const int platform = SIGRTMAX;
    return platform < kSignalLimit ? platform : kSignalLimit;
}

bool is_signal_number(int signo) noexcept {
    return signo >= 1 && signo <= max_signal();
}

const kestal_termination_channel &active_channel() noexcept {
    return kestal_state_channels[active_index.load(std::memory_order_acquire)];
}

void select_channel(int index) noexcept {
    if (index == kPipeChannel || index == kSemChannel) {
        active_index.store(index, std::memory_order_release);
    }
}

// All sequentially consistent: a sender that counts itself in a phase and then still sees
// that phase current is either waited for by the finish that ends the phase, or loads the
// channel after that finish unpublished it.
SendGuard::SendGuard() noexcept {
    for (;;) {
        phase_ = send_phase.load(std::memory_order_seq_cst);
        senders_in_phase[phase_ & 1].fetch_add(1, std::memory_order_seq_cst);
        if (send_phase.load(std::memory_order_seq_cst) == phase_) {
            return;
        }
        // A finish began a phase meanwhile and may not wait for this count: count again.
        senders_in_phase[phase_ & 1].fetch_sub(1, std::memory_order_seq_cst);
    }
}

SendGuard::~SendGuard() {
    senders_in_phase[phase_ & 1].fetch_sub(1, std::memory_order_seq_cst);
}

void wait_for_senders() noexcept {
    const unsigned ended = send_phase.fetch_add(1, std::memory_order_seq_cst);
    // A sender is a signal handler in the middle of a few instructions; it is only ever
    // waited for while it runs on another thread, so yielding lets it finish.
    while (senders_in_phase[ended & 1].load(std::memory_order_seq_cst) != 0) {
        sched_yield();
    }
}

void forget_senders() noexcept {
    senders_in_phase[0].store(0, std::memory_order_seq_cst);
    senders_in_phase[1].store(0, std::memory_order_seq_cst);
}

void report_error_signal_safe(const char *prefix, int error) noexcept {
    // strerrordesc_np only looks the text up in a table: unlike strerror it neither
    // translates nor formats, so it is safe in a signal handler.
    const char *description = strerrordesc_np(error);
    char line[160];
    const char *const end = line + sizeof line - 1;
    char *at = append(line, end, prefix);
    at = append(at, end, ": ");
    at = append(at, end, description != nullptr ? description : "Unknown error");
    *at++ = '\n';
    (void)!write(STDERR_FILENO, line, static_cast<std::size_t>(at - line));
}

}  // namespace kestal::termination
