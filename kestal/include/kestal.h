/*
 * kestal.h - logging, container identity and termination callbacks for
 * processes that run inside containers.
 *
 * Plain C interface (C99 and later, C++ through extern "C"). Link with
 * -lkestal (soname libkestal.so.1).
 */
#ifndef KESTAL_H
#define KESTAL_H

#include <stddef.h>
#include <stdint.h>
#include <syslog.h>

#ifdef KESTAL_TERMINATION_STATE
#include <pthread.h>
#include <semaphore.h>
#include <time.h>
#endif

#if defined(__GNUC__)
#define KESTAL_API __attribute__((visibility("default")))
#define KESTAL_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KESTAL_API
#define KESTAL_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Name table record: a name and its value. Tables end with {NULL, -1}.
 *
 * When <syslog.h> was included with SYSLOG_NAMES before this header, the
 * platform's own record type (and its tables, defined in that translation
 * unit) are used, so both headers compile together in either order.
 */
#if defined(SYSLOG_NAMES) && defined(INTERNAL_NOPRI)
typedef CODE kestal_code;
#else
typedef struct kestal_code {
    char *c_name;
    int c_val;
} kestal_code;

/** Syslog level names, exactly as the platform's SYSLOG_NAMES table. */
KESTAL_API extern kestal_code prioritynames[];
/** Syslog facility names, exactly as the platform's SYSLOG_NAMES table. */
KESTAL_API extern kestal_code facilitynames[];
#endif

/** Keys of the log line template, in expansion order; c_val is the index. */
KESTAL_API extern kestal_code logfmt_keys[];

/* ------------------------------------------------------------------ */
/* Log facility                                                        */
/* ------------------------------------------------------------------ */

/**
 * Opens the system log with the given identity, openlog() options and
 * facility. The identity pointer is kept by the platform: the string must
 * outlive the log. After this call kestal_log() never opens the log itself.
 */
KESTAL_API void kestal_log_open(const char *ident, int option, int facility);

/**
 * Replaces the line template (at most 255 characters; a longer one is cut).
 * Keys: %faci% %lvl% %time% %host% %prog% %pid% %msg% %file% %line% %func%
 * %cont%. The default is "%msg%". A null template leaves it unchanged.
 * Must not be called while other threads log.
 */
KESTAL_API void kestal_log_set_format(const char *format);

/**
 * Formats a message with printf rules, expands the line template around it
 * and sends the line to syslog(). A priority without facility bits is
 * logged as LOG_LOCAL5. file and func may be null. Opens the system log on
 * first use (program name as identity, LOG_PID, LOG_LOCAL5) unless
 * kestal_log_open() came first. Allocates nothing; not async-signal-safe.
 */
KESTAL_API void kestal_log(int priority, const char *file, int line, const char *func,
                           const char *format, ...) KESTAL_PRINTF(5, 6);

/** Closes the system log. A later kestal_log() does not reopen it by itself. */
KESTAL_API void kestal_log_close(void);

/* ------------------------------------------------------------------ */
/* Container identity                                                  */
/* ------------------------------------------------------------------ */

/**
 * Returns the name of the container the calling process runs in, read once
 * per process from /proc/self/cgroup; "" outside a container or when the
 * lookup failed. Never null; owned by the library, never to be freed.
 */
KESTAL_API const char *get_container_name(void);

/**
 * Copies the container name into dest with strncpy() semantics (count is
 * the limit: a name of count or more characters is not terminated) and
 * returns dest. dest must hold at least count bytes.
 */
KESTAL_API char *kestal_get_container_name(char *dest, size_t count);

/** Returns 1 when the calling process runs in a container, else 0. */
KESTAL_API int is_container(void);

/* ------------------------------------------------------------------ */
/* Termination callbacks                                               */
/* ------------------------------------------------------------------ */

/** Callback run on the relay thread with the signal number and user data. */
typedef void (*kestal_termination_fn)(int signo, void *data);

/** A registered callback; allocated by registration, freed by unregistration. */
typedef struct kestal_termination_callback {
    int signo;
    kestal_termination_fn callback;
    void *data;
} kestal_termination_callback;

/**
 * Registers callback for signal signo (1 to SIGRTMAX), replacing any record
 * for that signal (which stays the caller's to unregister). When the signal
 * arrives, callback(signo, data) runs on the library's relay thread, not in
 * the signal handler. The first registration while none is registered
 * announces the process to the container runtime. Returns the new record,
 * or null on failure. Not to be called concurrently with itself or with
 * kestal_termination_unregister_callback().
 */
KESTAL_API kestal_termination_callback *kestal_termination_register_callback(
    int signo, kestal_termination_fn callback, void *data);

/**
 * Unregisters and frees record (null is allowed); when record holds its
 * signal's slot, the signal's default action is restored. Returns once no
 * callback of the record can run any more. Returns 0, or -1 when the relay
 * for the remaining callbacks could not be restarted or, once nothing is
 * registered, the withdrawal from the container runtime could not be
 * written.
 */
KESTAL_API int kestal_termination_unregister_callback(kestal_termination_callback *record);

/*
 * struct timespec of <time.h>; declared here so that the header needs no more includes.
 */
struct timespec;

/**
 * Copies the time stamp that the signal handler took as the last signal
 * arrived into *start, and the one the relay thread took as it received it
 * into *end (either may be null; both are zero until a signal came). This
 * is the way to read the two stamps: the exported tp_start and tp_end hold
 * them only while the program neither defines those names itself nor holds
 * copies of them (as a program linked with copy relocations does).
 */
KESTAL_API void kestal_termination_get_time_stamps(struct timespec *start, struct timespec *end);

/**
 * Sets the clock (a clock_gettime() clock id) of the two stamps; the default
 * is CLOCK_PROCESS_CPUTIME_ID (2). This is the way to choose it; call it
 * while no callback is registered.
 */
KESTAL_API void kestal_termination_set_clock(int clock);

/**
 * One way of passing signal numbers from the signal handler to the relay
 * thread. init creates the channel and finish releases it (-1 on failure);
 * send is async-signal-safe and hands *signo over; recv waits for the next
 * number and stores it in *signo (0 when it woke without one), returning -1
 * when the relay thread is to end.
 */
typedef struct kestal_termination_channel {
    int (*init)(void);
    int (*recv)(int *signo);
    int (*send)(int *signo);
    int (*finish)(void);
    const char *name;
} kestal_termination_channel;

/**
 * The channel implementations: entry 0 "pipe" (numbers in arrival order),
 * entry 1 "sem" (a semaphore with a pending count per signal number), the
 * one the facility uses.
 */
KESTAL_API extern const kestal_termination_channel commufunc[2];

/*
 * The facility's process-wide state, for measurements and diagnostics. Its
 * names are short and generic, so they are declared only for a translation
 * unit that defines KESTAL_TERMINATION_STATE before including this header;
 * the library exports them either way. The library works on storage of its
 * own, of which these names are aliases: a program that defines one of the
 * names itself keeps its own object, which the library never touches, and a
 * program that holds copies of them (copy relocations, as position-dependent
 * and most position-independent executables do) sees values that the library
 * no longer changes. Read the time stamps with
 * kestal_termination_get_time_stamps() and choose their clock with
 * kestal_termination_set_clock(); the other names are for reading only, and
 * show current values only where the program reaches the library's own
 * objects (code built with -fPIC in a shared object, for one).
 */
#ifdef KESTAL_TERMINATION_STATE
/** Semaphore of the "sem" channel; null while that channel does not exist. */
KESTAL_API extern sem_t *sem;
/** The signal number most recently handed to the "sem" channel. */
KESTAL_API extern int signo_for_sem;
/** Read and write end of the "pipe" channel; null while it does not exist. */
KESTAL_API extern int *pipefd;
/** The relay thread, valid while a callback is registered. */
KESTAL_API extern pthread_t tid;
/** Clock of the two stamps below; CLOCK_PROCESS_CPUTIME_ID (2) at first. */
KESTAL_API extern int clockid;
/** Taken by the signal handler as a signal arrives. */
KESTAL_API extern struct timespec tp_start;
/** Taken by the relay thread as it receives a signal number. */
KESTAL_API extern struct timespec tp_end;
#endif

#ifdef __cplusplus
}
#endif

#endif /* KESTAL_H */
