// The semaphore channel: the handler counts the signal and posts, the relay waits and takes.
//
// One shared number slot would let two signals that arrive before the relay wakes both read
// as the later one. Each signal number has its own pending count instead, and every receive
// takes one signal that is counted. The counts outlive a channel, so signals that arrive while
// the relay is being replaced are taken by the next channel rather than lost.
//
// Why nothing is lost: the handler counts before it posts, and the relay waits only after a
// search found nothing pending. A signal counted after that search posts after it too, so the
// wait returns.
#include "termination_channels.hpp"
#include "termination_state.hpp"

#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kestal::termination {

namespace {

// Lock-free atomics: the only shared state a signal handler may change.
std::atomic<unsigned> pending[kSignalLimit + 1];
// Where the next search starts: taking the numbers in turn keeps a signal that arrives all
// the time from holding back the others.
std::atomic<int> next_claim{1};

static_assert(std::atomic<unsigned>::is_always_lock_free, "counts must be async-signal-safe");

// The semaphore pointer is read by signal handlers while a finish clears it.
sem_t *published() noexcept {
    return __atomic_load_n(&kestal_state_sem, __ATOMIC_SEQ_CST);
}

}  // namespace

int claim_pending() noexcept {
    const int limit = max_signal();
    int start = next_claim.load(std::memory_order_relaxed);
    if (start < 1 || start > limit) {
        start = 1;
    }
    for (int step = 0; step < limit; ++step) {
        const int signo = (start - 1 + step) % limit + 1;
        unsigned count = pending[signo].load(std::memory_order_acquire);
        while (count != 0) {
            if (pending[signo].compare_exchange_weak(count, count - 1, std::memory_order_acquire)) {
                next_claim.store(signo % limit + 1, std::memory_order_relaxed);
                return signo;
            }
        }
    }
    return 0;
}

void discard_pending(int signo) noexcept {
    if (is_signal_number(signo)) {
        pending[signo].store(0, std::memory_order_relaxed);
    }
}

int semInit() noexcept {
    if (published() != nullptr) {
        return -1;
    }
    auto *created = static_cast<sem_t *>(std::malloc(sizeof(sem_t)));
    if (created == nullptr) {
        return -1;
    }
    const int result = sem_init(created, 0, 0);
    if (result != 0) {
        std::perror("sem_init");
        std::free(created);
        return result;
    }
    __atomic_store_n(&kestal_state_sem, created, __ATOMIC_SEQ_CST);
    return 0;
}

// The shape of every channel's send, fixed by the channel table, takes a non-const pointer.
int semSend(int *signo) noexcept {  // NOLINT(readability-non-const-parameter)
    if (signo == nullptr) {
        return -1;
    }
    const SendGuard guard;
    const int number = *signo;
    __atomic_store_n(&kestal_state_signo_for_sem, number, __ATOMIC_RELAXED);
    // Counted before the semaphore is loaded: with no semaphore, the next channel takes it.
    if (is_signal_number(number)) {
        pending[number].fetch_add(1, std::memory_order_seq_cst);
    }
    sem_t *const target = published();
    if (target == nullptr) {
        return -1;
    }
    const int result = sem_post(target);
    if (result != 0) {
        report_error_signal_safe("sem_post", errno);
    }
    return result;
}

int semRecv(int *signo) noexcept {
    sem_t *const target = published();
    if (target == nullptr || signo == nullptr) {
        return -1;
    }
    // The counts say what arrived; the semaphore only wakes the relay. A pending signal is
    // taken without waiting (it may have been counted before this semaphore existed), and
    // one post is absorbed for it so that the semaphore does not grow.
    if (const int claimed = claim_pending(); claimed != 0) {
        while (sem_trywait(target) != 0 && errno == EINTR) {
        }
        *signo = claimed;
        return 0;
    }
    int result;
    // The relay thread takes signals too, and sem_wait is never restarted after a handler.
    while ((result = sem_wait(target)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        std::perror("sem_wait");
        *signo = 0;
        return result;
    }
    // 0 when the post came without a count: a stop, or a post whose count was taken early.
    *signo = claim_pending();
    return 0;
}

int semFinish() noexcept {
    sem_t *const target = __atomic_exchange_n(&kestal_state_sem, nullptr, __ATOMIC_SEQ_CST);
    if (target == nullptr) {
        return -1;
    }
    wait_for_senders();
    const int result = sem_destroy(target);
    if (result != 0) {
        std::perror("sem_destroy");
    }
    std::free(target);
    return result;
}

}  // namespace kestal::termination
