/*
 * kestal.h in strict ISO C11 with the facility's state declared, and without it in a file
 * whose own names would clash with that state.
 */
#define _POSIX_C_SOURCE 200809L
#define KESTAL_TERMINATION_STATE
#include <kestal.h>

#include <stddef.h>

#include "header_state_check.h"

int kestal_channel_member_order(void) {
    /* Members in the order init, recv, send, finish, name. */
    return offsetof(kestal_termination_channel, init) <
               offsetof(kestal_termination_channel, recv) &&
           offsetof(kestal_termination_channel, recv) <
               offsetof(kestal_termination_channel, send) &&
           offsetof(kestal_termination_channel, send) <
               offsetof(kestal_termination_channel, finish) &&
           offsetof(kestal_termination_channel, finish) <
               offsetof(kestal_termination_channel, name);
}

int kestal_state_from_c(void) {
    sem_t *const channel = sem;
    const int *const ends = pipefd;
    const struct timespec start = tp_start;
    const struct timespec end = tp_end;
    (void)tid;
    (void)channel;
    (void)ends;
    (void)start;
    (void)end;
    (void)signo_for_sem;
    return clockid;
}

const char *kestal_channel_name_from_c(int index) {
    return commufunc[index].name;
}
