/*
 * The migration part of the demo. The receiving machine is played by a child process whose
 * stand-in tools keep their state in a directory of its own; sender and receiver meet on a
 * port of the loopback interface.
 */
#define _XOPEN_SOURCE 700 /* mkdtemp, nftw, setenv */

#include "demo_flows.h"

#include "demo_names.h"
#include "demo_report.h"

#include <zorsys.h>

#include <arpa/inet.h>
#include <ftw.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

/* The variable that tells the stand-in tools where their containers live. */
static const char kStateVariable[] = "ZOR_STANDIN_STATE";

enum { STATUS_STOPPED = 0, STATUS_RUNNING = 1 };

int32_t demo_free_port(void) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int32_t port = -1;
    if (bind(fd, (struct sockaddr *)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr *)&address, &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

/* The process environment's state directory, so that it can be switched and restored. */
typedef struct saved_state {
    int was_set;
    char value[4096];
} saved_state;

static void switch_state(saved_state *saved, const char *directory) {
    const char *current = getenv(kStateVariable);
    saved->was_set = current != NULL;
    (void)snprintf(saved->value, sizeof saved->value, "%s", current != NULL ? current : "");
    (void)setenv(kStateVariable, directory, 1);
}

static void restore_state(const saved_state *saved) {
    if (saved->was_set) {
        (void)setenv(kStateVariable, saved->value, 1);
    } else {
        (void)unsetenv(kStateVariable);
    }
}

static int remove_entry(const char *path, const struct stat *info, int flag, struct FTW *where) {
    (void)info;
    (void)flag;
    (void)where;
    return remove(path);
}

/* Lists the system containers in the current state directory; 1 when name is among them. */
static int listed_here(demo_report *report, const char *name) {
    char **list = NULL;
    if (!demo_step(report, zor_sys_get_container_list(&list), 0,
                   "zor_sys_get_container_list(&list)")) {
        return -1;
    }
    demo_show_names(list);
    const int found = demo_has_name(list, name);
    if (list != NULL) {
        demo_step(report, zor_sys_release_container_list(list), 0,
                  "zor_sys_release_container_list(list)");
    }
    return found;
}

/*
 * In the receiver's state: the container is there and running a fresh main process; it is
 * stopped, its handle closed and the container destroyed, so nothing is left behind.
 */
static void retire_at_receiver(demo_report *report, const char *name) {
    demo_check(report, listed_here(report, name) == 1, "\"%s\" is listed at the receiver", name);
    zor_sys_handle *handle = zor_sys_open(name);
    demo_check(report, handle != NULL, "zor_sys_open(\"%s\") at the receiver", name);
    if (handle == NULL) {
        return;
    }
    demo_step(report, zor_sys_get_status(handle), STATUS_RUNNING,
              "zor_sys_get_status(handle)  [1: running]");
    int32_t pid = 0;
    demo_step(report, zor_sys_get_pid(handle, &pid), 0, "zor_sys_get_pid(handle, &pid)");
    demo_detail("pid = %d, the receiver's own main process", (int)pid);
    demo_step(report, zor_sys_stop(handle), 0, "zor_sys_stop(handle)");
    demo_step(report, zor_sys_get_status(handle), STATUS_STOPPED,
              "zor_sys_get_status(handle)  [0: stopped]");
    demo_step(report, zor_sys_close(handle), 0, "zor_sys_close(handle)");
    demo_step(report, zor_sys_destroy_container(name), 0, "zor_sys_destroy_container(\"%s\")",
              name);
}

/* The receiving machine: waits on port for the container and exits 0 once it has it. */
static void run_receiver(const char *directory, const char *name, int32_t port, int step) {
    (void)setenv(kStateVariable, directory, 1);
    const int code = zor_sys_immigration_start(name, port);
    demo_print_step(step, code, 0, "[receiver] zor_sys_immigration_start(\"%s\", %d)", name,
                    (int)port);
    (void)fflush(NULL);
    _exit(code == 0 ? 0 : 1);
}

void demo_migration(demo_report *report, zor_sys_handle *handle, int32_t port) {
    demo_section("system container: migration to a receiver on 127.0.0.1");
    const char *tmp = getenv("TMPDIR");
    char directory[4096];
    (void)snprintf(directory, sizeof directory, "%s/zor-demo-receiver-XXXXXX",
                   tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
    if (!demo_check(report, mkdtemp(directory) != NULL,
                    "a state directory for the receiving machine")) {
        return;
    }
    demo_detail("%s", directory);
    if (!demo_check(report, port > 0, "a port on 127.0.0.1 (%d)", (int)port)) {
        (void)rmdir(directory);
        return;
    }

    const int receiver_step = demo_reserve_step(report);
    (void)fflush(NULL); /* the child must not print what the parent still buffers */
    const pid_t receiver = fork();
    if (receiver == 0) {
        run_receiver(directory, handle->name, port, receiver_step);
    }
    if (receiver < 0) {
        demo_mark_unexpected(report);
        demo_check(report, 0, "fork() starts the receiver");
        (void)rmdir(directory);
        return;
    }
    const int code = zor_sys_migration_start(handle, "127.0.0.1", port);
    int status = 0;
    while (waitpid(receiver, &status, 0) < 0) {
    }
    /* Shown once the receiver is done, so that its step comes first on the terminal too. */
    demo_step(report, code, 0, "zor_sys_migration_start(handle, \"127.0.0.1\", %d)", (int)port);
    const int received = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!received) {
        demo_mark_unexpected(report);
    }
    demo_check(report, received, "waitpid(receiver): it received the container");

    demo_check(report, listed_here(report, handle->name) == 0, "\"%s\" is gone from the sender",
               handle->name);
    saved_state saved;
    switch_state(&saved, directory);
    demo_detail("now working in the receiver's state (%s=%s)", kStateVariable, directory);
    retire_at_receiver(report, handle->name);
    restore_state(&saved);
    (void)nftw(directory, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}
