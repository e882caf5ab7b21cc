/*
 * Logs the outcome lines of a few operations of both client libraries, and one line longer
 * than the line bound, for the syslog daemon test. With an identity argument the log is
 * opened by kestal_log_open(); without one the first kestal_log() opens it by default.
 * Prints its process number first, so the test knows the pid the lines carry. The stand-in
 * tools answer as the test scripted them; the exit status counts the results that differ
 * from those the script implies.
 */
#include <kestal.h>
#include <zorapp.h>
#include <zorsys.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv) {
    printf("%d\n", (int)getpid());
    fflush(stdout);
    if (argc > 1) {
        kestal_log_open(argv[1], LOG_PID, LOG_LOCAL5);
    }
    zor_sys_config sys_config = {1, 0, NULL, NULL};
    zor_app_config app_config = {2, 0, NULL};
    int differing = 0;
    differing += zor_sys_create_container("web", &sys_config) != 0;
    differing += zor_sys_destroy_container("gone") != -102;
    differing += zor_sys_remove_base("img") != -(128 + 9);
    differing += zor_app_create_container("worker", &app_config) != 0;
    differing += zor_app_destroy_container("worker") != -104;

    char long_text[1101];
    memset(long_text, 'x', sizeof long_text - 1);
    long_text[sizeof long_text - 1] = '\0';
    kestal_log(LOG_ERR, __FILE__, __LINE__, __func__, "%s", long_text);
    return differing;
}
