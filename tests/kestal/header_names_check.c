/*
 * kestal.h compiles beside <syslog.h> with SYSLOG_NAMES, and the tables libkestal exports
 * are record for record the ones the platform header defines.
 */
#define _DEFAULT_SOURCE
#define SYSLOG_NAMES
#include <stddef.h> /* the platform tables end with NULL, which <syslog.h> leaves undefined */
#include <syslog.h>
#include <kestal.h>

#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

static int compare(const char *label, const CODE *platform, const kestal_code *library) {
    int i = 0;
    for (;; ++i) {
        const int platform_end = platform[i].c_name == NULL;
        const int library_end = library[i].c_name == NULL;
        if (platform_end || library_end) {
            if (platform_end != library_end || library[i].c_val != -1) {
                fprintf(stderr, "%s: tables end differently at record %d\n", label, i);
                return 1;
            }
            return 0;
        }
        if (strcmp(platform[i].c_name, library[i].c_name) != 0 ||
            platform[i].c_val != library[i].c_val) {
            fprintf(stderr, "%s: record %d differs: %s %d / %s %d\n", label, i, platform[i].c_name,
                    platform[i].c_val, library[i].c_name, library[i].c_val);
            return 1;
        }
    }
}

int main(void) {
    /* This program defines its own copies of the tables (the header did), so look up the
     * library's through its handle. */
    void *library = dlopen("libkestal.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (library == NULL) {
        fprintf(stderr, "libkestal.so.1 is not loaded: %s\n", dlerror());
        return 1;
    }
    const kestal_code *priorities = (const kestal_code *)dlsym(library, "prioritynames");
    const kestal_code *facilities = (const kestal_code *)dlsym(library, "facilitynames");
    const kestal_code *keys = (const kestal_code *)dlsym(library, "logfmt_keys");
    if (priorities == NULL || facilities == NULL || keys == NULL) {
        fprintf(stderr, "a table is not exported\n");
        return 1;
    }
    int failed = compare("prioritynames", prioritynames, priorities) +
                 compare("facilitynames", facilitynames, facilities);
    static const char *const expected_keys[] = {"%faci%", "%lvl%",  "%time%", "%host%",
                                                "%prog%", "%pid%",  "%msg%",  "%file%",
                                                "%line%", "%func%", "%cont%"};
    for (int i = 0; i < 11; ++i) {
        if (keys[i].c_name == NULL || strcmp(keys[i].c_name, expected_keys[i]) != 0 ||
            keys[i].c_val != i) {
            fprintf(stderr, "logfmt_keys: record %d differs\n", i);
            ++failed;
        }
    }
    if (keys[11].c_name != NULL || keys[11].c_val != -1) {
        fprintf(stderr, "logfmt_keys: no {NULL, -1} record after the eleven keys\n");
        ++failed;
    }
    dlclose(library);
    return failed == 0 ? 0 : 1;
}
