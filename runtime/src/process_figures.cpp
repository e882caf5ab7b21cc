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

// State letter and processor ticks from /proc/PID/stat; the command name in parentheses may
// hold blanks, so fields are counted after its closing parenthesis.
bool read_stat(pid_t pid, char &state, unsigned long long &ticks) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) {
        return false;
    }
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::stringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long user = 0;
    unsigned long long system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 3) {
            state = field[0];
        } else if (index == 14) {
            user = std::strtoull(field.c_str(), nullptr, 10);
        } else if (index == 15) {
            system = std::strtoull(field.c_str(), nullptr, 10);
            break;
        }
    }
    ticks = user + system;
    return true;
}

}  // namespace

bool process_alive(pid_t pid) {
    char state = '-';
    unsigned long long ticks = 0;
    return pid > 0 && read_stat(pid, state, ticks) && state != 'Z' && state != 'X';
}

bool read_process_figures(pid_t pid, ProcessFigures &figures) {
    char state = '-';
    unsigned long long ticks = 0;
    if (pid <= 0 || !read_stat(pid, state, ticks) || state == 'Z' || state == 'X') {
        return false;
    }
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
