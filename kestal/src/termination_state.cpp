// The facility's process-wide state, and its exported names as aliases of it.
//
// An alias and its target are one object inside the library, so a program that reads the
// exported names through the library's own definition sees the library's values. A program
// that defines one of the names itself keeps its own object: the library never refers to it.
#define KESTAL_TERMINATION_STATE
#include "termination_state.hpp"

#include "termination_channels.hpp"

#include <ctime>

extern "C" {

const kestal_termination_channel kestal_state_channels[2] = {
    {kestal::termination::pipeInit, kestal::termination::pipeRecv, kestal::termination::pipeSend,
     kestal::termination::pipeFinish, "pipe"},
    {kestal::termination::semInit, kestal::termination::semRecv, kestal::termination::semSend,
     kestal::termination::semFinish, "sem"},
};
sem_t *kestal_state_sem = nullptr;
int kestal_state_signo_for_sem = 0;
int *kestal_state_pipefd = nullptr;
pthread_t kestal_state_tid;
int kestal_state_clockid = CLOCK_PROCESS_CPUTIME_ID;
struct timespec kestal_state_tp_start = {0, 0};
struct timespec kestal_state_tp_end = {0, 0};

extern const kestal_termination_channel commufunc[2]
    __attribute__((alias("kestal_state_channels")));
extern sem_t *sem __attribute__((alias("kestal_state_sem")));
extern int signo_for_sem __attribute__((alias("kestal_state_signo_for_sem")));
extern int *pipefd __attribute__((alias("kestal_state_pipefd")));
extern pthread_t tid __attribute__((alias("kestal_state_tid")));
extern int clockid __attribute__((alias("kestal_state_clockid")));
extern struct timespec tp_start __attribute__((alias("kestal_state_tp_start")));
extern struct timespec tp_end __attribute__((alias("kestal_state_tp_end")));

}  // extern "C"
