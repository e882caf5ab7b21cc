// kestal.h in C++, beside <syslog.h> with SYSLOG_NAMES defined.
#define SYSLOG_NAMES
#include <cstddef>
#include <syslog.h>
#include <kestal.h>

int kestal_header_cxx_check();
int kestal_header_cxx_check() {
    kestal_log(LOG_INFO, __FILE__, __LINE__, __func__, "%s", get_container_name());
    return logfmt_keys[6].c_val;
}
