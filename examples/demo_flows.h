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
 * says of its main process, queries, limits, snapshots, the checkpoint calls (refused: no
 * CRIU), sharing, suspension, control groups and listings, the migration calls (refused) and
 * the end: stop and destroy.
 */
void demo_system_flow(demo_report *report, int32_t port);

/**
 * Asks for the running container of handle to be received on port and moved there; both
 * need CRIU, so both are refused and the container runs on where it was. Then it is stopped
 * and destroyed. The handle stays the caller's to close.
 */
void demo_migration(demo_report *report, zor_sys_handle *handle, int32_t port);

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
