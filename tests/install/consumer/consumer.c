/* An application built against an installed libkestal, with pkg-config or find_package. */
#include <kestal.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    char name[64];
    kestal_log_open("consumer", LOG_PID, 0);
    kestal_log_set_format("%lvl%: %msg%");
    kestal_log(LOG_INFO, "consumer", __LINE__, __func__, "built against %s", "the installed copy");
    kestal_log_close();
    kestal_get_container_name(name, sizeof name);
    printf("container=[%s] is_container=%d keys=%s\n", name, is_container(), logfmt_keys[0].c_name);
    return strcmp(logfmt_keys[6].c_name, "%msg%") == 0 ? 0 : 1;
}
