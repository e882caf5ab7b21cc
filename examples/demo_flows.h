/*
 * demo_flows.h - the parts of the container demo: the system container's flow, its
 * migration to a second machine, and the application container's flow.
 */
#ifndef DEMO_FLOWS_H
#define DEMO_FLOWS_H

#include "demo_report.h"

#include <zorsys.h>

#include <stdint.h>

/** Name of the system container that the demo creates, migrates and destroys. */
#define DEMO_SYSTEM_CONTAINER "demo-web"
/** Name of the application container that the demo creates and destroys. */
#define DEMO_APP_CONTAINER "demo-app"

/**
 * Runs the system container through its whole life: create, open, start, what the kernel
 * says of its main process, queries, limits, snapshots, a checkpoint and a restart that take
 * its count back, sharing, suspension, control groups and listings, its migration to a second
 * machine and the end there: stop and destroy. Without a working CRIU the checkpoint and
 * migration calls are refused and the container ends where it was.
 */
void demo_system_flow(demo_report *report, int32_t port);

/**
 * Moves the running, counting container of handle to a second machine on this host (a
 * runtime state directory of its own) through port on 127.0.0.1, with the receiver in a
 * child process; shows that it is gone from the sender and counts on at the receiver from
 * where it stood, then stops and destroys it there and removes the second machine. The
 * handle stays the caller's to close.
 */
void demo_migration(demo_report *report, zor_sys_handle *handle, int32_t port);

/**
 * The same calls where the runtime has no working CRIU: the receiver and the move are
 * refused (-108) and the container runs on where it was; then it is stopped and destroyed.
 */
void demo_migration_refused(demo_report *report, zor_sys_handle *handle, int32_t port);

/**
 * Returns a port on 127.0.0.1 that was free a moment ago (the kernel's pick for port 0), or
 * -1 when none could be had.
 */
int32_t demo_free_port(void);

/**
 * Runs the application container through its life: create, open, start, queries, limits,
 * snapshots with the table listing, control groups by process and virtual process number,
 * registration and the registered-pid list, stop, close and destroy.
 */
void demo_application_flow(demo_report *report);

#endif /* DEMO_FLOWS_H */
