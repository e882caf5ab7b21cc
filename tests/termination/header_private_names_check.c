/*
 * Without KESTAL_TERMINATION_STATE an application keeps the short names for itself: these
 * file-scope definitions would clash with the state's declarations.
 */
#include <kestal.h>

static int sem = 1;
static double tid = 2.0;
static const char *clockid = "mine";
static int pipefd[2] = {3, 4};
static long tp_start = 5;
static long tp_end = 6;
static int signo_for_sem = 7;

int kestal_application_names_from_c(void);
int kestal_application_names_from_c(void) {
    return sem + (int)tid + (clockid[0] == 'm') + pipefd[0] + (int)(tp_start + tp_end) +
           signo_for_sem;
}
