/* The count of the demo's system container, read in its root filesystem on the host. */
#define _XOPEN_SOURCE 700 /* popen, nanosleep */

#include "container_count.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* What the runtime's info prints before the root filesystem's path. */
static const char kRootfsField[] = "ROOTFS ";

/* Polling steps: the container writes a new count every 200 ms. */
enum { POLL_MS = 50 };

static void pause_ms(int milliseconds) {
    struct timespec span = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    (void)nanosleep(&span, NULL);
}

/* Copies the ROOTFS line's path of `zor-sys info -n name` into path; 1 when found. */
static int rootfs_of(const char *name, char *path, size_t size) {
    char command[512];
    /* The names the demo uses need no quoting; a longer one is not read. */
    if (snprintf(command, sizeof command, "zor-sys info -n '%s' 2>/dev/null", name) >=
        (int)sizeof command) {
        return 0;
    }
    FILE *info = popen(command, "r");
    if (info == NULL) {
        return 0;
    }
    char line[4096];
    int found = 0;
    while (fgets(line, sizeof line, info) != NULL) {
        if (!found && strncmp(line, kRootfsField, sizeof kRootfsField - 1) == 0) {
            line[strcspn(line, "\n")] = '\0';
            found = snprintf(path, size, "%s", line + sizeof kRootfsField - 1) < (int)size;
        }
    }
    return pclose(info) == 0 && found;
}

int demo_read_count(const char *name) {
    char rootfs[4096];
    if (!rootfs_of(name, rootfs, sizeof rootfs)) {
        return -1;
    }
    char path[4200];
    (void)snprintf(path, sizeof path, "%s/tmp/count", rootfs);
    /* The shell truncates the file before it writes the next number: an empty read is
     * asked again. */
    for (int attempt = 0; attempt < 20; ++attempt) {
        FILE *file = fopen(path, "r");
        int count = -1;
        if (file != NULL) {
            if (fscanf(file, "%d", &count) != 1) {
                count = -1;
            }
            fclose(file);
        }
        if (count >= 0) {
            return count;
        }
        pause_ms(10);
    }
    return -1;
}

int demo_wait_count(const char *name, int at_least, int timeout_ms) {
    int count = demo_read_count(name);
    for (int waited = 0; count < at_least && waited < timeout_ms; waited += POLL_MS) {
        pause_ms(POLL_MS);
        count = demo_read_count(name);
    }
    return count;
}
