/*
 * termination_demo - shows termination callbacks at work.
 *
 * Registers a callback for SIGUSR1 and one for SIGUSR2, sends the first with raise() and the
 * second with kill() to the process itself, and shows that each callback ran once, on the
 * library's relay thread rather than on the thread that took the signal. Then it unregisters
 * both. Exit status 0 when all of that happened as it should, else 1.
 */
#define _GNU_SOURCE /* gettid */

#include <kestal.h>

#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

static const char kProgram[] = "termination-demo";
/* The interface through which the library announces the process to the container runtime. */
static const char kRuntimeInterface[] = "/proc/kestal";

/* What one callback saw; written on the relay thread, read by main after the semaphore. */
typedef struct sighting {
    const char *name;
    atomic_int calls;
    atomic_int thread;
    sem_t *done;
} sighting;

static void on_termination(int signo, void *data) {
    sighting *seen = data;
    atomic_store(&seen->thread, (int)gettid());
    atomic_fetch_add(&seen->calls, 1);
    printf("    callback for %s (signal %d) runs on thread %d\n", seen->name, signo, (int)gettid());
    (void)fflush(stdout);
    (void)sem_post(seen->done);
}

/* Waits at most five seconds for one callback to have run. */
static int wait_for_callback(sem_t *done) {
    struct timespec deadline;
    (void)clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    int result;
    while ((result = sem_timedwait(done, &deadline)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

static int expect(int condition, const char *what) {
    printf("%-60s %s\n", what, condition ? "yes" : "NO");
    return condition;
}

int main(void) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    kestal_log_open(kProgram, LOG_PERROR | LOG_PID, LOG_LOCAL5);

    sem_t done;
    if (sem_init(&done, 0, 0) != 0) {
        perror("sem_init");
        return 1;
    }
    sighting first = {"SIGUSR1", 0, 0, &done};
    sighting second = {"SIGUSR2", 0, 0, &done};
    const int main_thread = (int)gettid();
    printf("main thread: %d\n", main_thread);

    int ok = 1;
    kestal_termination_callback *one =
        kestal_termination_register_callback(SIGUSR1, on_termination, &first);
    kestal_termination_callback *two =
        kestal_termination_register_callback(SIGUSR2, on_termination, &second);
    ok &= expect(one != NULL && two != NULL, "registered callbacks for SIGUSR1 and SIGUSR2");

    if (one != NULL && two != NULL) {
        printf("raise(SIGUSR1)\n");
        (void)raise(SIGUSR1);
        ok &= expect(wait_for_callback(&done), "the SIGUSR1 callback ran");
        printf("kill(getpid(), SIGUSR2)\n");
        (void)kill(getpid(), SIGUSR2);
        ok &= expect(wait_for_callback(&done), "the SIGUSR2 callback ran");

        const int relay = atomic_load(&first.thread);
        printf("relay thread: %d\n", relay);
        ok &= expect(atomic_load(&first.calls) == 1 && atomic_load(&second.calls) == 1,
                     "each callback ran exactly once");
        ok &= expect(relay != 0 && relay != main_thread,
                     "the callbacks ran on a thread other than main");
        ok &= expect(atomic_load(&second.thread) == relay, "both ran on the same relay thread");
    }

    ok &= expect(kestal_termination_unregister_callback(one) == 0, "unregistered SIGUSR1");
    /* The last unregistration also withdraws the announcement, which can only be written
     * where a container runtime provides its interface. */
    const int withdrawn = access(kRuntimeInterface, W_OK) == 0 ? 0 : -1;
    const int result = kestal_termination_unregister_callback(two);
    printf("unregistering SIGUSR2, the last one, gives %d%s\n", result,
           withdrawn == 0 ? "" : " (no container runtime here to withdraw from)");
    ok &= expect(result == withdrawn, "unregistered SIGUSR2");

    (void)sem_destroy(&done);
    kestal_log_close();
    printf("%s: %s\n", kProgram,
           ok ? "callbacks ran on the relay thread, as they should"
              : "something went otherwise than it should");
    return ok ? 0 : 1;
}
