// Running code or programs in a child process, with its output captured.
//
// The libraries keep one-time state per process (caches, the open log), so a test of a
// first call runs it in a fresh child.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestal::test {

struct ChildResult {
    int wait_status = -1;
    std::string out;  // what the child wrote to standard output
    std::string err;  // what the child wrote to standard error

    bool exited() const;
    int exit_code() const;  // -1 when the child did not exit normally
};

// Forks; the child runs body with its standard output and error captured and exits with
// body's result.
ChildResult run_in_child(const std::function<int()> &body);

// Forks and executes argv[0] (looked up on PATH), with extra "NAME=value" entries added to
// the environment.
ChildResult run_program(const std::vector<std::string> &argv,
                        const std::vector<std::string> &extra_env = {});

}  // namespace kestal::test
