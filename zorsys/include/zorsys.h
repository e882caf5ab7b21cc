/*
 * zorsys.h - client library for system containers.
 *
 * Every operation composes one command line for the administration tool zor-sys, runs it
 * through the shell (as a rule under sudo), turns the tool's exit status or output into its
 * result and writes at most one outcome line through kestal_log(). Names are passed to the
 * tool with every shell metacharacter escaped; blanks and tabs still separate words.
 *
 * Result codes: 0 is success; -1 to -255 is the negated exit status of the command (-(128 + n)
 * when it was ended by signal n, -255 when the shell could not be run or waited for); -201
 * means a required argument or output location was missing or a pipe could not be started;
 * -202 means a command would have exceeded 1023 characters. Nothing runs when -201 or -202
 * comes from the arguments.
 *
 * Plain C interface (C99 and later, C++ through extern "C"). Static library libzorsys.a;
 * applications also link libkestal.
 */
#ifndef ZORSYS_H
#define ZORSYS_H

#include <stdint.h>

#if defined(__GNUC__)
#define ZORSYS_API __attribute__((visibility("default")))
#else
#define ZORSYS_API
#endif

#ifdef __cplusplus
#define ZORSYS_NOEXCEPT noexcept
extern "C" {
#else
#define ZORSYS_NOEXCEPT
#endif

/** A handle on a system container, made by zor_sys_open() and released by zor_sys_close(). */
typedef struct zor_sys_handle {
    int32_t type; /**< type number read at open from the tool's info output; 0 if none */
    char *name;   /**< the handle's own copy of the container name */
} zor_sys_handle;

/** How zor_sys_create_container() creates a container; owned by the caller. */
typedef struct zor_sys_config {
    int32_t type;  /**< type number; only type 100 passes the three options below */
    int32_t opt_m; /**< passed as "-m" when above 0 */
    char *opt_b;   /**< passed as "-b" when present and not empty */
    char *opt_f;   /**< passed as "-f" when present and not empty */
} zor_sys_config;

/**
 * Creates the system container name. With config->type 100 the options -m, -b and -f are
 * passed as zor_sys_config describes; with any other type the tool receives the name alone.
 * Returns 0, the negated exit status, -201 (name or config null) or -202 (too long).
 */
ZORSYS_API int zor_sys_create_container(const char *name,
                                        const zor_sys_config *config) ZORSYS_NOEXCEPT;

/** Destroys the system container name. Returns 0, the negated exit status, -201 or -202. */
ZORSYS_API int zor_sys_destroy_container(const char *name) ZORSYS_NOEXCEPT;

/**
 * Opens a handle on the existing system container name. Returns null when the tool's search
 * fails (any exit status but 0), when the name is null or longer than 983 characters, or when
 * memory runs out. Otherwise the handle's type is read from the first line of the tool's info
 * output (its second field, when the line holds "TYPE"); a handle whose type stayed 0 is
 * returned all the same, with a failure line.
 */
ZORSYS_API zor_sys_handle *zor_sys_open(const char *name) ZORSYS_NOEXCEPT;

/**
 * Releases handle and its name; runs no command. Returns 0, or -201 when the handle is null
 * or holds no name (a nameless record is released all the same).
 */
ZORSYS_API int zor_sys_close(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/** Starts the container of handle. Returns 0, the negated exit status, -201 or -202. */
ZORSYS_API int zor_sys_start(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/** Stops the container of handle. Returns 0, the negated exit status, -201 or -202. */
ZORSYS_API int zor_sys_stop(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/**
 * Returns the status number of the container of handle, the tool's exit status 0 to 100;
 * an exit status of 101 or more (a signal counting as 128 plus its number) gives its
 * negation. -201 for a null handle, -202 when the command would be too long.
 */
ZORSYS_API int zor_sys_get_status(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/**
 * Stores the process number of the container's main process, the first line of the tool's
 * output read as a decimal number (0 when it prints none), in *pid. Returns 0, the negated
 * exit status (*pid unchanged), -201 (null handle or pid, or the pipe failed) or -202.
 */
ZORSYS_API int zor_sys_get_pid(zor_sys_handle *handle, int32_t *pid) ZORSYS_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZORSYS_H */
