// The facility's process-wide state as the library itself uses it.
//
// The library exports this state under the short names of kestal.h (sem, tid, clockid, ...),
// but an application may define those names too: its own `pthread_t tid = 0;` would take
// over every reference that the library makes through the exported name. The library's code
// therefore works only on the storage below, whose names are hidden and bind inside the
// library; the exported names are aliases of it (termination_state.cpp).
#pragma once

#include <kestal.h>

#include <pthread.h>
#include <semaphore.h>
#include <time.h>

#define KESTAL_INTERNAL __attribute__((visibility("hidden")))

extern "C" {

KESTAL_INTERNAL extern const kestal_termination_channel kestal_state_channels[2];
KESTAL_INTERNAL extern sem_t *kestal_state_sem;
KESTAL_INTERNAL extern int kestal_state_signo_for_sem;
KESTAL_INTERNAL extern int *kestal_state_pipefd;
KESTAL_INTERNAL extern pthread_t kestal_state_tid;
KESTAL_INTERNAL extern int kestal_state_clockid;
KESTAL_INTERNAL extern struct timespec kestal_state_tp_start;
KESTAL_INTERNAL extern struct timespec kestal_state_tp_end;

}  // extern "C"
