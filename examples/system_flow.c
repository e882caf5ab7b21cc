/*
 * The system container's part of the demo: one container through every operation of
 * libzorsys, in an order in which each should succeed, with what the kernel says of its main
 * process beside the results. Its main process counts, so that a checkpoint and a restart
 * show on the host as the count going back and rising again. Checkpoints and migration need
 * a working CRIU: where the runtime has none, those steps show its refusal.
 */
#define _XOPEN_SOURCE 700 /* mkstemp */

#include "demo_flows.h"

#include "container_count.h"
#include "demo_names.h"
#include "demo_report.h"
#include "kernel_view.h"

#include <zorsys.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Status numbers of the status query. */
enum { STATUS_STOPPED = 0, STATUS_RUNNING = 1, STATUS_SUSPENDED = 2 };

/* The type number that selects the table forms of the snapshot and checkpoint listings. */
enum { SYSTEM_TABLE_TYPE = 100 };

static const char *const kContainer = DEMO_SYSTEM_CONTAINER;
static const char *const kSnapshot = "before-upgrade";
static const char *const kBase = "web-base";
static const char *const kCheckpoint = "warm";
static const char *const kGroup = "web-group";

/* The runtime's status for what needs CRIU, negated by the library. */
enum { NEEDS_CHECKPOINTER = -108 };

/* The container's configuration: a main process that counts five times a second in a shell
 * variable, writes each number to /tmp/count, and stops at once on SIGTERM (as PID 1 of its
 * namespace it would otherwise ignore the signal). */
static const char kConfiguration[] =
    "# the demo's system container\n"
    "hostname=demo-web\n"
    "command=trap 'exit 0' TERM; i=0; while :; do i=$((i+1)); echo $i > /tmp/count; "
    "sleep 0.2 & wait $!; done\n";

/* The counts the demo waits for: a few before the checkpoint, ten more (two seconds) after it
 * before the restart; and the bound of each wait. */
enum { COUNT_FIRST = 5, COUNT_ON = 10, COUNT_WAIT_MS = 5000 };

static const char *resource_name(int32_t type) {
    static const char *const names[] = {"?", "cpu", "core", "mem", "memsw"};
    return type >= 1 && type <= 4 ? names[type] : names[0];
}

/* The value of a usage reading; the core text still carries the tool's newline. */
static void show_usage(const zor_sys_resource *resource) {
    switch (resource->type) {
    case 2: {
        const char *core = resource->value.core != NULL ? resource->value.core : "";
        demo_detail("core usage: %.*s", (int)strcspn(core, "\n"), core);
        break;
    }
    case 4:
        demo_detail("memsw usage: %d", (int)resource->value.memsw);
        break;
    default:
        demo_detail("%s usage: %d", resource_name(resource->type), (int)resource->value.cpu);
        break;
    }
}

static void resources(demo_report *report, zor_sys_handle *handle, int32_t pid) {
    char cores[] = "0-1";
    zor_sys_resource limits[4];
    memset(limits, 0, sizeof limits);
    limits[0].type = 1;
    limits[0].value.cpu = 50;
    limits[1].type = 2;
    limits[1].value.core = cores;
    limits[2].type = 3;
    limits[2].value.mem = 512;
    limits[3].type = 4;
    limits[3].value.memsw = 1024;

    demo_section("system container: resource limits and usage");
    for (int i = 0; i < 4; ++i) {
        demo_step(report, zor_sys_set_resource(handle, NULL, NULL, limits[i]), 0,
                  "zor_sys_set_resource(handle, NULL, NULL, {%s})", resource_name(limits[i].type));
    }
    demo_kernel_memory_limit(report, pid, limits[2].value.mem);
    for (int i = 0; i < 4; ++i) {
        /* The library prints the command it runs and its result code itself. */
        zor_sys_resource usage;
        memset(&usage, 0, sizeof usage);
        usage.type = limits[i].type;
        if (demo_step(report, zor_sys_get_resource(handle, 0, NULL, &usage), 0,
                      "zor_sys_get_resource(handle, 0, NULL, {%s})", resource_name(usage.type))) {
            show_usage(&usage);
        }
    }
    for (int i = 0; i < 4; ++i) {
        demo_step(report, zor_sys_unset_resource(handle, NULL, NULL, limits[i]), 0,
                  "zor_sys_unset_resource(handle, NULL, NULL, {%s})",
                  resource_name(limits[i].type));
    }
}

/* Lists the snapshots or checkpoints of handle, shows them and frees the list. */
static int listed(demo_report *report, zor_sys_handle *handle, int checkpoints, const char *name) {
    char **list = NULL;
    const char *call = checkpoints ? "zor_sys_get_checkpoint_list" : "zor_sys_get_snapshot_list";
    const int code = checkpoints ? zor_sys_get_checkpoint_list(handle, &list)
                                 : zor_sys_get_snapshot_list(handle, &list);
    if (!demo_step(report, code, 0, "%s(handle, &list)", call)) {
        return 0;
    }
    demo_show_names(list);
    const int found = demo_has_name(list, name);
    if (list != NULL) {
        demo_step(
            report,
            checkpoints ? zor_sys_release_checkpoint_list(list)
                        : zor_sys_release_snapshot_list(list),
            0, "%s(list)",
            checkpoints ? "zor_sys_release_checkpoint_list" : "zor_sys_release_snapshot_list");
    }
    return found;
}

static int base_listed(demo_report *report, const char *name) {
    char **list = NULL;
    if (!demo_step(report, zor_sys_get_base_list(&list), 0, "zor_sys_get_base_list(&list)")) {
        return 0;
    }
    demo_show_names(list);
    const int found = demo_has_name(list, name);
    if (list != NULL) {
        demo_step(report, zor_sys_release_base_list(list), 0, "zor_sys_release_base_list(list)");
    }
    return found;
}

static void snapshots(demo_report *report, zor_sys_handle *handle) {
    demo_section("system container: snapshots and base images");
    demo_step(report, zor_sys_save_snapshot(handle, kSnapshot), 0,
              "zor_sys_save_snapshot(handle, \"%s\")  [frozen while copied]", kSnapshot);
    demo_check(report, listed(report, handle, 0, kSnapshot), "\"%s\" is in the snapshot list",
               kSnapshot);
    /* A snapshot is loaded into a stopped container: its files change under no process. */
    demo_step(report, zor_sys_stop(handle), 0, "zor_sys_stop(handle)");
    demo_step(report, zor_sys_load_snapshot(handle, kSnapshot), 0,
              "zor_sys_load_snapshot(handle, \"%s\")", kSnapshot);
    demo_step(report, zor_sys_start(handle), 0, "zor_sys_start(handle)");
    demo_step(report, zor_sys_commit_snapshot(handle, kSnapshot, kBase), 0,
              "zor_sys_commit_snapshot(handle, \"%s\", \"%s\")", kSnapshot, kBase);
    demo_check(report, base_listed(report, kBase), "\"%s\" is in the base list", kBase);
    demo_step(report, zor_sys_remove_snapshot(handle, kSnapshot), 0,
              "zor_sys_remove_snapshot(handle, \"%s\")", kSnapshot);
    demo_check(report, !listed(report, handle, 0, kSnapshot),
               "\"%s\" is no longer in the snapshot list", kSnapshot);
    demo_step(report, zor_sys_remove_base(kBase), 0, "zor_sys_remove_base(\"%s\")", kBase);
    demo_check(report, !base_listed(report, kBase), "\"%s\" is no longer in the base list", kBase);
}

/* A checkpoint of the counting container, more counting, and a restart from the checkpoint:
 * the count goes back to where it stood and rises again. pid becomes the restored main
 * process. Returns 1 when the runtime could take checkpoints, 0 when it refused them. */
static int checkpoints(demo_report *report, zor_sys_handle *handle, int32_t *pid) {
    demo_section("system container: checkpoint and restart (CRIU)");
    const int before = demo_wait_count(kContainer, COUNT_FIRST, COUNT_WAIT_MS);
    demo_detail("count before the checkpoint: %d", before);
    const int code = zor_sys_checkpoint(handle, kCheckpoint);
    if (code == NEEDS_CHECKPOINTER) {
        /* No checkpoint, so nothing to restart from or remove: the container runs on. */
        demo_step(report, code, NEEDS_CHECKPOINTER,
                  "zor_sys_checkpoint(handle, \"%s\")  [-108: needs CRIU]", kCheckpoint);
        demo_detail(
            "the runtime has no working CRIU (see scripts/build-criu.sh): checkpoints "
            "and migration are refused with -108");
        demo_step(report, zor_sys_get_status(handle), STATUS_RUNNING,
                  "zor_sys_get_status(handle)  [1: running, untouched]");
        return 0;
    }
    demo_step(report, code, 0, "zor_sys_checkpoint(handle, \"%s\")  [it runs on]", kCheckpoint);
    const int kept = demo_read_count(kContainer);
    demo_detail("count just after the checkpoint: %d", kept);
    demo_check(report, listed(report, handle, 1, kCheckpoint), "\"%s\" is in the checkpoint list",
               kCheckpoint);
    const int later = demo_wait_count(kContainer, kept + COUNT_ON, COUNT_WAIT_MS);
    demo_check(report, kept >= 0 && later >= kept + COUNT_ON, "it counts on: %d", later);

    demo_step(report, zor_sys_restart(handle, kCheckpoint), 0,
              "zor_sys_restart(handle, \"%s\")  [the checkpoint's program replaces it]",
              kCheckpoint);
    const int back = demo_read_count(kContainer);
    demo_check(report, back >= before && back < later,
               "the count went back: %d after the restart, %d before it (checkpoint at %d-%d)",
               back, later, before, kept);
    const int again = demo_wait_count(kContainer, back + 3, COUNT_WAIT_MS);
    demo_check(report, again >= back + 3, "and rises again from there: %d", again);
    demo_step(report, zor_sys_get_status(handle), STATUS_RUNNING,
              "zor_sys_get_status(handle)  [1: running]");
    demo_step(report, zor_sys_get_pid(handle, pid), 0, "zor_sys_get_pid(handle, &pid)");
    demo_detail("pid = %d, the main process brought back from the checkpoint", (int)*pid);
    demo_step(report, zor_sys_remove_checkpoint(handle, kCheckpoint), 0,
              "zor_sys_remove_checkpoint(handle, \"%s\")", kCheckpoint);
    demo_check(report, !listed(report, handle, 1, kCheckpoint),
               "\"%s\" is no longer in the checkpoint list", kCheckpoint);
    return 1;
}

static void sharing_and_suspension(demo_report *report, zor_sys_handle *handle, int32_t pid) {
    demo_section("system container: sharing, suspend and resume");
    demo_step(report, zor_sys_share(handle), 0, "zor_sys_share(handle)");
    demo_step(report, zor_sys_unshare(handle), 0, "zor_sys_unshare(handle)");
    demo_step(report, zor_sys_suspend(handle), 0, "zor_sys_suspend(handle)");
    demo_step(report, zor_sys_get_status(handle), STATUS_SUSPENDED,
              "zor_sys_get_status(handle)  [2: suspended]");
    demo_kernel_frozen(report, pid, 1);
    demo_step(report, zor_sys_resume(handle), 0, "zor_sys_resume(handle)");
    demo_step(report, zor_sys_get_status(handle), STATUS_RUNNING,
              "zor_sys_get_status(handle)  [1: running]");
    demo_kernel_frozen(report, pid, 0);
}

static void control_groups(demo_report *report, zor_sys_handle *handle) {
    demo_section("system container: control groups");
    /* Asked again: loading the snapshot restarted the container with a new process. */
    int32_t pid = 0;
    demo_step(report, zor_sys_get_pid(handle, &pid), 0, "zor_sys_get_pid(handle, &pid)");
    demo_detail("pid = %d", (int)pid);
    demo_step(report, zor_sys_create_cgroup(handle, kGroup), 0,
              "zor_sys_create_cgroup(handle, \"%s\")", kGroup);
    demo_step(report, zor_sys_bind_pid(handle, kGroup, pid), 0,
              "zor_sys_bind_pid(handle, \"%s\", %d)", kGroup, (int)pid);
    char group_procs[1200] = "";
    const int seen = demo_kernel_cgroup_procs(pid, group_procs, sizeof group_procs);
    demo_step(report, zor_sys_unbind_pid(handle, kGroup, pid), 0,
              "zor_sys_unbind_pid(handle, \"%s\", %d)", kGroup, (int)pid);
    /* The counting loop starts a sleep five times a second. One started while the loop was
       bound was born in the group and stays there until it ends, and a group that holds a
       process is not destroyed: the demo waits for it to end. */
    if (seen) {
        demo_kernel_cgroup_empties(report, group_procs, 2000);
    }
    demo_step(report, zor_sys_destroy_cgroup(handle, kGroup), 0,
              "zor_sys_destroy_cgroup(handle, \"%s\")", kGroup);
}

static void container_list(demo_report *report) {
    char **list = NULL;
    demo_section("system container: listing");
    if (!demo_step(report, zor_sys_get_container_list(&list), 0,
                   "zor_sys_get_container_list(&list)")) {
        return;
    }
    demo_show_names(list);
    demo_check(report, demo_has_name(list, kContainer), "\"%s\" is in the container list",
               kContainer);
    if (list != NULL) {
        demo_step(report, zor_sys_release_container_list(list), 0,
                  "zor_sys_release_container_list(list)");
    }
}

/* Writes the configuration to a file of its own under TMPDIR; 1 when done. */
static int write_configuration(char *path, size_t size) {
    const char *tmp = getenv("TMPDIR");
    (void)snprintf(path, size, "%s/demo-web-conf-XXXXXX",
                   tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp");
    const int fd = mkstemp(path);
    if (fd < 0) {
        return 0;
    }
    const size_t length = strlen(kConfiguration);
    const int written = write(fd, kConfiguration, length) == (ssize_t)length;
    return close(fd) == 0 && written;
}

void demo_system_flow(demo_report *report, int32_t port) {
    char memory_base[] = "minimal";
    char config_file[4096];
    if (!demo_check(report, write_configuration(config_file, sizeof config_file),
                    "the container's configuration file")) {
        return;
    }
    demo_detail("%s", kConfiguration);
    const zor_sys_config config = {SYSTEM_TABLE_TYPE, 256, memory_base, config_file};

    demo_section("system container: create, open, start");
    const int created =
        demo_step(report, zor_sys_create_container(kContainer, &config), 0,
                  "zor_sys_create_container(\"%s\", {type 100, -m 256, -b %s, -f %s})", kContainer,
                  config.opt_b, config.opt_f);
    (void)unlink(config_file);
    if (!created) {
        return;
    }
    zor_sys_handle *handle = zor_sys_open(kContainer);
    demo_check(report, handle != NULL, "zor_sys_open(\"%s\") gives a handle", kContainer);
    if (handle == NULL) {
        return;
    }
    demo_step(report, handle->type, SYSTEM_TABLE_TYPE, "handle->type");
    demo_step(report, zor_sys_start(handle), 0, "zor_sys_start(handle)");
    demo_step(report, zor_sys_get_status(handle), STATUS_RUNNING,
              "zor_sys_get_status(handle)  [1: running]");
    int32_t pid = 0;
    demo_step(report, zor_sys_get_pid(handle, &pid), 0, "zor_sys_get_pid(handle, &pid)");
    demo_check(report, pid > 0, "the main process has a number (pid = %d)", (int)pid);

    demo_section("system container: what the kernel says of its main process");
    demo_kernel_namespaces(report, pid);
    demo_kernel_memory_limit(report, pid, config.opt_m);

    resources(report, handle, pid);
    snapshots(report, handle);
    demo_step(report, zor_sys_get_pid(handle, &pid), 0, "zor_sys_get_pid(handle, &pid)");
    demo_detail("pid = %d, the main process since the container started again", (int)pid);
    const int checkpointer = checkpoints(report, handle, &pid);
    sharing_and_suspension(report, handle, pid);
    control_groups(report, handle);
    container_list(report);
    if (checkpointer) {
        demo_migration(report, handle, port);
    } else {
        demo_migration_refused(report, handle, port);
    }

    /* The handle outlives its container's move; closing it only releases it. */
    demo_section("system container: releasing the sender's handle");
    demo_step(report, zor_sys_close(handle), 0, "zor_sys_close(handle)");
}
