/*
 * container_demo - drives the client libraries through the life of a system container and
 * of an application container, one numbered step per call.
 *
 *   container-demo [port]
 *
 * Every step prints the call and its result code; the libraries' outcome lines go to the
 * system log and, since the log is opened with LOG_PERROR, to standard error as well. The
 * system container is migrated through port on 127.0.0.1 (default: one the kernel finds
 * free). Exit status 0 when every step gave the result it should, else 1; 2 for a bad
 * argument.
 */
#include "demo_flows.h"
#include "demo_report.h"

#include <kestal.h>

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

static const char kProgram[] = "container-demo";

/* The port argument: a decimal number from 1 to 65535, or -1. */
static int32_t port_of(const char *text) {
    char *end = NULL;
    errno = 0;
    const long port = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || port < 1 || port > 65535) {
        return -1;
    }
    return (int32_t)port;
}

int main(int argc, char **argv) {
    const int32_t port = argc == 2 ? port_of(argv[1]) : demo_free_port();
    if (argc > 2 || (argc == 2 && port < 0)) {
        fprintf(stderr, "usage: %s [port]\n", kProgram);
        return 2;
    }
    /* Line by line, so that the steps and the log lines on standard error interleave in the
     * order they happen even when both go to one pipe. */
    setvbuf(stdout, NULL, _IOLBF, 0);
    kestal_log_open(kProgram, LOG_PERROR | LOG_PID, LOG_LOCAL5);

    demo_report report = {0, 0};
    demo_system_flow(&report, port);
    demo_application_flow(&report);

    kestal_log_close();
    return demo_summary(&report, kProgram);
}
