// Helper programs run with fork and exec; both output pipes are drained together with poll so
// that neither can fill up and stall the program.
#include "program_run.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace zor {

namespace {

void drain(int out_fd, int err_fd, std::string &out, std::string &err) {
    std::array<pollfd, 2> fds{{{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}}};
    std::array<std::string *, 2> sinks{&out, &err};
    int open_count = 2;
    std::array<char, 4096> buffer{};
    while (open_count > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (std::size_t at = 0; at < fds.size(); ++at) {
            if (fds[at].fd < 0 || fds[at].revents == 0) {
                continue;
            }
            const ssize_t got = read(fds[at].fd, buffer.data(), buffer.size());
            if (got > 0) {
                sinks[at]->append(buffer.data(), static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                fds[at].fd = -1;
                --open_count;
            }
        }
    }
}

}  // namespace

std::string find_on_path(const std::string &program) {
    if (program.find('/') != std::string::npos) {
        return access(program.c_str(), X_OK) == 0 ? program : std::string();
    }
    // The tools run one thread: nothing sets the environment meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    while (!rest.empty() || path == nullptr) {
        const std::size_t colon = rest.find(':');
        const std::string folder = rest.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
        std::string candidate = (folder.empty() ? "." : folder) + "/" + program;
        struct stat info {};
        if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (rest.empty()) {
            break;
        }
    }
    return {};
}

ProgramResult run_program(const std::vector<std::string> &argv, bool detached) {
    ProgramResult result;
    std::array<int, 2> out_pipe{-1, -1};
    std::array<int, 2> err_pipe{-1, -1};
    if (!detached &&
        (pipe2(out_pipe.data(), O_CLOEXEC) != 0 || pipe2(err_pipe.data(), O_CLOEXEC) != 0)) {
        return result;
    }
    std::vector<char *> words;
    words.reserve(argv.size() + 1);
    for (const std::string &word : argv) {
        words.push_back(const_cast<char *>(word.c_str()));
    }
    words.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        // A helper does not outlive a command that is killed: the next command must not
        // meet it still at work.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(detached ? null_fd : out_pipe[1], STDOUT_FILENO);
        dup2(detached ? null_fd : err_pipe[1], STDERR_FILENO);
        execvp(words[0], words.data());
        _exit(127);
    }
    if (!detached) {
        close(out_pipe[1]);
        close(err_pipe[1]);
        if (child > 0) {
            drain(out_pipe[0], err_pipe[0], result.out, result.err);
        }
        close(out_pipe[0]);
        close(err_pipe[0]);
    }
    if (child < 0) {
        return result;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return result;
        }
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

}  // namespace zor
