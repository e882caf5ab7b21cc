/* kestal.h alone in strict ISO C11. */
#include <kestal.h>

int kestal_header_strict_check(void);
int kestal_header_strict_check(void) {
    kestal_termination_callback record = {0, 0, 0};
    char name[16];
    kestal_log_set_format("%lvl% %msg%");
    (void)kestal_get_container_name(name, sizeof name);
    return record.signo + prioritynames[0].c_val + facilitynames[0].c_val;
}
