// Running a helper program (runc, cp, mount helpers) without a shell: its words are passed
// exactly, its output collected.
#pragma once

#include <string>
#include <vector>

namespace zor {

struct ProgramResult {
    int status = -1;  // exit status; 128 + n when ended by signal n; -1 when it did not run
    std::string out;  // standard output (empty when detached)
    std::string err;  // standard error (empty when detached)
};

// Runs argv[0] (looked up on PATH) and waits for it. When detached, all three standard streams
// are /dev/null and nothing is collected: a program that leaves children holding them (runc
// create) then cannot keep the caller waiting for the end of a pipe.
ProgramResult run_program(const std::vector<std::string> &argv, bool detached = false);

// The full path of program on PATH, or "" when there is none.
std::string find_on_path(const std::string &program);

}  // namespace zor
