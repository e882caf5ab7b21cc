// One-time lookups of the process's program name and the host name.
#include "process_names.hpp"

#include <unistd.h>

#include <cstdio>

namespace kestal::process {

namespace {

constexpr int kNameSize = 256;

char program_name_cache[kNameSize];
char host_name_cache[kNameSize];

bool read_program_name() noexcept {
    std::FILE *status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return true;
    }
    if (std::fscanf(status, "Name:%255s", program_name_cache) != 1) {
        program_name_cache[0] = '\0';
    }
    std::fclose(status);
    return true;
}

bool read_host_name() noexcept {
    if (gethostname(host_name_cache, sizeof host_name_cache - 1) != 0) {
        std::perror("gethostname");
        host_name_cache[0] = '\0';
    }
    return true;
}

}  // namespace

// Each cache is filled by the initialisation of a local static: first calls from several
// threads wait for the one lookup instead of racing on the buffer, and every later call
// costs a single load. A lookup is never retried, failure included.
const char *program_name() noexcept {
    static const bool looked_up = read_program_name();
    (void)looked_up;
    return program_name_cache;
}

const char *host_name() noexcept {
    static const bool looked_up = read_host_name();
    (void)looked_up;
    return host_name_cache;
}

}  // namespace kestal::process
