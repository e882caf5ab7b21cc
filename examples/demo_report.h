/*
 * demo_report.h - the numbered step lines of the container demo.
 *
 * Every call the demo makes is one numbered line on standard output: the call as written,
 * what it gave, and whether that was what it should give. The report counts the steps and
 * the unexpected ones, so that the program can end with a summary and an exit status that a
 * script can rely on.
 */
#ifndef DEMO_REPORT_H
#define DEMO_REPORT_H

#if defined(__GNUC__)
#define DEMO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define DEMO_PRINTF(fmt, args)
#endif

/** The running count of one demo: steps taken and steps that went otherwise than planned. */
typedef struct demo_report {
    int steps;
    int unexpected;
} demo_report;

/** Prints a heading for the next group of steps. */
void demo_section(const char *title);

/**
 * Reserves the next step number for a step that another process prints (the migration's
 * receiver), and returns it. The step counts as expected until demo_mark_unexpected().
 */
int demo_reserve_step(demo_report *report);

/** Counts a reserved step as unexpected after all. */
void demo_mark_unexpected(demo_report *report);

/**
 * Prints step number, the call (a printf format and its arguments), the result code and, when
 * it is not expected, what it should have been. Returns 1 when result equals expected.
 */
int demo_step(demo_report *report, int result, int expected, const char *call, ...)
    DEMO_PRINTF(4, 5);

/**
 * Prints a step whose outcome is a condition rather than a result code: the call or check,
 * and "yes" or "NO". Returns the condition as 0 or 1.
 */
int demo_check(demo_report *report, int condition, const char *what, ...) DEMO_PRINTF(3, 4);

/** Prints a detail line under the last step, indented. */
void demo_detail(const char *format, ...) DEMO_PRINTF(1, 2);

/** Prints the step line of a step numbered elsewhere (see demo_reserve_step()). */
void demo_print_step(int number, int result, int expected, const char *call, ...) DEMO_PRINTF(4, 5);

/** Prints the summary line; returns the program's exit status, 0 when all went as planned. */
int demo_summary(const demo_report *report, const char *program);

#endif /* DEMO_REPORT_H */
