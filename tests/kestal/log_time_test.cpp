// The %time% stamp equals what strftime gives, with zero-padded milliseconds.
#include "log_time.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

using kestal::log::format_time_stamp;
using kestal::log::kTimeSize;

std::string reference(const std::tm &local, long microseconds) {
    char text[kTimeSize];
    const std::size_t length = std::strftime(text, sizeof text, "%b %d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03ld", microseconds / 1000);
    return text;
}

std::string stamp(const std::tm &local, long microseconds) {
    char text[kTimeSize];
    format_time_stamp(local, microseconds, text);
    return text;
}

TEST(TimeStamp, EqualsStrftimeOverAYearOfTimes) {
    // Every month, day and hour of a year, with minutes, seconds and milliseconds varying.
    std::time_t when = 1767225600;  // 2026-01-01 00:00:00 UTC
    for (int step = 0; step < 365 * 24; ++step, when += 3600 + 61) {
        std::tm local{};
        ASSERT_NE(gmtime_r(&when, &local), nullptr);
        const long microseconds = (step * 7919L) % 1000000;
        ASSERT_EQ(stamp(local, microseconds), reference(local, microseconds)) << when;
    }
}

TEST(TimeStamp, MillisecondsAreZeroPadded) {
    std::tm local{};
    local.tm_mon = 11;
    local.tm_mday = 8;
    local.tm_hour = 3;
    local.tm_min = 29;
    local.tm_sec = 40;
    EXPECT_EQ(stamp(local, 7000), "Dec 08 03:29:40.007");
    EXPECT_EQ(stamp(local, 45999), "Dec 08 03:29:40.045");
    EXPECT_EQ(stamp(local, 123456), "Dec 08 03:29:40.123");
    EXPECT_EQ(stamp(local, 0), "Dec 08 03:29:40.000");
    EXPECT_EQ(stamp(local, 999999), "Dec 08 03:29:40.999");
}

TEST(TimeStamp, FollowsTheLocaleAsStrftimeDoes) {
    const char *previous = std::setlocale(LC_TIME, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    for (const char *name : {"C", "POSIX", "C.UTF-8"}) {
        if (std::setlocale(LC_TIME, name) == nullptr) {
            continue;
        }
        for (int month = 0; month < 12; ++month) {
            std::tm local{};
            local.tm_mon = month;
            local.tm_mday = 1 + month * 2;
            EXPECT_EQ(stamp(local, 500), reference(local, 500)) << name << " month " << month;
        }
    }
    std::setlocale(LC_TIME, saved.c_str());
}

}  // namespace
