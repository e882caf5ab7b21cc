// What the resident program (resident_program.c) notes in its root folder: one line per pause
// it saw, "NUMBER NANOSECONDS", the lines numbered from 1.
#pragma once

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <utility>

// The program's count of pauses and the longest of those numbered above after, in
// nanoseconds, once it has noted one; {-1, 0} when it has not within 10 s.
inline std::pair<long, long long> noted_pause(const std::string &rootfs, long after) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::ifstream file(rootfs + "/pauses");
        long number = -1;
        long long longest = 0;
        long n = 0;
        for (long long pause = 0; file >> n >> pause;) {
            number = n;
            longest = n > after ? std::max(longest, pause) : longest;
        }
        if (number > after) {
            return {number, longest};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {-1, 0};
}
