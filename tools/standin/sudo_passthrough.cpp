// The pass-through sudo.
#include "sudo_passthrough.hpp"

#include "invocation.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace standin {

int run_as_sudo(int argc, char **argv) {
    if (argc < 2) {
        std::fputs("usage: sudo command [arg ...]\n", stderr);
        return 1;
    }
    if (argv[1][0] == '-') {
        std::fprintf(stderr, "sudo: option %s is not supported by this stand-in\n", argv[1]);
        return 1;
    }
    setenv(kViaSudoVariable, "1", 1);
    execvp(argv[1], argv + 1);
    std::fprintf(stderr, "sudo: %s: command not found\n", argv[1]);
    return 1;
}

}  // namespace standin
