// The fixture of the tests against the real runtime: a state directory and names of the
// test's own, the runtime's tools first on PATH, and at the end (even after a failure) every
// runc instance, cgroup, mount and process that the state directory's runtime made removed.
// Tests are skipped, and say so, where the host cannot run containers (not root, no runc).
#pragma once

#include <sys/types.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace real_runtime {

struct Ran {
    int exit_status;  // -signal when ended by a signal
    std::string out;
    std::string err;
};

// Runs command through /bin/sh.
Ran shell(const std::string &command);

// What a state directory's runtime has left on the host: runc instances, cgroup directories,
// mounts. Empty when nothing is left.
std::vector<std::string> leftovers(const std::string &state_directory);

// Kills and removes whatever leftovers() finds, and the directory itself.
void clear(const std::string &state_directory);

// Introduces the machines of two state directories to each other, as an operator would:
// each one's `trust show` goes into the other's `trust add`. False when a step fails.
bool introduce(const std::string &one, const std::string &other);

// The first line of a file, "" when it cannot be read.
std::string first_line(const std::string &path);

// A cgroup file of a running container, as the host sees it.
std::string container_file(const std::string &state_directory, bool system, const std::string &name,
                           const std::string &controller, const std::string &file);

// Why the runtime of state_directory would find no working CRIU; "" when it finds one.
std::string criu_problem(const std::string &state_directory);

// True when ZOR_REQUIRE_CRIU=1: tests that need CRIU fail rather than skip without it.
bool criu_required();

class RealRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs "zor-sys WORDS" (or another program) through the shell in the test's state.
    Ran sys(const std::string &words) const { return shell("zor-sys " + words); }
    Ran app(const std::string &words) const { return shell("zor-app " + words); }
    // The main process of a running system container (0 when getpid fails).
    pid_t main_of(const std::string &name) const;
    std::string file_of(const std::string &name, const std::string &controller,
                        const std::string &file) const {
        return container_file(state_, true, name, controller, file);
    }
    // For tests that need CRIU: skips the test, saying so, when no CRIU works, or fails it
    // when criu_required(). Callers return when IsSkipped() or HasFatalFailure().
    void require_criu();
    // Writes a configuration file for create -f and returns its path.
    std::string configuration(const std::string &name, const std::string &text) const;

    std::string state_;

private:
    std::string saved_path_;
};

}  // namespace real_runtime
