/*
 * The migration part of the demo. Moving a running container needs CRIU, which the runtime
 * does not use yet: the demo shows the runtime's refusal, and that the container runs on
 * where it was; then it retires the container on this machine.
 */
#define _XOPEN_SOURCE 700

#include "demo_flows.h"

#include "demo_names.h"
#include "demo_report.h"

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

/* The runtime's status for what needs CRIU, negated by the library. */
enum { NEEDS_CHECKPOINTER = -108 };

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

void demo_migration(demo_report *report, zor_sys_handle *handle, int32_t port) {
    demo_section("system container: migration (needs CRIU, which the runtime does not use yet)");
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
