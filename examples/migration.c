/*
 * The migration part of the demo: the counting container moves to a second machine (a state
 * directory of its own on the same host, reached over 127.0.0.1), where a receiver in a
 * process of its own waits for it; it counts on there from where it stood, and is then
 * retired on both sides. Without a working CRIU the runtime refuses the move: the demo shows
 * the refusal, and that the container runs on where it was.
 */
#define _XOPEN_SOURCE 700

#include "demo_flows.h"

#include "container_count.h"
#include "demo_names.h"
#include "demo_report.h"
#include "second_machine.h"

#include <zorsys.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { STATUS_STOPPED = 0, STATUS_RUNNING = 1 };

/* The runtime's statuses, negated by the library: no such container; needs CRIU. */
enum { NOT_FOUND = -102, NEEDS_CHECKPOINTER = -108 };

/* Bounds of the waits: for the receiver to listen, for counts to show. */
enum { LISTEN_WAIT_MS = 10000, COUNT_WAIT_MS = 5000 };

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

void demo_migration_refused(demo_report *report, zor_sys_handle *handle, int32_t port) {
    demo_section("system container: migration (needs CRIU, which the runtime lacks here)");
    demo_step(report, zor_sys_immigration_start(handle->name, port), NEEDS_CHECKPOINTER,
              "zor_sys_immigration_start(\"%s\", %d)  [-108: needs CRIU]", handle->name, (int)port);
    demo_step(report, zor_sys_migration_start(handle, "127.0.0.1", port), NEEDS_CHECKPOINTER,
              "zor_sys_migration_start(handle, \"127.0.0.1\", %d)  [-108: needs CRIU]", (int)port);
    demo_step(report, zor_sys_get_status(handle), STATUS_RUNNING,
              "zor_sys_get_status(handle)  [1: running where it was]");

    demo_section("system container: stop and destroy");
    demo_step(report, zor_sys_stop(handle), 0, "zor_sys_stop(handle)");
    demo_step(report, zor_sys_get_status(handle), STATUS_STOPPED,
              "zor_sys_get_status(handle)  [0: stopped]");
    demo_step(report, zor_sys_destroy_container(handle->name), 0,
              "zor_sys_destroy_container(\"%s\")", handle->name);
}

/* 1 when the container list of the current machine holds name. */
static int here(demo_report *report, const char *name) {
    char **list = NULL;
    if (!demo_step(report, zor_sys_get_container_list(&list), 0,
                   "zor_sys_get_container_list(&list)")) {
        return -1;
    }
    demo_show_names(list);
    const int found = demo_has_name(list, name);
    if (list != NULL) {
        (void)zor_sys_release_container_list(list);
    }
    return found;
}

/* On the receiving machine: the count goes on from the sender's, then the container is
 * stopped and destroyed there. */
static void at_the_receiver(demo_report *report, const char *name, int sent) {
    demo_section("system container: counting on at the receiver, then retired there");
    const int arrived = demo_wait_count(name, sent, COUNT_WAIT_MS);
    demo_check(report, sent >= 0 && arrived >= sent,
               "the count goes on from the sender's last (%d): %d", sent, arrived);
    const int later = demo_wait_count(name, arrived + 3, COUNT_WAIT_MS);
    demo_check(report, later >= arrived + 3, "and rises there: %d", later);
    zor_sys_handle *moved = zor_sys_open(name);
    demo_check(report, moved != NULL, "zor_sys_open(\"%s\") on the receiver gives a handle", name);
    if (moved == NULL) {
        return;
    }
    demo_step(report, zor_sys_get_status(moved), STATUS_RUNNING,
              "zor_sys_get_status(moved)  [1: running on the receiver]");
    int32_t pid = 0;
    demo_step(report, zor_sys_get_pid(moved, &pid), 0, "zor_sys_get_pid(moved, &pid)");
    demo_detail("pid = %d, the main process on the receiver", (int)pid);
    demo_step(report, zor_sys_stop(moved), 0, "zor_sys_stop(moved)");
    demo_step(report, zor_sys_destroy_container(name), 0, "zor_sys_destroy_container(\"%s\")",
              name);
    demo_check(report, here(report, name) == 0, "\"%s\" is gone from the receiver", name);
    demo_step(report, zor_sys_close(moved), 0, "zor_sys_close(moved)");
}

void demo_migration(demo_report *report, zor_sys_handle *handle, int32_t port) {
    demo_section("system container: migration to a second machine over 127.0.0.1");
    char receiver_state[4096];
    if (!demo_check(report, demo_machine_make(receiver_state, sizeof receiver_state),
                    "the second machine's state directory")) {
        return;
    }
    demo_detail("ZOR_RUNTIME_STATE=%s for the receiver", receiver_state);
    const int introduced =
        demo_check(report, demo_machines_introduce(receiver_state),
                   "the two machines trust each other (zor-sys trust show, trust add)");
    const pid_t receiver =
        introduced ? demo_receiver_start(report, handle->name, port, receiver_state) : -1;
    int moved = 0;
    if (!introduced) {
        /* Nothing to move to: the container is stopped and destroyed on the sender below. */
    } else if (demo_check(
                   report, receiver > 0 && demo_wait_listening(receiver, port, LISTEN_WAIT_MS),
                   "the receiver (process %d) listens on port %d", (int)receiver, (int)port)) {
        const int sent = demo_read_count(handle->name);
        demo_detail("count on the sender before the move: %d", sent);
        moved = demo_step(report, zor_sys_migration_start(handle, "127.0.0.1", port), 0,
                          "zor_sys_migration_start(handle, \"127.0.0.1\", %d)", (int)port);
        /* The receiver has answered that the container runs there before the sender ends. */
        demo_receiver_join(report, receiver, moved);
        demo_step(report, zor_sys_get_status(handle), moved ? NOT_FOUND : STATUS_RUNNING,
                  "zor_sys_get_status(handle)  [%s]",
                  moved ? "-102: no longer on the sender" : "1: running where it was");
        demo_check(report, here(report, handle->name) == !moved, "\"%s\" is %s the sender",
                   handle->name, moved ? "gone from" : "still on");
        if (moved) {
            demo_machine_use(receiver_state);
            at_the_receiver(report, handle->name, sent);
            demo_machine_use(NULL);
        }
    } else {
        demo_receiver_join(report, receiver, 0);
    }
    if (!moved) {
        demo_section("system container: stop and destroy on the sender");
        demo_step(report, zor_sys_stop(handle), 0, "zor_sys_stop(handle)");
        demo_step(report, zor_sys_destroy_container(handle->name), 0,
                  "zor_sys_destroy_container(\"%s\")", handle->name);
    }
    demo_check(report, demo_machine_remove(receiver_state),
               "the second machine's state directory removed");
}
