/*
 * inside-demo - a program to run inside a container as its main process.
 *
 * It logs through libkestal with the line template "%cont% %prog%[%pid%]: %msg%", so each line
 * names the container it runs in, and registers a callback for SIGTERM, the signal with which
 * the runtime's stop asks a container to end. The callback logs a line and lets main clean up
 * and return, so the program ends on its own before the runtime would kill it.
 *
 * Usage: inside-demo [FILE]
 * FILE, when given, receives a copy of every line as well (appended), so that the lines can
 * be read from the container's root filesystem after it stopped. Exit status 0 after SIGTERM,
 * 1 when the callback cannot be registered.
 */
#include <kestal.h>

#include <errno.h>
#include <semaphore.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

static const char kProgram[] = "inside-demo";
static const char kTemplate[] = "%cont% %prog%[%pid%]: %msg%";

static const char *copy_path;

/* Logs message and appends the same line, as the template lays it out, to the copy file. */
static void say(int priority, const char *message) {
    kestal_log(priority, __FILE__, __LINE__, __func__, "%s", message);
    if (copy_path == NULL) {
        return;
    }
    FILE *copy = fopen(copy_path, "a");
    if (copy == NULL) {
        perror(copy_path);
        return;
    }
    (void)fprintf(copy, "%s %s[%d]: %s\n", get_container_name(), kProgram, (int)getpid(), message);
    (void)fclose(copy);
}

/* Runs on the library's relay thread, not in the signal handler, so it may log and post. */
static void on_sigterm(int signo, void *data) {
    (void)signo;
    say(LOG_NOTICE, "SIGTERM: cleaning up and leaving on my own");
    (void)sem_post(data);
}

int main(int argc, char **argv) {
    copy_path = argc > 1 ? argv[1] : NULL;
    kestal_log_open(kProgram, LOG_PID, LOG_LOCAL5);
    kestal_log_set_format(kTemplate);

    sem_t terminate;
    if (sem_init(&terminate, 0, 0) != 0) {
        perror("sem_init");
        return 1;
    }
    /* Registered before the first line, so that a reader who saw that line may stop us. */
    kestal_termination_callback *callback =
        kestal_termination_register_callback(SIGTERM, on_sigterm, &terminate);
    if (callback == NULL) {
        say(LOG_ERR, "cannot register the SIGTERM callback");
        return 1;
    }
    say(LOG_INFO, is_container() ? "started inside a container" : "started outside any container");

    while (sem_wait(&terminate) != 0 && errno == EINTR) {
    }
    (void)kestal_termination_unregister_callback(callback);
    say(LOG_INFO, "exiting");
    (void)sem_destroy(&terminate);
    kestal_log_close();
    return 0;
}
