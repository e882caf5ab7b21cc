#include "child_process.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kestal::test {

namespace {

std::string read_all(int fd) {
    std::string text;
    (void)lseek(fd, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
}

// Output goes to memory files rather than pipes, so a chatty child never blocks on a full
// pipe while the parent waits for it.
ChildResult run_forked(const std::function<void()> &child) {
    const int out_fd = memfd_create("child-out", MFD_CLOEXEC);
    const int err_fd = memfd_create("child-err", MFD_CLOEXEC);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        child();
        _exit(127);
    }
    ChildResult result;
    if (pid > 0) {
        while (waitpid(pid, &result.wait_status, 0) < 0) {
        }
    }
    result.out = read_all(out_fd);
    result.err = read_all(err_fd);
    return result;
}

}  // namespace

bool ChildResult::exited() const {
    return WIFEXITED(wait_status);
}

int ChildResult::exit_code() const {
    return exited() ? WEXITSTATUS(wait_status) : -1;
}

ChildResult run_in_child(const std::function<int()> &body) {
    return run_forked([&] {
        const int code = body();
        std::fflush(nullptr);
        _exit(code);
    });
}

ChildResult run_program(const std::vector<std::string> &argv,
                        const std::vector<std::string> &extra_env) {
    return run_forked([&] {
        std::vector<char *> args;
        for (const std::string &arg : argv) {
            args.push_back(const_cast<char *>(arg.c_str()));
        }
        args.push_back(nullptr);
        for (const std::string &entry : extra_env) {
            putenv(const_cast<char *>(entry.c_str()));
        }
        execvp(args[0], args.data());
        std::perror("execvp");
    });
}

}  // namespace kestal::test
