// Intercepts system(), popen() and pclose() for the whole test program, which defines them
// itself, so that the code under test is unchanged. Every call is recorded with the exact
// command text. By default each call then runs for real (through the shell and whatever
// is first on PATH, usually the stand-in tools); a test may instead answer the calls itself.
#pragma once

#include <string>
#include <vector>

namespace client_test {

struct ShellCall {
    enum class Kind { kSystem, kPopen };
    Kind kind;
    std::string command;
    std::string mode;  // popen's mode; "" for system
};

std::vector<ShellCall> shell_calls();

// Back to running every call for real; forgets the recorded calls.
void reset_shell();

// From now on no command runs: system() and pclose() return wait_status, and popen() returns
// a stream that yields output.
void fake_shell(int wait_status, const std::string &output = "");

// From now on popen() fails (returns null) without running anything.
void fail_popen();

// Wait statuses as the shell reports them.
int exited_with(int status);
int ended_by_signal(int signal);

}  // namespace client_test
