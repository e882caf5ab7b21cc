// Reading a process's figures from /proc.
#include "process_figures.hpp"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace zor {

namespace {

// The number of a "Name:   1234 kB" line.
long long kib_of(const std::string &line) {
    const std::size_t colon = line.find(':');
    return std::strtoll(line.c_str() + colon + 1, nullptr, 10);
}

}  // namespace

bool parse_process_stat(const std::string &line, ProcessStat &stat) {
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos || close + 2 > line.size()) {
        return false;
    }
    std::stringstream fields(line.substr(close + 1));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    int index = 3;
    for (; fields >> field && index <= 22; ++index) {
        if (index == 3) {
            stat.state = field[0];
        } else if (index == 14) {
            user = std::strtoull(field.c_str(), nullptr, 10);
        } else if (index == 15) {
            system = std::strtoull(field.c_str(), nullptr, 10);
        } else if (index == 22) {
            stat.start = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    stat.ticks = user + system;
    return index > 3;
}

bool read_process_stat(pid_t pid, ProcessStat &stat) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    return pid > 0 && std::getline(in, line) && parse_process_stat(line, stat);
}

pid_t namespace_pid(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("NSpid:", 0) == 0) {
            std::stringstream fields(line.substr(6));
            pid_t last = 0;
            pid_t value = 0;
            while (fields >> value) {
                last = value;
            }
            return last;
        }
    }
    return 0;
}

bool process_alive(pid_t pid) {
    ProcessStat stat;
    return read_process_stat(pid, stat) && stat.state != 'Z' && stat.state != 'X';
}

bool read_process_figures(pid_t pid, ProcessFigures &figures) {
    ProcessStat stat;
    if (!read_process_stat(pid, stat) || stat.state == 'Z' || stat.state == 'X') {
        return false;
    }
    const unsigned long long ticks = stat.ticks;
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    figures.cpu_milliseconds = static_cast<long long>(
        ticks * 1000ULL /
        static_cast<unsigned long long>(ticks_per_second > 0 ? ticks_per_second : 100));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            figures.resident_kib = kib_of(line);
        } else if (line.rfind("VmSwap:", 0) == 0) {
            figures.swap_kib = kib_of(line);
        } else if (line.rfind("Cpus_allowed_list:", 0) == 0) {
            const std::size_t value = line.find_first_not_of(" \t", line.find(':') + 1);
            figures.cores = value == std::string::npos ? "" : line.substr(value);
        }
    }
    return !figures.cores.empty();
}

}  // namespace zor
