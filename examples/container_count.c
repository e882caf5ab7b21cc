/* The count of the demo's system container, read in its root filesystem on the host. */
#define _XOPEN_SOURCE 700 /* fdopen, nanosleep */

#include "container_count.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

/* What the runtime's info prints before the root filesystem's path. */
static const char kRootfsField[] = "ROOTFS ";

/* Polling steps: the container writes a new count every 200 ms. */
enum { POLL_MS = 50 };

static void pause_ms(int milliseconds) {
    struct timespec span = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
    (void)nanosleep(&span, NULL);
}

/* Copies the ROOTFS line's path of `zor-sys info -n name` into path; 1 when found. The tool
 * runs without a shell, its output read through a pipe. */
static int rootfs_of(const char *name, char *path, size_t size) {
    int ends[2];
    if (pipe(ends) != 0) {
        return 0;
    }
    const pid_t child = fork();
    if (child == 0) {
        (void)dup2(ends[1], STDOUT_FILENO);
        (void)close(ends[0]);
        (void)close(ends[1]);
        const int quiet = open("/dev/null", O_WRONLY);
        (void)dup2(quiet, STDERR_FILENO);
        execlp("zor-sys", "zor-sys", "info", "-n", name, (char *)NULL);
        _exit(127);
    }
    (void)close(ends[1]);
    FILE *info = child > 0 ? fdopen(ends[0], "r") : NULL;
    int found = 0;
    if (info != NULL) {
        char line[4096];
        while (fgets(line, sizeof line, info) != NULL) {
            if (!found && strncmp(line, kRootfsField, sizeof kRootfsField - 1) == 0) {
                line[strcspn(line, "\n")] = '\0';
                found = snprintf(path, size, "%s", line + sizeof kRootfsField - 1) < (int)size;
            }
        }
        (void)fclose(info);
    } else {
        (void)close(ends[0]);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0 && found;
}

/* The number at the start of path's first line; -1 when there is none (yet). */
static int number_in(const char *path) {
    FILE *file = fopen(path, "r");
    if (file == NULL) {
        return -1;
    }
    char line[32];
    const int read = fgets(line, sizeof line, file) != NULL;
    (void)fclose(file);
    char *end = NULL;
    const long number = read ? strtol(line, &end, 10) : -1;
    return read && end != line && number >= 0 && number <= INT_MAX ? (int)number : -1;
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
    int count = number_in(path);
    for (int attempt = 0; attempt < 20 && count < 0; ++attempt) {
        pause_ms(10);
        count = number_in(path);
    }
    return count;
}

int demo_wait_count(const char *name, int at_least, int timeout_ms) {
    int count = demo_read_count(name);
    for (int waited = 0; count < at_least && waited < timeout_ms; waited += POLL_MS) {
        pause_ms(POLL_MS);
        count = demo_read_count(name);
    }
    return count;
}
