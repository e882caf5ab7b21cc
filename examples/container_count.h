/*
 * container_count.h - the count that the demo's system container keeps: its main process
 * counts in a shell variable and writes each number to /tmp/count in its root filesystem,
 * which the host reads through the ROOTFS line of `zor-sys info`. What the program has in its
 * memory thus shows on the host, before and after a checkpoint, a restart or a move.
 */
#ifndef CONTAINER_COUNT_H
#define CONTAINER_COUNT_H

/**
 * Returns the count that container name last wrote, as the runtime of the current state
 * directory (ZOR_RUNTIME_STATE) shows its root filesystem; -1 when it cannot be read.
 */
int demo_read_count(const char *name);

/**
 * Waits up to timeout_ms milliseconds for the count of container name to reach at_least and
 * returns the last count read (-1 when none could be read).
 */
int demo_wait_count(const char *name, int at_least, int timeout_ms);

#endif /* CONTAINER_COUNT_H */
