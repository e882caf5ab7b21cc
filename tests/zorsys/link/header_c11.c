/* zorsys.h is plain C: this file compiles it as C11 with the project's warnings. */
#include <zorsys.h>

#include <stddef.h>

int zorsys_header_type_size(void);

int zorsys_header_type_size(void) {
    zor_sys_handle handle = {0, NULL};
    zor_sys_config config = {100, 1, NULL, NULL};
    return (int)(sizeof handle.type + sizeof config.opt_m) + zor_sys_start(NULL) * 0;
}
