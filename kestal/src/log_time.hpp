// The time stamp of the log facility's %time% key.
#pragma once

#include <cstddef>
#include <ctime>

namespace kestal::log {

constexpr std::size_t kTimeSize = 64;

// "Dec 08 03:29:40.007": what strftime's "%b %d %H:%M:%S" gives for local, then a dot and the
// milliseconds of microseconds, zero-padded to three digits (unpadded, ".7" would read as
// 700 ms and stamps would sort wrongly). Empty when the month name does not fit.
void format_time_stamp(const std::tm &local, long microseconds, char (&out)[kTimeSize]) noexcept;

// The stamp of the current local time; empty, with the failure reported on standard error,
// when the clock or the local time cannot be read.
void current_time_stamp(char (&out)[kTimeSize]) noexcept;

}  // namespace kestal::log
