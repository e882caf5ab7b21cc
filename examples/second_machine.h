/*
 * second_machine.h - a second machine on the same host for the demo's migration: a runtime
 * state directory of its own (ZOR_RUNTIME_STATE), reached over 127.0.0.1, and the receiver
 * that waits there for the container in a process of its own.
 */
#ifndef SECOND_MACHINE_H
#define SECOND_MACHINE_H

#include "demo_report.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

/**
 * Makes the second machine's state directory, a new folder under TMPDIR (else /tmp), and
 * copies its path into state. Returns 1 when made.
 */
int demo_machine_make(char *state, size_t size);

/**
 * Makes the runtime's tools that the demo runs from now on work on the machine of state
 * directory state; NULL returns to the state directory the demo was started with.
 */
void demo_machine_use(const char *state);

/**
 * Introduces the machine of the state directory the demo was started with and the machine of
 * state to each other, as an operator would before a migration: each one's
 * `zor-sys trust show` goes into the other's `zor-sys trust add`. Returns 1 when done.
 */
int demo_machines_introduce(const char *state);

/** Removes the second machine's state directory with everything in it; 1 when gone. */
int demo_machine_remove(const char *state);

/**
 * Starts the receiver of container name on port, zor_sys_immigration_start in a child process
 * working on the machine of state, in a process group of its own. The child prints its step
 * line under the number reserved now, when the call returns. Returns the child's pid, or -1.
 */
pid_t demo_receiver_start(demo_report *report, const char *name, int32_t port, const char *state);

/**
 * Returns 1 once something listens on TCP port of this host; 0 when the receiver has ended
 * first or after timeout_ms.
 */
int demo_wait_listening(pid_t receiver, int32_t port, int timeout_ms);

/**
 * Waits for the receiver to end (after ending its process group when ended is 0: the move
 * failed and it would wait on for a sender) and counts its step as unexpected unless it
 * ended with success. Returns 1 when it succeeded.
 */
int demo_receiver_join(demo_report *report, pid_t receiver, int ended);

#endif /* SECOND_MACHINE_H */
