/* zorsys.h is plain C: this file compiles it as C11 with the project's warnings. */
#include <zorsys.h>

#include <stddef.h>

int zorsys_header_type_size(void);
int zorsys_header_resource_layout(int part);

int zorsys_header_type_size(void) {
    zor_sys_handle handle = {0, NULL};
    zor_sys_config config = {100, 1, NULL, NULL};
    return (int)(sizeof handle.type + sizeof config.opt_m) + zor_sys_start(NULL) * 0;
}

/* Where a C program finds the members of the resource record, relative to value. */
int zorsys_header_resource_layout(int part) {
    const size_t value = offsetof(zor_sys_resource, value);
    switch (part) {
    case 0:
        return (int)(offsetof(zor_sys_resource, value.cpu) - value);
    case 1:
        return (int)(offsetof(zor_sys_resource, value.mem) - value);
    case 2:
        return (int)(offsetof(zor_sys_resource, value.memsw) - value);
    case 3:
        return (int)(offsetof(zor_sys_resource, value.core) - value);
    case 4:
        return (int)sizeof(((zor_sys_resource *)NULL)->value);
    default:
        return (int)offsetof(zor_sys_resource, type);
    }
}
