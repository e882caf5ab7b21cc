/*
 * The platform's syslog name tables, exported by libkestal under their own names.
 *
 * Compiled as C so that <syslog.h> defines them exactly as the platform does (same records,
 * same order); the pragma gives them default visibility in a library built with hidden
 * visibility.
 */
#define _DEFAULT_SOURCE
#define SYSLOG_NAMES
#include <stddef.h> /* the tables end with NULL, which <syslog.h> does not define */
#pragma GCC visibility push(default)
#include <syslog.h>
#pragma GCC visibility pop
