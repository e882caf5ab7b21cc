/* A second machine on the same host: its state directory and the receiver's process. */
#define _XOPEN_SOURCE 700 /* mkdtemp, nftw, setenv */

#include "second_machine.h"

#include <zorsys.h>

#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static const char kStateVariable[] = "ZOR_RUNTIME_STATE";

/* The sender's state directory, kept while the demo works on the second machine. */
static char g_first_state[4096];
static int g_first_saved;
static int g_first_set;

int demo_machine_make(char *state, size_t size) {
    const char *tmp = getenv("TMPDIR");
    if (snprintf(state, size, "%s/demo-receiver-XXXXXX",
                 tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp") >= (int)size) {
        return 0;
    }
    return mkdtemp(state) != NULL;
}

void demo_machine_use(const char *state) {
    if (!g_first_saved) {
        const char *first = getenv(kStateVariable);
        g_first_set = first != NULL;
        (void)snprintf(g_first_state, sizeof g_first_state, "%s", first != NULL ? first : "");
        g_first_saved = 1;
    }
    if (state != NULL) {
        (void)setenv(kStateVariable, state, 1);
    } else if (g_first_set) {
        (void)setenv(kStateVariable, g_first_state, 1);
    } else {
        (void)unsetenv(kStateVariable);
    }
}

/* Runs sh -c script with the two arguments $1 and $2; 1 when it exits 0. */
static int run_script(const char *script, const char *first, const char *second) {
    (void)fflush(NULL);
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", script, "sh", first, second, (char *)NULL);
        _exit(127);
    }
    int status = 0;
    pid_t waited = -1;
    do {
        waited = child > 0 ? waitpid(child, &status, 0) : -1;
    } while (waited < 0 && errno == EINTR);
    return waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int demo_machines_introduce(const char *state) {
    /* Through the same sudo as the library's calls; an empty state is the default one. */
    static const char kIntroduce[] =
        "one=$(ZOR_RUNTIME_STATE=\"$1\" sudo zor-sys trust show) && "
        "other=$(ZOR_RUNTIME_STATE=\"$2\" sudo zor-sys trust show) && "
        "ZOR_RUNTIME_STATE=\"$1\" sudo zor-sys trust add \"$other\" && "
        "ZOR_RUNTIME_STATE=\"$2\" sudo zor-sys trust add \"$one\"";
    const char *first = getenv(kStateVariable);
    return run_script(kIntroduce, first != NULL ? first : "", state);
}

static int remove_entry(const char *path, const struct stat *info, int kind, struct FTW *where) {
    (void)info;
    (void)where;
    return (kind == FTW_DP ? rmdir(path) : unlink(path)) == 0 ? 0 : -1;
}

int demo_machine_remove(const char *state) {
    /* Not across mounts: a mount left below it would be a fault to see, not to delete. */
    return nftw(state, remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT) == 0;
}

pid_t demo_receiver_start(demo_report *report, const char *name, int32_t port, const char *state) {
    const int step = demo_reserve_step(report);
    (void)fflush(NULL);
    const pid_t child = fork();
    if (child != 0) {
        if (child < 0) {
            demo_mark_unexpected(report);
        }
        return child;
    }
    /* Its own group, so that the demo can end the receiver with the tool it runs. */
    (void)setpgid(0, 0);
    (void)setenv(kStateVariable, state, 1);
    const int result = zor_sys_immigration_start(name, port);
    demo_print_step(step, result, 0, "zor_sys_immigration_start(\"%s\", %d)  [on the receiver]",
                    name, (int)port);
    (void)fflush(NULL);
    _exit(result == 0 ? 0 : 1);
}

/* 1 when a line of the kernel's socket table (/proc/net/tcp or tcp6) listens on port. */
static int table_listens(const char *table, int32_t port) {
    FILE *file = fopen(table, "r");
    if (file == NULL) {
        return 0;
    }
    char line[512];
    int found = 0;
    /* "  sl  local_address rem_address   st ...": address as hex ip:port, state 0A = LISTEN. */
    while (!found && fgets(line, sizeof line, file) != NULL) {
        char *next = NULL;
        (void)strtok_r(line, " ", &next); /* the slot */
        const char *local = strtok_r(NULL, " ", &next);
        (void)strtok_r(NULL, " ", &next); /* the remote address */
        const char *state = strtok_r(NULL, " ", &next);
        const char *colon = local != NULL ? strrchr(local, ':') : NULL;
        found = colon != NULL && state != NULL && strcmp(state, "0A") == 0 &&
                strtol(colon + 1, NULL, 16) == port;
    }
    fclose(file);
    return found;
}

/* 1 when the child receiver has ended (it is left to be waited for). */
static int receiver_ended(pid_t receiver) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    return waitid(P_PID, (id_t)receiver, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid != 0;
}

int demo_wait_listening(pid_t receiver, int32_t port, int timeout_ms) {
    /* Read in the kernel's tables, not by connecting: the receiver takes one sender only. */
    const struct timespec step = {0, 20L * 1000000L};
    for (int waited = 0; waited <= timeout_ms && !receiver_ended(receiver); waited += 20) {
        if (table_listens("/proc/net/tcp", port) || table_listens("/proc/net/tcp6", port)) {
            return 1;
        }
        (void)nanosleep(&step, NULL);
    }
    return 0;
}

int demo_receiver_join(demo_report *report, pid_t receiver, int ended) {
    if (receiver <= 0) {
        return 0;
    }
    if (!ended) {
        (void)kill(-receiver, SIGTERM);
    }
    int status = 0;
    pid_t waited = -1;
    do {
        waited = waitpid(receiver, &status, 0);
    } while (waited < 0 && errno == EINTR);
    const int succeeded = waited == receiver && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!succeeded) {
        demo_mark_unexpected(report);
    }
    return succeeded;
}
