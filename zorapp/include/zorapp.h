/*
 * zorapp.h - client library for application containers.
 *
 * Every operation composes one command line for the administration tool zor-app, runs it
 * through the shell under sudo, turns the tool's exit status or output into its result and
 * writes at most one outcome line through kestal_log(). Every text a caller
 * passes (names, option values) reaches the tool as exactly one argument, whatever bytes it
 * holds: shell metacharacters, blanks and tabs are escaped and an empty text is passed as an
 * empty argument. Outcome lines show the texts as given.
 *
 * Result codes: 0 is success; -1 to -255 is the negated exit status of the command, where a
 * command ended by signal n counts as exit status 128 + n and so gives -(128 + n) (the
 * shell's own convention; such a command never counts as success), and -255 means the shell
 * could not be run or waited for; ZOR_APP_EMISSING and ZOR_APP_ETOOLONG are the library's
 * own codes below. Nothing runs when one of those comes from the arguments.
 *
 * Plain C interface (C99 and later, C++ through extern "C"). Static library libzorapp.a;
 * applications also link libkestal. It can be linked into one program with libzorsys.a.
 */
#ifndef ZORAPP_H
#define ZORAPP_H

/**
 * A required argument or output location was missing, or the command's pipe could not be
 * started (-201).
 */
#define ZOR_APP_EMISSING (-201)
/**
 * The command, an option of it, or the command with every caller text escaped would exceed
 * 1023 characters; nothing ran (-202).
 */
#define ZOR_APP_ETOOLONG (-202)

#include <stdint.h>

#if defined(__GNUC__)
#define ZORAPP_API __attribute__((visibility("default")))
#else
#define ZORAPP_API
#endif

#ifdef __cplusplus
#define ZORAPP_NOEXCEPT noexcept
extern "C" {
#else
#define ZORAPP_NOEXCEPT
#endif

/** A handle on an application container, made by zor_app_open(), released by zor_app_close(). */
typedef struct zor_app_handle {
    int32_t type; /**< type number read at open from the tool's "CONTAINER_TYPE" line; 0 if none */
    char *name;   /**< the handle's own copy of the container name */
} zor_app_handle;

/** How zor_app_create_container() creates a container; owned by the caller. */
typedef struct zor_app_config {
    int32_t type;  /**< type number; only type 1 passes the two options below */
    int32_t opt_p; /**< passed as "-p" when above 0 */
    char *opt_b;   /**< passed as "-b" when present and not empty */
} zor_app_config;

/**
 * One resource of an application container. cpu, mem and memsw are one and the same number;
 * core is the tool's text for a set of processor cores.
 */
typedef struct zor_app_resource {
    int32_t type; /**< 1 cpu, 2 core, 3 mem, 4 memsw */
    union {
        int32_t cpu;
        int32_t mem;
        int32_t memsw;
        char *core;
    } value;
} zor_app_resource;

/** One entry of the registered-pid list: the two numbers of one "pid,vpid" line. */
typedef struct zor_app_pid_pair {
    int32_t pid;  /**< the number before the comma */
    int32_t vpid; /**< the number after the comma */
} zor_app_pid_pair;

/* ---- Handles and life cycle ---------------------------------------------------------- */

/**
 * Creates the application container name. With config->type 1 the options -p and -b are
 * passed as zor_app_config describes; with any other type the tool receives the name alone.
 * Returns 0, the negated exit status, ZOR_APP_EMISSING (name or config null) or ZOR_APP_ETOOLONG
 * (too long).
 */
ZORAPP_API int zor_app_create_container(const char *name,
                                        const zor_app_config *config) ZORAPP_NOEXCEPT;

/** Destroys the application container name. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_destroy_container(const char *name) ZORAPP_NOEXCEPT;

/**
 * Opens a handle on the existing application container name. Returns null when the tool's
 * search fails (any exit status but 0), when the name is null or longer than 983 characters,
 * or when memory runs out. Otherwise the handle's type is read from the first line of the
 * tool's info output (its second field, when the line holds "CONTAINER_TYPE"); a handle whose
 * type stayed 0 is returned all the same, with a failure line.
 */
ZORAPP_API zor_app_handle *zor_app_open(const char *name) ZORAPP_NOEXCEPT;

/**
 * Releases handle and its name; runs no command. Returns 0, or ZOR_APP_EMISSING when the handle is
 * null or holds no name (a nameless record is released all the same).
 */
ZORAPP_API int zor_app_close(zor_app_handle *handle) ZORAPP_NOEXCEPT;

/** Starts the container of handle. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_start(zor_app_handle *handle) ZORAPP_NOEXCEPT;

/** Stops the container of handle. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_stop(zor_app_handle *handle) ZORAPP_NOEXCEPT;

/**
 * Returns the status number of the container of handle, the tool's exit status 0 to 100;
 * an exit status of 101 or more (a signal counting as 128 plus its number) gives its
 * negation. ZOR_APP_EMISSING for a null handle, ZOR_APP_ETOOLONG when the command would be too
 * long.
 */
ZORAPP_API int zor_app_get_status(zor_app_handle *handle) ZORAPP_NOEXCEPT;

/**
 * Stores the process number of the container's main process, the first line of the tool's
 * output read as a decimal number (0 when it prints none), in *pid. Returns 0, the negated
 * exit status (*pid unchanged), ZOR_APP_EMISSING (null handle or pid, or the pipe failed) or
 * ZOR_APP_ETOOLONG.
 */
ZORAPP_API int zor_app_get_pid(zor_app_handle *handle, int32_t *pid) ZORAPP_NOEXCEPT;

/* ---- Listings, the registered-pid list and their release ---------------------------- */

/**
 * Stores in *list the names of all application containers, one per line of the tool's
 * output without its newline, as a null-terminated array (null when there is none). The
 * tool's exit status is not examined. Returns 0, or ZOR_APP_EMISSING (list null, or the pipe
 * failed; *list unchanged). Release the list with zor_app_release_container_list().
 */
ZORAPP_API int zor_app_get_container_list(char ***list) ZORAPP_NOEXCEPT;

/** Like zor_app_get_container_list(), for the names of all base images. */
ZORAPP_API int zor_app_get_base_list(char ***list) ZORAPP_NOEXCEPT;

/**
 * Stores in *list the snapshot names of the container of handle. For a handle of type 1 the
 * lines up to the first that holds "TAG" are a header, and each later line gives its first
 * field (cut at a space or tab; leading blanks kept); for any other type every line is a
 * name. Returns 0, ZOR_APP_EMISSING (handle or list null, or the pipe failed) or ZOR_APP_ETOOLONG
 * (too long).
 */
ZORAPP_API int zor_app_get_snapshot_list(zor_app_handle *handle, char ***list) ZORAPP_NOEXCEPT;

/**
 * Stores in *list the processes registered with the container of handle: one pair for each
 * output line of the form number, comma, number ("120,7"), in the order printed, as a
 * null-terminated array (null when no line parses). Returns 0, ZOR_APP_EMISSING (handle or list
 * null, or the pipe failed; *list unchanged) or ZOR_APP_ETOOLONG (too long). Release it with
 * zor_app_release_registered_pid_list().
 */
ZORAPP_API int zor_app_get_registered_pid_list(zor_app_handle *handle,
                                               zor_app_pid_pair ***list) ZORAPP_NOEXCEPT;

/**
 * Application containers keep no checkpoints: does nothing, reads no argument, leaves *list
 * as it was and returns 0.
 */
ZORAPP_API int zor_app_get_checkpoint_list(zor_app_handle *handle, char ***list) ZORAPP_NOEXCEPT;

/** Removes the base image name. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_remove_base(const char *name) ZORAPP_NOEXCEPT;

/**
 * Frees a name list of this library: every entry, then the array. Returns 0, or ZOR_APP_EMISSING
 * for a null list. An array that holds only the terminator is freed and gives 0.
 */
ZORAPP_API int zor_app_release_container_list(char **list) ZORAPP_NOEXCEPT;

/** Frees a name list exactly as zor_app_release_container_list() does. */
ZORAPP_API int zor_app_release_snapshot_list(char **list) ZORAPP_NOEXCEPT;

/** Frees a name list exactly as zor_app_release_container_list() does. */
ZORAPP_API int zor_app_release_base_list(char **list) ZORAPP_NOEXCEPT;

/**
 * Frees a registered-pid list: every pair, then the array. Returns 0, or ZOR_APP_EMISSING for a
 * null list. An array that holds only the terminator is freed and gives 0.
 */
ZORAPP_API int zor_app_release_registered_pid_list(zor_app_pid_pair **list) ZORAPP_NOEXCEPT;

/** Does nothing and returns 0; a list handed to it stays allocated. */
ZORAPP_API int zor_app_release_checkpoint_list(char **list) ZORAPP_NOEXCEPT;

/* ---- Resource limits and usage --------------------------------------------------------- */

/**
 * Limits one resource of the container of handle, in control group cgroup (passed with -c)
 * when it is not null. resource.type picks the kind; cpu, mem and memsw use the one number,
 * core its text. Returns 0, the negated exit status, ZOR_APP_EMISSING (null handle, null core text
 * or an unknown kind; nothing runs) or ZOR_APP_ETOOLONG (too long); every failure writes its line.
 */
ZORAPP_API int zor_app_set_resource(zor_app_handle *handle, const char *cgroup,
                                    zor_app_resource resource) ZORAPP_NOEXCEPT;

/** Lifts the limit of resource.type (its value is not read), like zor_app_set_resource(). */
ZORAPP_API int zor_app_unset_resource(zor_app_handle *handle, const char *cgroup,
                                      zor_app_resource resource) ZORAPP_NOEXCEPT;

/**
 * Reads the use of resource->type and stores it in resource->value. handle may be null (the
 * tool is then asked without a container name); cgroup, when not null, is passed with -g;
 * pid, when above 0, with -vpid when a handle is given and with -pid when not. For the core
 * kind value.core points to the first output line without its newline, kept in storage of
 * the calling thread that stays valid until that thread's next core reading or its end.
 * Writes nothing to standard output. Returns 0, the negated exit status (record unchanged),
 * ZOR_APP_EMISSING (null record, unknown kind, or the pipe failed) or ZOR_APP_ETOOLONG (too long).
 */
ZORAPP_API int zor_app_get_resource(zor_app_handle *handle, int32_t pid, const char *cgroup,
                                    zor_app_resource *resource) ZORAPP_NOEXCEPT;

/* ---- Snapshots ------------------------------------------------------------------------- */

/** Suspends the container of handle. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_suspend(zor_app_handle *handle) ZORAPP_NOEXCEPT;

/** Resumes the container of handle. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_resume(zor_app_handle *handle) ZORAPP_NOEXCEPT;

/** Saves a snapshot of the container as snapshot. Returns 0, the negated exit status,
 * ZOR_APP_EMISSING or ZOR_APP_ETOOLONG.
 */
ZORAPP_API int zor_app_save_snapshot(zor_app_handle *handle, const char *snapshot) ZORAPP_NOEXCEPT;

/** Loads the snapshot into the container. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_load_snapshot(zor_app_handle *handle, const char *snapshot) ZORAPP_NOEXCEPT;

/** Removes a snapshot of the container. Returns 0, the negated exit status, ZOR_APP_EMISSING or
 * ZOR_APP_ETOOLONG. */
ZORAPP_API int zor_app_remove_snapshot(zor_app_handle *handle,
                                       const char *snapshot) ZORAPP_NOEXCEPT;

/**
 * Commits the snapshot of the container to the base image base. Returns 0, the negated exit
 * status, ZOR_APP_EMISSING or ZOR_APP_ETOOLONG.
 */
ZORAPP_API int zor_app_commit_snapshot(zor_app_handle *handle, const char *snapshot,
                                       const char *base) ZORAPP_NOEXCEPT;

/** Application containers keep no checkpoints: does nothing and returns 0. */
ZORAPP_API int zor_app_checkpoint(zor_app_handle *handle, const char *checkpoint) ZORAPP_NOEXCEPT;

/** Application containers keep no checkpoints: does nothing and returns 0. */
ZORAPP_API int zor_app_restart(zor_app_handle *handle, const char *checkpoint) ZORAPP_NOEXCEPT;

/** Application containers keep no checkpoints: does nothing and returns 0. */
ZORAPP_API int zor_app_remove_checkpoint(zor_app_handle *handle,
                                         const char *checkpoint) ZORAPP_NOEXCEPT;

/* ---- Control groups, binding and registration ----------------------------------------- */

/**
 * Creates control group cgroup, for the container of handle when it is not null. Returns 0,
 * the negated exit status, ZOR_APP_EMISSING (cgroup null) or ZOR_APP_ETOOLONG.
 */
ZORAPP_API int zor_app_create_cgroup(zor_app_handle *handle, const char *cgroup) ZORAPP_NOEXCEPT;

/** Destroys control group cgroup, like zor_app_create_cgroup(). */
ZORAPP_API int zor_app_destroy_cgroup(zor_app_handle *handle, const char *cgroup) ZORAPP_NOEXCEPT;

/** Binds process pid to control group cgroup; handle may be null. Codes as for create. */
ZORAPP_API int zor_app_bind_pid(zor_app_handle *handle, const char *cgroup,
                                int32_t pid) ZORAPP_NOEXCEPT;

/** Unbinds process pid from control group cgroup; handle may be null. Codes as for create. */
ZORAPP_API int zor_app_unbind_pid(zor_app_handle *handle, const char *cgroup,
                                  int32_t pid) ZORAPP_NOEXCEPT;

/**
 * Binds the process whose number inside the container is vpid to control group cgroup;
 * handle may be null. Codes as for create.
 */
ZORAPP_API int zor_app_bind_vpid(zor_app_handle *handle, const char *cgroup,
                                 int32_t vpid) ZORAPP_NOEXCEPT;

/** Unbinds virtual process vpid from control group cgroup; handle may be null. */
ZORAPP_API int zor_app_unbind_vpid(zor_app_handle *handle, const char *cgroup,
                                   int32_t vpid) ZORAPP_NOEXCEPT;

/**
 * Registers process pid with the container of handle. Returns 0, the negated exit status,
 * ZOR_APP_EMISSING (handle null) or ZOR_APP_ETOOLONG.
 */
ZORAPP_API int zor_app_register_pid(zor_app_handle *handle, int32_t pid) ZORAPP_NOEXCEPT;

/** Withdraws the registration of process pid, like zor_app_register_pid(). */
ZORAPP_API int zor_app_unregister_pid(zor_app_handle *handle, int32_t pid) ZORAPP_NOEXCEPT;

/** Registers virtual process vpid with the container of handle, like zor_app_register_pid(). */
ZORAPP_API int zor_app_register_vpid(zor_app_handle *handle, int32_t vpid) ZORAPP_NOEXCEPT;

/** Withdraws the registration of virtual process vpid, like zor_app_register_pid(). */
ZORAPP_API int zor_app_unregister_vpid(zor_app_handle *handle, int32_t vpid) ZORAPP_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ZORAPP_H */
