/* kestal.h first, then <syslog.h> with SYSLOG_NAMES: still one consistent translation unit. */
#include <kestal.h>
#define SYSLOG_NAMES
#include <syslog.h>

int kestal_header_order_check(void);
int kestal_header_order_check(void) {
    kestal_log(LOG_INFO, "check", __LINE__, __func__, "%d", is_container());
    return logfmt_keys[0].c_val;
}
