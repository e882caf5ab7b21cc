// One-time lookups of the process's program name and the host name.
#include "process_names.hpp"

#include <unistd.h>

#include <cstdio>
#include <mutex>

namespace kestal::process {

namespace {

constexpr int kNameSize = 256;

// Both caches are filled inside their once-flag and read-only afterwards, so first calls
// from several threads wait for the one lookup instead of racing on the buffer.
char program_name_cache[kNameSize];
std::once_flag program_name_once;
char host_name_cache[kNameSize];
std::once_flag host_name_once;

void read_program_name() noexcept {
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return;
    }
    if (std::fscanf(status, "Name:%255s", program_name_cache) != 1) {
        program_name_cache[0] = '\0';
    }
    std::fclose(status);
}

void read_host_name() noexcept {
    if (gethostname(host_name_cache, sizeof host_name_cache - 1) != 0) {
        std::perror("gethostname");
        host_name_cache[0] = '\0';
    }
}

}  // namespace

const char *program_name() noexcept {
    std::call_once(program_name_once, read_program_name);
    return program_name_cache;
}

const char *host_name() noexcept {
    std::call_once(host_name_once, read_host_name);
    return host_name_cache;
}

}  // namespace kestal::process
