/*
 * Reading /proc/PID/ns and the cgroup files of a process. A v1 hierarchy of a controller is
 * mounted at /sys/fs/cgroup/<controller>; on a pure v2 host the one hierarchy is
 * /sys/fs/cgroup itself.
 */
#define _XOPEN_SOURCE 700 /* readlink, nanosleep */

#include "kernel_view.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* The link text of /proc/<who>/ns/<kind> into text ("" when it cannot be read). */
static void namespace_of(const char *who, const char *kind, char *text, size_t size) {
    char path[64];
    (void)snprintf(path, sizeof path, "/proc/%s/ns/%s", who, kind);
    const ssize_t length = readlink(path, text, size - 1);
    text[length > 0 ? (size_t)length : 0] = '\0';
}

void demo_kernel_namespaces(demo_report *report, int32_t pid) {
    static const char *const kinds[] = {"pid", "mnt", "ipc", "uts", "net"};
    char who[16];
    (void)snprintf(who, sizeof who, "%d", (int)pid);
    for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; ++i) {
        char theirs[64];
        char ours[64];
        namespace_of(who, kinds[i], theirs, sizeof theirs);
        namespace_of("self", kinds[i], ours, sizeof ours);
        demo_check(report, theirs[0] != '\0' && strcmp(theirs, ours) != 0,
                   "/proc/%d/ns/%s is %s, this program's is %s", (int)pid, kinds[i], theirs, ours);
    }
}

/*
 * The path of a cgroup file of pid for controller: from the line of /proc/PID/cgroup that
 * names the controller (v1), or from its "0::" line when no line does (pure v2, where
 * v2_file is the file's name). Returns 1 when found.
 */
static int cgroup_file(int32_t pid, const char *controller, const char *v1_file,
                       const char *v2_file, char *path, size_t size) {
    char name[64];
    (void)snprintf(name, sizeof name, "/proc/%d/cgroup", (int)pid);
    FILE *file = fopen(name, "r");
    if (file == NULL) {
        return 0;
    }
    char line[1024];
    char unified[1024] = "";
    int found = 0;
    while (!found && fgets(line, sizeof line, file) != NULL) {
        line[strcspn(line, "\n")] = '\0';
        char *first = strchr(line, ':');
        char *second = first != NULL ? strchr(first + 1, ':') : NULL;
        if (second == NULL) {
            continue;
        }
        *second = '\0';
        const char *controllers = first + 1;
        if (controllers[0] == '\0') {
            (void)snprintf(unified, sizeof unified, "%s", second + 1);
            continue;
        }
        char list[128];
        (void)snprintf(list, sizeof list, ",%s,", controllers);
        char wanted[80];
        (void)snprintf(wanted, sizeof wanted, ",%s,", controller);
        if (strstr(list, wanted) != NULL) {
            (void)snprintf(path, size, "/sys/fs/cgroup/%s%s/%s", controller, second + 1, v1_file);
            found = 1;
        }
    }
    (void)fclose(file);
    if (!found && unified[0] != '\0') {
        (void)snprintf(path, size, "/sys/fs/cgroup%s/%s", unified, v2_file);
        found = 1;
    }
    return found;
}

/* The first line of path into text, without its newline; 1 when read. */
static int first_line(const char *path, char *text, size_t size) {
    FILE *file = fopen(path, "r");
    if (file == NULL) {
        return 0;
    }
    const int read = fgets(text, (int)size, file) != NULL;
    (void)fclose(file);
    text[strcspn(text, "\n")] = '\0';
    return read;
}

void demo_kernel_memory_limit(demo_report *report, int32_t pid, int32_t megabytes) {
    char path[1200];
    char value[64] = "";
    const int read =
        cgroup_file(pid, "memory", "memory.limit_in_bytes", "memory.max", path, sizeof path) &&
        first_line(path, value, sizeof value);
    char expected[32];
    (void)snprintf(expected, sizeof expected, "%lld", (long long)megabytes * 1024 * 1024);
    demo_check(report, read && strcmp(value, expected) == 0, "the kernel's %s is %s (%d MiB)",
               read ? path : "memory limit", value, (int)megabytes);
}

void demo_kernel_frozen(demo_report *report, int32_t pid, int frozen) {
    char path[1200];
    char value[64] = "";
    const int read =
        cgroup_file(pid, "freezer", "freezer.state", "cgroup.freeze", path, sizeof path) &&
        first_line(path, value, sizeof value);
    const int is_frozen = strcmp(value, "FROZEN") == 0 || strcmp(value, "1") == 0;
    const int is_thawed = strcmp(value, "THAWED") == 0 || strcmp(value, "0") == 0;
    demo_check(report, read && (frozen ? is_frozen : is_thawed), "the kernel's %s is %s",
               read ? path : "freezer state", value);
}

int demo_kernel_cgroup_procs(int32_t pid, char *path, size_t size) {
    return cgroup_file(pid, "freezer", "cgroup.procs", "cgroup.procs", path, size);
}

void demo_kernel_cgroup_empties(demo_report *report, const char *path, int timeout_ms) {
    const struct timespec step = {0, 10L * 1000 * 1000};
    char first[64] = "";
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
        /* An empty file has no first line: nothing to keep of the last one read. */
        if (!first_line(path, first, sizeof first)) {
            first[0] = '\0';
        }
        if (first[0] == '\0') {
            break;
        }
        (void)nanosleep(&step, NULL);
    }
    demo_check(report, first[0] == '\0', "the kernel's %s lists no process%s%s", path,
               first[0] != '\0' ? ": " : "", first);
}
