/* Showing and searching the name lists of the listings. */
#include "demo_names.h"

#include "demo_report.h"

#include <string.h>

void demo_show_names(char **list) {
    if (list == NULL) {
        demo_detail("(no entries)");
        return;
    }
    for (char **entry = list; *entry != NULL; ++entry) {
        demo_detail("- %s", *entry);
    }
}

int demo_has_name(char **list, const char *name) {
    for (char **entry = list; entry != NULL && *entry != NULL; ++entry) {
        if (strcmp(*entry, name) == 0) {
            return 1;
        }
    }
    return 0;
}

int demo_count_names(char **list) {
    int count = 0;
    for (char **entry = list; entry != NULL && *entry != NULL; ++entry) {
        ++count;
    }
    return count;
}
