/* The numbered step lines of the container demo and their tally. */
#include "demo_report.h"

#include <stdarg.h>
#include <stdio.h>

/* Wide enough for most calls, so that the results line up in a column. */
enum { CALL_WIDTH = 66 };

DEMO_PRINTF(2, 0)
static void print_line(int number, const char *call, va_list args, const char *outcome) {
    char text[512];
    (void)vsnprintf(text, sizeof text, call, args);
    printf("%3d. %-*s %s\n", number, CALL_WIDTH, text, outcome);
}

DEMO_PRINTF(4, 0)
static void print_result(int number, int result, int expected, const char *call, va_list args) {
    char outcome[64];
    if (result == expected) {
        (void)snprintf(outcome, sizeof outcome, "= %d", result);
    } else {
        (void)snprintf(outcome, sizeof outcome, "= %d  UNEXPECTED, should be %d", result, expected);
    }
    print_line(number, call, args, outcome);
}

void demo_section(const char *title) {
    printf("\n== %s\n", title);
}

int demo_reserve_step(demo_report *report) {
    return ++report->steps;
}

void demo_mark_unexpected(demo_report *report) {
    ++report->unexpected;
}

int demo_step(demo_report *report, int result, int expected, const char *call, ...) {
    va_list args;
    va_start(args, call);
    print_result(++report->steps, result, expected, call, args);
    va_end(args);
    if (result != expected) {
        ++report->unexpected;
        return 0;
    }
    return 1;
}

int demo_check(demo_report *report, int condition, const char *what, ...) {
    va_list args;
    va_start(args, what);
    print_line(++report->steps, what, args, condition ? "yes" : "NO  UNEXPECTED");
    va_end(args);
    if (!condition) {
        ++report->unexpected;
        return 0;
    }
    return 1;
}

void demo_detail(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("       ", stdout);
    vprintf(format, args);
    fputc('\n', stdout);
    va_end(args);
}

void demo_print_step(int number, int result, int expected, const char *call, ...) {
    va_list args;
    va_start(args, call);
    print_result(number, result, expected, call, args);
    va_end(args);
}

int demo_summary(const demo_report *report, const char *program) {
    if (report->unexpected == 0) {
        printf("\n%s: %d steps, every one gave the result it should\n", program, report->steps);
        return 0;
    }
    printf("\n%s: %d steps, %d of them UNEXPECTED\n", program, report->steps, report->unexpected);
    return 1;
}
