/*
 * An application as users write one: plain C, all three public headers in one file, both
 * client libraries in use, and names of its own that the libraries use inside.
 */
#include <kestal.h>
#include <zorapp.h>
#include <zorsys.h>

#include <stddef.h>
#include <string.h>

int application_run(void);
int application_header_sizes(void);
int escape_meta_char(char *destination, const char *source);

/* The application's own function under the name of the frame's escaping routine. */
int escape_meta_char(char *destination, const char *source) {
    strcpy(destination, source);
    return 42;
}

/* Opens web with both libraries, starts it, registers a process and lists nothing else. */
int application_run(void) {
    char copy[16];
    int failures = 0;
    zor_sys_handle *system_container = zor_sys_open("web");
    zor_app_handle *application = zor_app_open("web");
    if (system_container == NULL || application == NULL) {
        return -1;
    }
    failures += zor_sys_start(system_container) != 0;
    failures += zor_app_start(application) != 0;
    failures += zor_app_register_pid(application, 1234) != 0;
    failures += zor_app_checkpoint(application, "c1") != 0;
    failures += escape_meta_char(copy, "a;b") != 42 || strcmp(copy, "a;b") != 0;
    failures += zor_app_close(application) != 0;
    failures += zor_sys_close(system_container) != 0;
    return failures;
}

int application_header_sizes(void) {
    zor_app_handle handle = {1, NULL};
    zor_app_config config = {1, 8080, NULL};
    zor_app_resource resource;
    zor_app_pid_pair pair = {120, 7};
    resource.type = 4;
    resource.value.memsw = 2048;
    return (int)(sizeof handle.type + sizeof config.opt_p + sizeof resource.value + sizeof pair) +
           (resource.value.mem == 2048 ? 0 : 1000);
}
