/*
 * resident_program MEGABYTES FILE - holds MEGABYTES MiB of memory it has written to, then
 * wakes every millisecond and notes in FILE each time it was kept from running for longer
 * than 20 ms, one line "NUMBER NANOSECONDS\n" each, NUMBER counting such pauses from 0
 * (line 0 written at the start, when the memory is in place). Built static, it runs in a
 * container of the busybox base image; the benchmark reads FILE to learn how long a
 * migration froze it: the longest pause after those it saw before, as a busy machine may
 * add short ones around it.
 */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* Longer than any wake-up delay of a busy machine, far shorter than a dump. */
static const long long kPauseNs = 20LL * 1000 * 1000;

static long long now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* Appends to FILE; opened only for the write, so that no dump finds it open. */
static void note(const char *path, long number, long long pause) {
    char line[64];
    const int length = snprintf(line, sizeof line, "%ld %lld\n", number, pause);
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        if (write(fd, line, (size_t)length) != length) {
            /* The reader waits for a whole line. */
        }
        close(fd);
    }
}

int main(int argc, char **argv) {
    if (argc != 3 || atol(argv[1]) <= 0) {
        fprintf(stderr, "usage: resident_program MEGABYTES FILE\n");
        return 2;
    }
    const size_t size = (size_t)atol(argv[1]) * 1024 * 1024;
    unsigned char *memory = malloc(size);
    if (memory == NULL) {
        return 1;
    }
    /* Every page written, with content a dump cannot skip as zero. */
    for (size_t at = 0; at < size; ++at) {
        memory[at] = (unsigned char)(at * 31 + 7);
    }
    long pauses = 0;
    note(argv[2], pauses, 0);
    const struct timespec tick = {0, 1000 * 1000};
    for (long long last = now_ns();;) {
        nanosleep(&tick, NULL);
        const long long now = now_ns();
        if (now - last > kPauseNs) {
            note(argv[2], ++pauses, now - last);
        }
        last = now;
        /* Keeps the memory in use as far as the compiler can tell. */
        memory[(size_t)now % size] ^= 1;
    }
}
