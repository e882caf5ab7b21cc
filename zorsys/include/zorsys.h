/*
 * zorsys.h - client library for system containers.
 *
 * Every operation composes one command line for the administration tool zor-sys, runs it
 * through the shell (as a rule under sudo), turns the tool's exit status or output into its
 * result and writes at most one outcome line through kestal_log(). Every text a caller
 * passes (names, destinations, option values) reaches the tool as exactly one argument,
 * whatever bytes it holds: shell metacharacters, blanks and tabs are escaped and an empty
 * text is passed as an empty argument. Outcome lines show the texts as given.
 *
 * Result codes: 0 is success; -1 to -255 is the negated exit status of the command, where a
 * command ended by signal n counts as exit status 128 + n and so gives -(128 + n) (the
 * shell's own convention; such a command never counts as success), and -255 means the shell
 * could not be run or waited for; ZOR_SYS_EMISSING and ZOR_SYS_ETOOLONG are the library's
 * own codes below. Nothing runs when one of those comes from the arguments.
 *
 * Plain C interface (C99 and later, C++ through extern "C"). Static library libzorsys.a;
 * applications also link libkestal.
 */
#ifndef ZORSYS_H
#define ZORSYS_H

/**
 * A required argument or output location was missing, or the command's pipe could not be
 * started (-201).
 */
#define ZOR_SYS_EMISSING (-201)
/**
 * The command, an option of it, or the command with every caller text escaped would exceed
 * 1023 characters; nothing ran (-202).
 */
#define ZOR_SYS_ETOOLONG (-202)

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
 * Returns 0, the negated exit status, ZOR_SYS_EMISSING (name or config null) or ZOR_SYS_ETOOLONG
 * (too long).
 */
ZORSYS_API int zor_sys_create_container(const char *name,
                                        const zor_sys_config *config) ZORSYS_NOEXCEPT;

/** Destroys the system container name. Returns 0, the negated exit status, ZOR_SYS_EMISSING or
 * ZOR_SYS_ETOOLONG. */
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
 * Releases handle and its name; runs no command. Returns 0, or ZOR_SYS_EMISSING when the handle is
 * null or holds no name (a nameless record is released all the same).
 */
ZORSYS_API int zor_sys_close(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/** Starts the container of handle. Returns 0, the negated exit status, ZOR_SYS_EMISSING or
 * ZOR_SYS_ETOOLONG. */
ZORSYS_API int zor_sys_start(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/** Stops the container of handle. Returns 0, the negated exit status, ZOR_SYS_EMISSING or
 * ZOR_SYS_ETOOLONG. */
ZORSYS_API int zor_sys_stop(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/**
 * Returns the status number of the container of handle, the tool's exit status 0 to 100;
 * an exit status of 101 or more (a signal counting as 128 plus its number) gives its
 * negation. ZOR_SYS_EMISSING for a null handle, ZOR_SYS_ETOOLONG when the command would be too
 * long.
 */
ZORSYS_API int zor_sys_get_status(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/**
 * Stores the process number of the container's main process, the first line of the tool's
 * output read as a decimal number (0 when it prints none), in *pid. Returns 0, the negated
 * exit status (*pid unchanged), ZOR_SYS_EMISSING (null handle or pid, or the pipe failed) or
 * ZOR_SYS_ETOOLONG.
 */
ZORSYS_API int zor_sys_get_pid(zor_sys_handle *handle, int32_t *pid) ZORSYS_NOEXCEPT;

/* ---- Listings ------------------------------------------------------------------------
 *
 * A name list is a null-terminated array of pointers to texts, one per line of the tool's
 * output in the order printed, each text in a block of its own of 1024 bytes; an empty
 * result is a null pointer. A line loses only its trailing newline. A line longer than 1023
 * characters arrives as several entries of at most 1023 characters, which together hold
 * every character of it. The list belongs to the caller, does not depend on the handle that
 * made it, and is freed only by one of the four release operations below (any of them).
 * Listings write no outcome line and do not examine the tool's exit status: whatever it
 * printed is the list. *list is written only when a listing returns 0.
 */

/**
 * Lists all system containers. Returns 0, or ZOR_SYS_EMISSING when list is null (nothing runs), the
 * pipe could not be started or memory ran out.
 */
ZORSYS_API int zor_sys_get_container_list(char ***list) ZORSYS_NOEXCEPT;

/** Lists all base images; results as for zor_sys_get_container_list(). */
ZORSYS_API int zor_sys_get_base_list(char ***list) ZORSYS_NOEXCEPT;

/**
 * Lists the snapshots of the container of handle. For a handle of type 100 the output is a
 * table: the lines up to and including the first that holds "ID" are its header, and each
 * later line gives its second field (fields split at runs of blanks, not at tabs; a line
 * without a second field gives no entry). Any other type lists every line whole. Returns 0,
 * ZOR_SYS_EMISSING (null handle or list, which run nothing; pipe not started; memory ran out) or
 * ZOR_SYS_ETOOLONG (command too long, nothing runs).
 */
ZORSYS_API int zor_sys_get_snapshot_list(zor_sys_handle *handle, char ***list) ZORSYS_NOEXCEPT;

/**
 * Lists the checkpoints of the container of handle as zor_sys_get_snapshot_list() lists its
 * snapshots. The tool runs with the caller's own rights, not through sudo.
 */
ZORSYS_API int zor_sys_get_checkpoint_list(zor_sys_handle *handle, char ***list) ZORSYS_NOEXCEPT;

/** Removes the base image name. Returns 0, the negated exit status, ZOR_SYS_EMISSING or
 * ZOR_SYS_ETOOLONG. */
ZORSYS_API int zor_sys_remove_base(const char *name) ZORSYS_NOEXCEPT;

/**
 * Frees a name list, every entry and then the array. Returns 0, or ZOR_SYS_EMISSING and frees
 * nothing when list is null or its first slot is the terminator.
 */
ZORSYS_API int zor_sys_release_container_list(char **list) ZORSYS_NOEXCEPT;

/** Frees a name list as zor_sys_release_container_list() does. */
ZORSYS_API int zor_sys_release_snapshot_list(char **list) ZORSYS_NOEXCEPT;

/** Frees a name list as zor_sys_release_container_list() does. */
ZORSYS_API int zor_sys_release_checkpoint_list(char **list) ZORSYS_NOEXCEPT;

/** Frees a name list as zor_sys_release_container_list() does. */
ZORSYS_API int zor_sys_release_base_list(char **list) ZORSYS_NOEXCEPT;

/* ---- Resource limits and usage ------------------------------------------------------- */

#if defined(__GNUC__)
/* The unnamed struct below is standard C11; the keyword keeps C99 and C++ compilers quiet. */
#define ZORSYS_UNNAMED_MEMBER __extension__
#else
#define ZORSYS_UNNAMED_MEMBER
#endif

/**
 * One resource of a container and its value. type is 1 (cpu), 2 (core), 3 (mem) or
 * 4 (memsw). value.cpu and value.mem are the first number of a pair, value.memsw its second
 * number; value.core is a text in the tool's own notation, such as "0-3".
 */
typedef struct zor_sys_resource {
    int32_t type;
    union {
        int32_t cpu; /**< processor use (type 1) */
        int32_t mem; /**< memory (type 3) */
        ZORSYS_UNNAMED_MEMBER struct {
            int32_t zor_sys_first_of_pair; /**< where cpu and mem lie */
            int32_t memsw;                 /**< memory and swap (type 4) */
        };
        char *core; /**< processor cores (type 2) */
    } value;
} zor_sys_resource;

/**
 * Limits one resource of the container of handle to resource.value, for the control group
 * cgroup (passed as "-g", may be null) and the application container app_name (may be null).
 * Writes one outcome line: on success it names the container, on failure cgroup ('' when
 * null). Returns 0, the negated exit status, ZOR_SYS_EMISSING (null handle, null core text, or a
 * type outside 1 to 4; nothing runs) or ZOR_SYS_ETOOLONG (command too long; nothing runs).
 */
ZORSYS_API int zor_sys_set_resource(zor_sys_handle *handle, const char *cgroup,
                                    const char *app_name,
                                    zor_sys_resource resource) ZORSYS_NOEXCEPT;

/**
 * Lifts the limit of the resource of resource.type (its value is not used) as
 * zor_sys_set_resource() sets it; cgroup is passed as "-c". Same results and outcome lines.
 */
ZORSYS_API int zor_sys_unset_resource(zor_sys_handle *handle, const char *cgroup,
                                      const char *app_name,
                                      zor_sys_resource resource) ZORSYS_NOEXCEPT;

/**
 * Reads the usage of the resource of resource->type for the container of handle, within the
 * application container app_name when given (may be null) and for the process pid when pid
 * is above 0 (a virtual process number when app_name is given). Writes the command line it
 * runs and then its result code, each on a line of its own, to standard output.
 *
 * On success fills resource->value from the first line of the tool's output (cpu and mem:
 * the first number of the pair, memsw: the second, read as decimal numbers; 0 when there is
 * none) and returns 0 without an outcome line. For type 2, value.core points to that line,
 * its newline included, in storage of the library's own for the calling thread: the text
 * stays valid until the next zor_sys_get_resource() on the same thread and must not be freed.
 *
 * On failure leaves resource unchanged, writes a failure line naming the container ('' for
 * no handle) and returns the negated exit status, ZOR_SYS_EMISSING (null handle or resource, or a
 * type outside 1 to 4, which run nothing; pipe not started) or ZOR_SYS_ETOOLONG (command too long).
 */
ZORSYS_API int zor_sys_get_resource(zor_sys_handle *handle, int32_t pid, const char *app_name,
                                    zor_sys_resource *resource) ZORSYS_NOEXCEPT;

/* ---- Checkpoints, snapshots and migration --------------------------------------------
 *
 * Each operation runs one command and writes one outcome line. Each returns 0, the negated
 * exit status, ZOR_SYS_EMISSING (a null handle or text; nothing runs, no line) or ZOR_SYS_ETOOLONG
 * (the command would exceed 1023 characters; nothing runs, no line). Names are passed to the tool
 * unchanged apart from the escaping; an empty name passes the option without a value.
 */

/** Suspends the container of handle. */
ZORSYS_API int zor_sys_suspend(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/** Resumes the suspended container of handle. */
ZORSYS_API int zor_sys_resume(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/** Takes the checkpoint checkpoint of the container; the tool runs without sudo. */
ZORSYS_API int zor_sys_checkpoint(zor_sys_handle *handle, const char *checkpoint) ZORSYS_NOEXCEPT;

/** Restarts the container from the checkpoint checkpoint; the tool runs without sudo. */
ZORSYS_API int zor_sys_restart(zor_sys_handle *handle, const char *checkpoint) ZORSYS_NOEXCEPT;

/** Removes the checkpoint checkpoint of the container. */
ZORSYS_API int zor_sys_remove_checkpoint(zor_sys_handle *handle,
                                         const char *checkpoint) ZORSYS_NOEXCEPT;

/** Saves a snapshot of the container under the name snapshot. */
ZORSYS_API int zor_sys_save_snapshot(zor_sys_handle *handle, const char *snapshot) ZORSYS_NOEXCEPT;

/** Loads the snapshot snapshot into the container. */
ZORSYS_API int zor_sys_load_snapshot(zor_sys_handle *handle, const char *snapshot) ZORSYS_NOEXCEPT;

/** Removes the snapshot snapshot of the container. */
ZORSYS_API int zor_sys_remove_snapshot(zor_sys_handle *handle,
                                       const char *snapshot) ZORSYS_NOEXCEPT;

/** Commits the snapshot snapshot of the container to the base image base. */
ZORSYS_API int zor_sys_commit_snapshot(zor_sys_handle *handle, const char *snapshot,
                                       const char *base) ZORSYS_NOEXCEPT;

/** Shares the container of handle; the tool runs without sudo. */
ZORSYS_API int zor_sys_share(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/** Ends the sharing of the container of handle; the tool runs without sudo. */
ZORSYS_API int zor_sys_unshare(zor_sys_handle *handle) ZORSYS_NOEXCEPT;

/**
 * Migrates the container of handle to destination through port, on the sending machine.
 * The handle stays valid and is still released by zor_sys_close().
 */
ZORSYS_API int zor_sys_migration_start(zor_sys_handle *handle, const char *destination,
                                       int32_t port) ZORSYS_NOEXCEPT;

/** Receives the container name migrated through port, on the receiving machine. */
ZORSYS_API int zor_sys_immigration_start(const char *name, int32_t port) ZORSYS_NOEXCEPT;

/* ---- Control groups and process binding ----------------------------------------------
 *
 * handle is optional: when given, the command names its container. cgroup is required.
 * Each returns 0, the negated exit status, ZOR_SYS_EMISSING (null cgroup, or a handle without a
 * name; nothing runs, no line) or ZOR_SYS_ETOOLONG (command too long; nothing runs, no line), and
 * writes one outcome line naming the control group.
 */

/** Creates the control group cgroup. */
ZORSYS_API int zor_sys_create_cgroup(zor_sys_handle *handle, const char *cgroup) ZORSYS_NOEXCEPT;

/** Destroys the control group cgroup. */
ZORSYS_API int zor_sys_destroy_cgroup(zor_sys_handle *handle, const char *cgroup) ZORSYS_NOEXCEPT;

/** Binds the process pid (any value, passed as it is) to the control group cgroup. */
ZORSYS_API int zor_sys_bind_pid(zor_sys_handle *handle, const char *cgroup,
                                int32_t pid) ZORSYS_NOEXCEPT;

/** Unbinds the process pid (any value, passed as it is) from the control group cgroup. */
ZORSYS_API int zor_sys_unbind_pid(zor_sys_handle *handle, const char *cgroup,
                                  int32_t pid) ZORSYS_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZORSYS_H */
