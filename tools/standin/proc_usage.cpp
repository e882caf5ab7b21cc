// Reading a process's figures from /proc.
#include "proc_usage.hpp"

#include "encoding.hpp"
#include "main_process.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace standin {

namespace {

// The number of a "Name:   1234 kB" line.
long long kib_of(const std::string &line) {
    const std::size_t colon = line.find(':');
    return std::strtoll(line.c_str() + colon + 1, nullptr, 10);
}

}  // namespace

bool read_process_usage(pid_t pid, ProcessUsage &usage) {
    ProcessStat stat;
    if (pid <= 0 || !read_process_stat(pid, stat) || stat.state == 'Z' || stat.state == 'X') {
        return false;
    }
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    const unsigned long long ticks = stat.user_ticks + stat.system_ticks;
    usage.cpu_milliseconds = static_cast<long long>(
        ticks * 1000ULL /
        static_cast<unsigned long long>(ticks_per_second > 0 ? ticks_per_second : 100));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (starts_with(line, "VmRSS:")) {
            usage.resident_kib = kib_of(line);
        } else if (starts_with(line, "VmSwap:")) {
            usage.swap_kib = kib_of(line);
        } else if (starts_with(line, "Cpus_allowed_list:")) {
            const std::size_t value = line.find_first_not_of(" \t", line.find(':') + 1);
            usage.cores = value == std::string::npos ? "" : line.substr(value);
        }
    }
    return !usage.cores.empty();
}

}  // namespace standin
