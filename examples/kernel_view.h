/*
 * kernel_view.h - what the kernel says about a container's main process: its namespaces and
 * its control-group files, read on the host, beside what the libraries report.
 */
#ifndef KERNEL_VIEW_H
#define KERNEL_VIEW_H

#include "demo_report.h"

#include <stddef.h>
#include <stdint.h>

/**
 * Shows the PID, mount, IPC, UTS and network namespaces of pid beside this program's, one
 * check each that they differ.
 */
void demo_kernel_namespaces(demo_report *report, int32_t pid);

/**
 * Shows the memory limit of pid's cgroup (memory.limit_in_bytes, or memory.max on a pure
 * cgroup v2 host) and checks that it is megabytes MiB.
 */
void demo_kernel_memory_limit(demo_report *report, int32_t pid, int32_t megabytes);

/**
 * Shows the freezer state of pid's cgroup (freezer.state, or cgroup.freeze on a pure cgroup
 * v2 host) and checks that it is frozen, or thawed.
 */
void demo_kernel_frozen(demo_report *report, int32_t pid, int frozen);

/**
 * The path of the cgroup.procs file of pid's cgroup (in the freezer hierarchy, or the one
 * hierarchy of a pure cgroup v2 host) into path; returns 1 when found.
 */
int demo_kernel_cgroup_procs(int32_t pid, char *path, size_t size);

/**
 * Waits up to timeout_ms until the cgroup.procs file at path lists no process, and checks
 * that it came to list none.
 */
void demo_kernel_cgroup_empties(demo_report *report, const char *path, int timeout_ms);

#endif /* KERNEL_VIEW_H */
