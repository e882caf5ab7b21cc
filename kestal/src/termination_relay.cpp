// The relay thread and the signal handler.
//
// The handler only stamps the time and hands the signal number to the channel; the relay
// thread receives it and runs the callback. The relay is stopped by a wake-up, never by
// cancellation: it looks at its generation before every receive, so a stop lets a running
// callback complete and ends the relay before it starts another one.
#include "termination_relay.hpp"

#include "callback_table.hpp"
#include "termination_channels.hpp"
#include "termination_state.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace kestal::termination {

namespace {

// Advanced by every stop. A relay thread runs while the generation it was started with is
// the current one.
std::atomic<unsigned> relay_generation{1};
// A relay has been started and not yet joined or detached; replaces probing a thread handle
// that may already have been joined.
std::atomic<bool> relay_running{false};
// The generation of the relay running on this thread; 0 on every other thread.
thread_local unsigned this_relay_generation = 0;

// Handler and relay write the stamps from different threads, member by member with atomic
// stores; a reader may see the seconds of one stamp beside the nanoseconds of the next.
void stamp(timespec *target) noexcept {
    timespec now{};
    const auto clock =
        static_cast<clockid_t>(__atomic_load_n(&kestal_state_clockid, __ATOMIC_RELAXED));
    if (clock_gettime(clock, &now) != 0) {
        return;
    }
    __atomic_store_n(&target->tv_sec, now.tv_sec, __ATOMIC_RELAXED);
    __atomic_store_n(&target->tv_nsec, now.tv_nsec, __ATOMIC_RELAXED);
}

// Called in the child after fork(): only the forking thread exists there, so the relay the
// parent runs is not this process's. It is forgotten (never woken, never joined), and the
// channel copy goes with it, so that a signal in the child neither waits on a semaphore
// nobody takes nor reaches the parent through a shared pipe; the signal stays counted and
// the child's next registration starts a relay and a channel of its own.
void forget_relay_after_fork() {
    relay_running.store(false, std::memory_order_seq_cst);
    relay_generation.fetch_add(1, std::memory_order_seq_cst);
    this_relay_generation = 0;
    forget_senders();
    (void)active_channel().finish();
}

void signal_handler(int signo) {
    const int saved_errno = errno;
    stamp(&kestal_state_tp_start);
    int number = signo;
    (void)active_channel().send(&number);
    errno = saved_errno;
}

void *thread_func(void *arg) {
    const auto generation = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(arg));
    this_relay_generation = generation;
    const kestal_termination_channel &channel = active_channel();
    while (relay_generation.load(std::memory_order_seq_cst) == generation) {
        int signo = 0;
        if (channel.recv(&signo) == -1) {
            break;
        }
        if (signo == 0) {
            continue;  // a wake-up that brought no signal: a stop, or one post too many
        }
        stamp(&kestal_state_tp_end);
        const kestal_termination_callback *record = callback_slot(signo);
        if (record == nullptr) {
            continue;
        }
        // Read before the call: a callback may unregister, and so free, its own record.
        const kestal_termination_fn callback = record->callback;
        void *const data = record->data;
        if (callback != nullptr) {
            callback(signo, data);
        }
    }
    return nullptr;
}

}  // namespace

int start_relay() noexcept {
    static const int at_fork = pthread_atfork(nullptr, nullptr, forget_relay_after_fork);
    (void)at_fork;
    const kestal_termination_channel &channel = active_channel();
    if (channel.init() == -1) {
        return -1;
    }
    const unsigned generation = relay_generation.load(std::memory_order_seq_cst);
    // Set before the thread exists, so that the thread may stop itself from a callback.
    relay_running.store(true, std::memory_order_seq_cst);
    // The generation travels in the thread argument itself, so nothing is allocated for it.
    const int error = pthread_create(&kestal_state_tid, nullptr, thread_func,
                                     reinterpret_cast<void *>(  // NOLINT(performance-no-int-to-ptr)
                                         static_cast<std::uintptr_t>(generation)));
    if (error != 0) {
        relay_running.store(false, std::memory_order_seq_cst);
        std::fprintf(stderr, "pthread_create: error %d\n", error);
        return -1;
    }
    return 0;
}

int stop_thread() noexcept {
    if (relay_running.load(std::memory_order_seq_cst)) {
        const unsigned stopped = relay_generation.fetch_add(1, std::memory_order_seq_cst);
        if (this_relay_generation == stopped) {
            // Called from a callback on the relay itself, which cannot wait for itself: it is
            // let go, and ends when the callback returns, before it touches a channel again.
            const int error = pthread_detach(pthread_self());
            if (error != 0) {
                std::fprintf(stderr, "pthread_detach: error %d\n", error);
            }
        } else {
            int wake_up = 0;
            (void)active_channel().send(&wake_up);
            const int error = pthread_join(kestal_state_tid, nullptr);
            if (error != 0) {
                std::fprintf(stderr, "pthread_join: error %d\n", error);
            }
        }
        relay_running.store(false, std::memory_order_seq_cst);
    }
    (void)active_channel().finish();
    return 0;
}

void read_time_stamps(timespec *start, timespec *end) noexcept {
    if (start != nullptr) {
        start->tv_sec = __atomic_load_n(&kestal_state_tp_start.tv_sec, __ATOMIC_RELAXED);
        start->tv_nsec = __atomic_load_n(&kestal_state_tp_start.tv_nsec, __ATOMIC_RELAXED);
    }
    if (end != nullptr) {
        end->tv_sec = __atomic_load_n(&kestal_state_tp_end.tv_sec, __ATOMIC_RELAXED);
        end->tv_nsec = __atomic_load_n(&kestal_state_tp_end.tv_nsec, __ATOMIC_RELAXED);
    }
}

void set_clock(int clock) noexcept {
    __atomic_store_n(&kestal_state_clockid, clock, __ATOMIC_RELAXED);
}

void install_handler(int signo) noexcept {
    struct sigaction action {};
    action.sa_handler = signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    (void)sigaction(signo, &action, nullptr);
}

void restore_default_action(int signo) noexcept {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    (void)sigaction(signo, &action, nullptr);
}

}  // namespace kestal::termination
