// The relay thread and the signal handler.
//
// The handler only stamps the time and hands the signal number to the channel; the relay
// thread receives it and runs the callback. The relay is stopped by a wake-up, never by
// cancellation: it looks at its generation before every receive, so a stop lets a running
// callback complete and ends the relay before it starts another one.
#define KESTAL_TERMINATION_STATE
#include "termination_relay.hpp"

#include "callback_table.hpp"
#include "termination_channels.hpp"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

extern "C" {

pthread_t tid;
int clockid = CLOCK_PROCESS_CPUTIME_ID;
struct timespec tp_start = {0, 0};
struct timespec tp_end = {0, 0};

}  // extern "C"

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
    const auto clock = static_cast<clockid_t>(__atomic_load_n(&clockid, __ATOMIC_RELAXED));
    if (clock_gettime(clock, &now) != 0) {
        return;
    }
    __atomic_store_n(&target->tv_sec, now.tv_sec, __ATOMIC_RELAXED);
    __atomic_store_n(&target->tv_nsec, now.tv_nsec, __ATOMIC_RELAXED);
}

void signal_handler(int signo) {
    const int saved_errno = errno;
    stamp(&tp_start);
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
        stamp(&tp_end);
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
    const kestal_termination_channel &channel = active_channel();
    if (channel.init() == -1) {
        return -1;
    }
    const unsigned generation = relay_generation.load(std::memory_order_seq_cst);
    // Set before the thread exists, so that the thread may stop itself from a callback.
    relay_running.store(true, std::memory_order_seq_cst);
    // The generation travels in the thread argument itself, so nothing is allocated for it.
    const int error = pthread_create(&tid, nullptr, thread_func,
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
            const int error = pthread_join(tid, nullptr);
            if (error != 0) {
                std::fprintf(stderr, "pthread_join: error %d\n", error);
            }
        }
        relay_running.store(false, std::memory_order_seq_cst);
    }
    (void)active_channel().finish();
    return 0;
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
