// The recording kestal_log.
#include "log_recorder.hpp"

#include "test_side.hpp"

#include <kestal.h>

#include <cstdarg>
#include <cstdio>

namespace client_test {

namespace {
std::vector<LogLine> &lines() {
    static std::vector<LogLine> recorded;
    return recorded;
}
}  // namespace

std::vector<LogLine> logged_lines() {
    return lines();
}

void clear_logged_lines() {
    lines().clear();
}

}  // namespace client_test

extern "C" void kestal_log(int priority, const char *file, int line, const char *func,
                           const char *format, ...) {
    const client_test::TestDoubleScope scope;
    char message[4096] = "";
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    client_test::lines().push_back({priority, file != nullptr ? file : "(null)", line,
                                    func != nullptr ? func : "(null)",
                                    format != nullptr ? format : "(null)", message});
}
