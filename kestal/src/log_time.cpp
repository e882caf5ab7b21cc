// The time stamp of the log facility's %time% key.
#include "log_time.hpp"

#include <langinfo.h>
#include <sys/time.h>

#include <cstdio>
#include <cstring>

namespace kestal::log {

namespace {

char *put_two_digits(char *at, int value) noexcept {
    *at++ = static_cast<char>('0' + value / 10 % 10);
    *at++ = static_cast<char>('0' + value % 10);
    return at;
}

}  // namespace

void format_time_stamp(const std::tm &local, long microseconds, char (&out)[kTimeSize]) noexcept {
    out[0] = '\0';
    // The month is the locale's abbreviated name, the one strftime's %b takes; the numbers
    // are formatted here, which costs a fraction of strftime on every log call.
    const int month = local.tm_mon >= 0 && local.tm_mon < 12 ? local.tm_mon : 0;
    // glibc's nl_langinfo only reads the current locale's data, as strftime does.
    const char *name =
        nl_langinfo(static_cast<nl_item>(ABMON_1 + month));  // NOLINT(concurrency-mt-unsafe)
    const std::size_t name_length = std::strlen(name);
    constexpr std::size_t kRest = sizeof " dd hh:mm:ss.mmm";  // with the terminator
    if (name_length + kRest > sizeof out) {
        return;
    }
    char *at = out;
    std::memcpy(at, name, name_length);
    at += name_length;
    *at++ = ' ';
    at = put_two_digits(at, local.tm_mday);
    *at++ = ' ';
    at = put_two_digits(at, local.tm_hour);
    *at++ = ':';
    at = put_two_digits(at, local.tm_min);
    *at++ = ':';
    at = put_two_digits(at, local.tm_sec);
    const long milliseconds = microseconds / 1000;
    *at++ = '.';
    *at++ = static_cast<char>('0' + milliseconds / 100 % 10);
    at = put_two_digits(at, static_cast<int>(milliseconds % 100));
    *at = '\0';
}

void current_time_stamp(char (&out)[kTimeSize]) noexcept {
    out[0] = '\0';
    struct timeval now {};
    if (gettimeofday(&now, nullptr) != 0) {
        std::perror("gettimeofday");
        return;
    }
    std::tm local{};
    // localtime_r: kestal_log runs on many threads at once, and localtime's shared result
    // would be overwritten under a caller's feet.
    if (localtime_r(&now.tv_sec, &local) == nullptr) {
        std::fputs("localtime: return null.", stderr);
        return;
    }
    format_time_stamp(local, static_cast<long>(now.tv_usec), out);
}

}  // namespace kestal::log
