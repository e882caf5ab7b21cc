// An application linked with libkestal.so.1 as any other: it defines the facility's eight
// exported names itself, and it forks while callbacks are registered.
#include <kestal.h>

#include "termination_support.hpp"

#include <gtest/gtest.h>

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

// The application's own objects under the library's exported names, with values of its own.
// They are exported from the program (ENABLE_EXPORTS), so a library that referred to these
// names would bind to them.
extern "C" {
__attribute__((visibility("default"))) pthread_t tid = 0;
__attribute__((visibility("default"))) sem_t *sem = nullptr;
__attribute__((visibility("default"))) int signo_for_sem = -7;
__attribute__((visibility("default"))) int *pipefd = nullptr;
__attribute__((visibility("default"))) int clockid = -9;
__attribute__((visibility("default"))) struct timespec tp_start = {11, 12};
__attribute__((visibility("default"))) struct timespec tp_end = {13, 14};
const kestal_termination_channel commufunc[2] = {};  // declared by kestal.h
}

namespace {

std::atomic<int> delivered{0};
std::atomic<bool> on_main_thread{true};
pthread_t main_thread;

void note(int signo, void *) {
    on_main_thread = pthread_equal(pthread_self(), main_thread) != 0;
    delivered = signo;
}

// Waits up to 10 s for the callback of signo.
bool delivered_within(int signo) {
    for (int i = 0; i < 1000 && delivered.load() != signo; ++i) {
        usleep(10000);
    }
    return delivered.load() == signo;
}

void expect_own_values_unchanged() {
    EXPECT_EQ(tid, static_cast<pthread_t>(0));
    EXPECT_EQ(sem, nullptr);
    EXPECT_EQ(signo_for_sem, -7);
    EXPECT_EQ(pipefd, nullptr);
    EXPECT_EQ(clockid, -9);
    EXPECT_EQ(tp_start.tv_sec, 11);
    EXPECT_EQ(tp_end.tv_nsec, 14);
    EXPECT_EQ(commufunc[1].name, nullptr);
}

TEST(ApplicationState, TheLibraryNeverTouchesTheApplicationsOwnObjects) {
    main_thread = pthread_self();
    delivered = 0;
    kestal_termination_set_clock(CLOCK_MONOTONIC);
    kestal_termination_callback *record =
        kestal_termination_register_callback(SIGUSR1, note, nullptr);
    ASSERT_NE(record, nullptr);
    ASSERT_EQ(raise(SIGUSR1), 0);
    ASSERT_TRUE(delivered_within(SIGUSR1));
    EXPECT_FALSE(on_main_thread.load());
    struct timespec start {};
    struct timespec end {};
    kestal_termination_get_time_stamps(&start, &end);
    // Monotonic stamps of one signal: taken, and the relay's not before the handler's.
    EXPECT_GT(start.tv_sec + start.tv_nsec, 0);
    EXPECT_TRUE(end.tv_sec > start.tv_sec ||
                (end.tv_sec == start.tv_sec && end.tv_nsec >= start.tv_nsec));
    kestal_termination_get_time_stamps(nullptr, nullptr);
    (void)kestal_termination_unregister_callback(record);
    expect_own_values_unchanged();
    kestal_termination_set_clock(CLOCK_PROCESS_CPUTIME_ID);
}

// The child of a process with a running relay has no relay thread: it registers, gets its
// signal on a relay of its own, and unregisters without waiting on the parent's thread.
TEST(ApplicationState, AForkedChildRunsARelayOfItsOwn) {
#if defined(KESTAL_TSAN)
    // ThreadSanitizer keeps the parent's relay registered in the child, and glibc may give the
    // child's new relay the same thread id: it then fails the child as a "dup thread".
    GTEST_SKIP() << "ThreadSanitizer cannot follow threads across fork";
#endif
    main_thread = pthread_self();
    kestal_termination_callback *inherited =
        kestal_termination_register_callback(SIGUSR1, note, nullptr);
    ASSERT_NE(inherited, nullptr);
    // The parent's relay is past its start (a sanitizer's allocator, unlike glibc's, may be
    // left locked in the child by a thread forked in the middle of starting).
    delivered = 0;
    ASSERT_EQ(raise(SIGUSR1), 0);
    ASSERT_TRUE(delivered_within(SIGUSR1));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a hang (a join on the parent's thread) ends the child as a failure
        main_thread = pthread_self();
        delivered = 0;
        kestal_termination_callback *own =
            kestal_termination_register_callback(SIGUSR2, note, nullptr);
        const bool registered = own != nullptr;
        const bool got = registered && raise(SIGUSR2) == 0 && delivered_within(SIGUSR2);
        const bool elsewhere = !on_main_thread.load();
        (void)kestal_termination_unregister_callback(own);
        (void)kestal_termination_unregister_callback(inherited);
        _exit(registered ? (got ? (elsewhere ? 0 : 3) : 2) : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no registration, 2: no signal, 3: not on a relay";
    // The parent's relay still serves it.
    delivered = 0;
    ASSERT_EQ(raise(SIGUSR1), 0);
    EXPECT_TRUE(delivered_within(SIGUSR1));
    (void)kestal_termination_unregister_callback(inherited);
}

}  // namespace
