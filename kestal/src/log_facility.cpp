// The log facility: kestal_log and its open, template and close companions.
#include <kestal.h>

#include "log_template.hpp"
#include "log_time.hpp"
#include "process_names.hpp"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace kestal::log {

namespace {

constexpr int kDefaultFacility = LOG_LOCAL5;
constexpr int kNumberSize = 16;

// Set once the system log has been opened, explicitly or implicitly; never cleared, so a
// kestal_log after kestal_log_close does not reopen the log on its own.
std::atomic<int> is_open{0};
std::once_flag implicit_open_once;
// Recorded by kestal_log_open; a priority without facility bits is still logged as
// LOG_LOCAL5 (every caller of the system opens with facility 0 or not at all).
std::atomic<int> default_facility{kDefaultFacility};
char logfmt_buf[kTemplateSize] = "%msg%";

void open_implicitly() noexcept {
    if (is_open.load(std::memory_order_acquire) != 0) {
        return;
    }
    // Threads making the first call together wait here until openlog has returned, so none
    // of them reaches syslog() before the identity is set.
    std::call_once(implicit_open_once, [] {
        if (is_open.load(std::memory_order_acquire) == 0) {
            openlog(process::program_name(), LOG_PID, kDefaultFacility);
            is_open.store(1, std::memory_order_release);
        }
    });
}

// The first table entry whose masked value equals the masked priority, or "".
const char *name_for(const kestal_code *table, int priority, int mask) noexcept {
    for (const kestal_code *entry = table; entry->c_name != nullptr; ++entry) {
        if ((entry->c_val & mask) == (priority & mask)) {
            return entry->c_name;
        }
    }
    return "";
}

// Decimal text of value into out; snprintf would do, at several times the cost, on every call.
void format_decimal(long value, char (&out)[kNumberSize]) noexcept {
    char digits[kNumberSize];
    std::size_t count = 0;
    unsigned long magnitude =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0 && count < sizeof digits);
    std::size_t length = 0;
    if (value < 0) {
        out[length++] = '-';
    }
    while (count > 0 && length < sizeof out - 1) {
        out[length++] = digits[--count];
    }
    out[length] = '\0';
}

}  // namespace

}  // namespace kestal::log

extern "C" {

void kestal_log_open(const char *ident, int option, int facility) {
    using namespace kestal::log;
    is_open.store(1, std::memory_order_release);
    openlog(ident, option, facility);
    const int bits = facility & LOG_FACMASK;
    default_facility.store(bits != 0 ? bits : kDefaultFacility, std::memory_order_relaxed);
}

void kestal_log_set_format(const char *format) {
    using namespace kestal::log;
    if (format == nullptr) {
        return;
    }
    std::memset(logfmt_buf, 0, sizeof logfmt_buf);
    std::strncpy(logfmt_buf, format, sizeof logfmt_buf - 1);
}

void kestal_log_close(void) {
    closelog();
}

void kestal_log(int priority, const char *file, int line, const char *func, const char *format,
                ...) {
    using namespace kestal::log;
    open_implicitly();
    if ((priority & LOG_FACMASK) == 0) {
        priority |= kDefaultFacility;
    }

    char message[kLineSize];
    message[0] = '\0';
    va_list args;
    va_start(args, format);
    if (format != nullptr) {
        // The analyzer of clang 14 loses track of va_start here and reports a false positive.
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
        std::vsnprintf(message, sizeof message, format, args);
    }
    va_end(args);

    char time_text[kTimeSize];
    current_time_stamp(time_text);
    // getpid() is a system call, the costliest step of a call; it has no failure to report,
    // so it is made only when the template can show it. It is never cached: a forked child
    // logs its own number.
    char pid_text[kNumberSize] = "";
    if (std::strstr(logfmt_buf, "%pid%") != nullptr) {
        format_decimal(getpid(), pid_text);
    }
    char line_text[kNumberSize];
    format_decimal(line, line_text);

    const char *const values[kKeyCount] = {
        name_for(facilitynames, priority, LOG_FACMASK),
        name_for(prioritynames, priority, LOG_PRIMASK),
        time_text,
        kestal::process::host_name(),
        kestal::process::program_name(),
        pid_text,
        message,
        file != nullptr ? file : "",
        line_text,
        func != nullptr ? func : "",
        get_container_name(),
    };
    char output[kLineSize];
    expand_template(logfmt_buf, values, output);
    syslog(priority, "%s\n", output);
}

}  // extern "C"
