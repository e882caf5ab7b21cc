/*
 * The application container's part of the demo: one container through the operations of
 * libzorapp, in an order in which each should succeed.
 */
#define _POSIX_C_SOURCE 200809L /* getpid */

#include "demo_flows.h"

#include "demo_names.h"
#include "demo_report.h"

#include <zorapp.h>

#include <stdint.h>
#include <string.h>
#include <unistd.h>

enum { STATUS_STOPPED = 0, STATUS_RUNNING = 1 };

/* The type number that selects the table form of the snapshot listing. */
enum { APP_TABLE_TYPE = 1 };

static const char *const kContainer = DEMO_APP_CONTAINER;
static const char *const kSnapshot = "configured";
static const char *const kBase = "app-base";
static const char *const kGroup = "app-group";
/* A process number inside the container: its first process. */
static const int32_t kVirtualPid = 1;

static const char *resource_name(int32_t type) {
    static const char *const names[] = {"?", "cpu", "core", "mem", "memsw"};
    return type >= 1 && type <= 4 ? names[type] : names[0];
}

static void resources(demo_report *report, zor_app_handle *handle) {
    char cores[] = "0";
    zor_app_resource limits[4];
    memset(limits, 0, sizeof limits);
    limits[0].type = 1;
    limits[0].value.cpu = 25;
    limits[1].type = 2;
    limits[1].value.core = cores;
    limits[2].type = 3;
    limits[2].value.mem = 128;
    limits[3].type = 4;
    limits[3].value.memsw = 256;

    demo_section("application container: resource limits and usage");
    for (int i = 0; i < 4; ++i) {
        demo_step(report, zor_app_set_resource(handle, NULL, limits[i]), 0,
                  "zor_app_set_resource(handle, NULL, {%s})", resource_name(limits[i].type));
    }
    for (int i = 0; i < 4; ++i) {
        zor_app_resource usage;
        memset(&usage, 0, sizeof usage);
        usage.type = limits[i].type;
        if (!demo_step(report, zor_app_get_resource(handle, 0, NULL, &usage), 0,
                       "zor_app_get_resource(handle, 0, NULL, {%s})", resource_name(usage.type))) {
            continue;
        }
        if (usage.type == 2) {
            demo_detail("core usage: %s", usage.value.core != NULL ? usage.value.core : "");
        } else {
            demo_detail("%s usage: %d", resource_name(usage.type), (int)usage.value.cpu);
        }
    }
    for (int i = 0; i < 4; ++i) {
        demo_step(report, zor_app_unset_resource(handle, NULL, limits[i]), 0,
                  "zor_app_unset_resource(handle, NULL, {%s})", resource_name(limits[i].type));
    }
}

static int snapshot_listed(demo_report *report, zor_app_handle *handle, const char *name) {
    char **list = NULL;
    if (!demo_step(report, zor_app_get_snapshot_list(handle, &list), 0,
                   "zor_app_get_snapshot_list(handle, &list)  [TAG table]")) {
        return 0;
    }
    demo_show_names(list);
    const int found = demo_has_name(list, name);
    if (list != NULL) {
        demo_step(report, zor_app_release_snapshot_list(list), 0,
                  "zor_app_release_snapshot_list(list)");
    }
    return found;
}

static int base_listed(demo_report *report, const char *name) {
    char **list = NULL;
    if (!demo_step(report, zor_app_get_base_list(&list), 0, "zor_app_get_base_list(&list)")) {
        return 0;
    }
    demo_show_names(list);
    const int found = demo_has_name(list, name);
    if (list != NULL) {
        demo_step(report, zor_app_release_base_list(list), 0, "zor_app_release_base_list(list)");
    }
    return found;
}

static void snapshots(demo_report *report, zor_app_handle *handle) {
    demo_section("application container: snapshots and base images");
    demo_step(report, zor_app_save_snapshot(handle, kSnapshot), 0,
              "zor_app_save_snapshot(handle, \"%s\")", kSnapshot);
    demo_check(report, snapshot_listed(report, handle, kSnapshot), "\"%s\" is in the snapshot list",
               kSnapshot);
    demo_step(report, zor_app_load_snapshot(handle, kSnapshot), 0,
              "zor_app_load_snapshot(handle, \"%s\")", kSnapshot);
    demo_step(report, zor_app_commit_snapshot(handle, kSnapshot, kBase), 0,
              "zor_app_commit_snapshot(handle, \"%s\", \"%s\")", kSnapshot, kBase);
    demo_check(report, base_listed(report, kBase), "\"%s\" is in the base list", kBase);
    demo_step(report, zor_app_remove_snapshot(handle, kSnapshot), 0,
              "zor_app_remove_snapshot(handle, \"%s\")", kSnapshot);
    demo_check(report, !snapshot_listed(report, handle, kSnapshot),
               "\"%s\" is no longer in the snapshot list", kSnapshot);
    demo_step(report, zor_app_remove_base(kBase), 0, "zor_app_remove_base(\"%s\")", kBase);
    demo_check(report, !base_listed(report, kBase), "\"%s\" is no longer in the base list", kBase);
}

static void control_groups(demo_report *report, zor_app_handle *handle, int32_t pid) {
    demo_section("application container: control groups");
    demo_step(report, zor_app_create_cgroup(handle, kGroup), 0,
              "zor_app_create_cgroup(handle, \"%s\")", kGroup);
    demo_step(report, zor_app_bind_pid(handle, kGroup, pid), 0,
              "zor_app_bind_pid(handle, \"%s\", %d)", kGroup, (int)pid);
    demo_step(report, zor_app_unbind_pid(handle, kGroup, pid), 0,
              "zor_app_unbind_pid(handle, \"%s\", %d)", kGroup, (int)pid);
    demo_step(report, zor_app_bind_vpid(handle, kGroup, kVirtualPid), 0,
              "zor_app_bind_vpid(handle, \"%s\", %d)", kGroup, (int)kVirtualPid);
    demo_step(report, zor_app_unbind_vpid(handle, kGroup, kVirtualPid), 0,
              "zor_app_unbind_vpid(handle, \"%s\", %d)", kGroup, (int)kVirtualPid);
    demo_step(report, zor_app_destroy_cgroup(handle, kGroup), 0,
              "zor_app_destroy_cgroup(handle, \"%s\")", kGroup);
}

/* Lists the registered processes; returns 1 when pid is among them. */
static int registered(demo_report *report, zor_app_handle *handle, int32_t pid) {
    zor_app_pid_pair **list = NULL;
    if (!demo_step(report, zor_app_get_registered_pid_list(handle, &list), 0,
                   "zor_app_get_registered_pid_list(handle, &list)")) {
        return 0;
    }
    int found = 0;
    if (list == NULL) {
        demo_detail("(no registered process)");
        return 0;
    }
    for (zor_app_pid_pair **pair = list; *pair != NULL; ++pair) {
        demo_detail("- pid %d, vpid %d", (int)(*pair)->pid, (int)(*pair)->vpid);
        found = found || (*pair)->pid == pid;
    }
    demo_step(report, zor_app_release_registered_pid_list(list), 0,
              "zor_app_release_registered_pid_list(list)");
    return found;
}

static void registration(demo_report *report, zor_app_handle *handle) {
    /* The demo registers itself: a process that certainly exists while it runs. */
    const int32_t self = (int32_t)getpid();
    demo_section("application container: registered processes");
    demo_step(report, zor_app_register_pid(handle, self), 0, "zor_app_register_pid(handle, %d)",
              (int)self);
    demo_check(report, registered(report, handle, self), "%d is registered", (int)self);
    demo_step(report, zor_app_unregister_pid(handle, self), 0, "zor_app_unregister_pid(handle, %d)",
              (int)self);
    demo_check(report, !registered(report, handle, self), "%d is no longer registered", (int)self);
}

static void container_list(demo_report *report) {
    char **list = NULL;
    demo_section("application container: listing");
    if (!demo_step(report, zor_app_get_container_list(&list), 0,
                   "zor_app_get_container_list(&list)")) {
        return;
    }
    demo_show_names(list);
    demo_check(report, demo_has_name(list, kContainer), "\"%s\" is in the container list",
               kContainer);
    if (list != NULL) {
        demo_step(report, zor_app_release_container_list(list), 0,
                  "zor_app_release_container_list(list)");
    }
}

void demo_application_flow(demo_report *report) {
    const zor_app_config config = {APP_TABLE_TYPE, 8080, NULL};

    demo_section("application container: create, open, start");
    if (!demo_step(report, zor_app_create_container(kContainer, &config), 0,
                   "zor_app_create_container(\"%s\", {type 1, -p 8080})", kContainer)) {
        return;
    }
    zor_app_handle *handle = zor_app_open(kContainer);
    demo_check(report, handle != NULL, "zor_app_open(\"%s\") gives a handle", kContainer);
    if (handle == NULL) {
        return;
    }
    demo_step(report, handle->type, APP_TABLE_TYPE, "handle->type");
    /* Snapshots first: one is loaded into a stopped container. */
    snapshots(report, handle);
    demo_step(report, zor_app_start(handle), 0, "zor_app_start(handle)");
    demo_step(report, zor_app_get_status(handle), STATUS_RUNNING,
              "zor_app_get_status(handle)  [1: running]");
    int32_t pid = 0;
    demo_step(report, zor_app_get_pid(handle, &pid), 0, "zor_app_get_pid(handle, &pid)");
    demo_check(report, pid > 0, "the main process has a number (pid = %d)", (int)pid);

    resources(report, handle);
    control_groups(report, handle, pid);
    registration(report, handle);
    container_list(report);

    demo_section("application container: stop, close, destroy");
    demo_step(report, zor_app_stop(handle), 0, "zor_app_stop(handle)");
    demo_step(report, zor_app_get_status(handle), STATUS_STOPPED,
              "zor_app_get_status(handle)  [0: stopped]");
    demo_step(report, zor_app_close(handle), 0, "zor_app_close(handle)");
    demo_step(report, zor_app_destroy_container(kContainer), 0, "zor_app_destroy_container(\"%s\")",
              kContainer);
}
