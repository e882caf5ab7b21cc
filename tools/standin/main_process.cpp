// Starting, signalling and watching containers' main processes.
#include "main_process.hpp"

#include "refusal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

namespace standin {

namespace {

// How long a signalled process may take to show the effect.
constexpr auto kSignalWait = std::chrono::seconds(3);
constexpr auto kPollStep = std::chrono::milliseconds(2);

bool same_process(const MainProcess &process, ProcessStat &stat) {
    return process.pid > 0 && read_process_stat(process.pid, stat) &&
           stat.start_time == process.start_time && stat.state != 'Z' && stat.state != 'X';
}

template <typename Done>
bool wait_until(Done done, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

bool is_stopped_state(char state) {
    return state == 'T' || state == 't';
}

void close_descriptors_from(int first) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0) {
        return;
    }
#endif
    const long most = sysconf(_SC_OPEN_MAX);
    for (long fd = first; fd < (most > 0 ? most : 1024); ++fd) {
        close(static_cast<int>(fd));
    }
}

// The child's whole life: a session of its own, no descriptor of the starter, default
// signal handling, and waiting until a signal ends it.
[[noreturn]] void be_main_process(int ready_fd) {
    setsid();
    prctl(PR_SET_NAME, "zor-main", 0, 0, 0);
    if (chdir("/") != 0) {
        _exit(1);
    }
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        if (null_fd >= 0 && fd != null_fd) {
            dup2(null_fd, fd);
        }
    }
    if (ready_fd <= 2 || null_fd <= 2) {
        _exit(1);  // cannot happen: the starter kept its standard descriptors open
    }
    close(null_fd);
    // Everything else the starter had open goes, the state lock above all, and every
    // pipe end of a caller that reads the tool's output.
    const int ready = dup2(ready_fd, 3);
    close_descriptors_from(4);
    for (int signal = 1; signal < NSIG; ++signal) {
        std::signal(signal, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const char byte = 'r';
    if (write(ready, &byte, 1) != 1) {
        _exit(1);
    }
    close(ready);
    for (;;) {
        pause();
    }
}

}  // namespace

bool read_process_stat(pid_t pid, ProcessStat &stat) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char block[4096];
    const ssize_t got = read(fd, block, sizeof block);
    close(fd);
    if (got <= 0) {
        return false;
    }
    const std::string text(block, static_cast<std::size_t>(got));
    // The command name in parentheses may hold blanks and parentheses: fields start after
    // the last ')'.
    const std::size_t end_of_name = text.rfind(')');
    if (end_of_name == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(end_of_name + 1));
    std::string field;
    // Fields 3 onwards: state, ppid, pgrp, session, ..., utime (14), stime (15), ...,
    // starttime (22).
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number == 3) {
            stat.state = field.empty() ? '?' : field[0];
        } else if (number == 6) {
            stat.session = static_cast<pid_t>(std::strtol(field.c_str(), nullptr, 10));
        } else if (number == 14) {
            stat.user_ticks = std::strtoull(field.c_str(), nullptr, 10);
        } else if (number == 15) {
            stat.system_ticks = std::strtoull(field.c_str(), nullptr, 10);
        } else if (number == 22) {
            stat.start_time = std::strtoull(field.c_str(), nullptr, 10);
            return true;
        }
    }
    return false;
}

bool is_alive(const MainProcess &process) {
    ProcessStat stat;
    return same_process(process, stat);
}

int status_number(const MainProcess &process) {
    ProcessStat stat;
    if (!same_process(process, stat)) {
        return 0;
    }
    return is_stopped_state(stat.state) ? 2 : 1;
}

MainProcess start_main_process() {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        throw Refusal(kWrongState,
                      std::string("cannot start the main process: ") + std::strerror(errno));
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(ready[0]);
        close(ready[1]);
        throw Refusal(kWrongState,
                      std::string("cannot start the main process: ") + std::strerror(errno));
    }
    if (pid == 0) {
        close(ready[0]);
        be_main_process(ready[1]);
    }
    close(ready[1]);
    MainProcess process{pid, 0};
    ProcessStat stat;
    // The start time is fixed at fork, so it can be read at once; the byte says that the
    // child has left the caller's session and descriptors behind.
    pollfd wait_ready{ready[0], POLLIN, 0};
    char byte = 0;
    const bool started = poll(&wait_ready, 1, 5000) == 1 && read(ready[0], &byte, 1) == 1 &&
                         read_process_stat(pid, stat);
    close(ready[0]);
    if (!started) {
        kill(pid, SIGKILL);
        throw Refusal(kWrongState, "the main process did not start");
    }
    process.start_time = stat.start_time;
    return process;
}

void end_main_process(const MainProcess &process) {
    if (!is_alive(process)) {
        return;
    }
    kill(process.pid, SIGTERM);
    kill(process.pid, SIGCONT);  // a stopped process acts on SIGTERM only once continued
    if (wait_until([&] { return !is_alive(process); }, kSignalWait)) {
        return;
    }
    if (is_alive(process)) {
        kill(process.pid, SIGKILL);
    }
    if (!wait_until([&] { return !is_alive(process); }, kSignalWait)) {
        throw Refusal(kWrongState,
                      "the main process " + std::to_string(process.pid) + " does not end");
    }
}

void suspend_main_process(const MainProcess &process) {
    kill(process.pid, SIGSTOP);
    if (!wait_until([&] { return status_number(process) != 1; }, kSignalWait) ||
        status_number(process) != 2) {
        throw Refusal(kWrongState,
                      "the main process " + std::to_string(process.pid) + " did not stop");
    }
}

void resume_main_process(const MainProcess &process) {
    kill(process.pid, SIGCONT);
    if (!wait_until([&] { return status_number(process) != 2; }, kSignalWait) ||
        status_number(process) != 1) {
        throw Refusal(kWrongState,
                      "the main process " + std::to_string(process.pid) + " did not continue");
    }
}

int end_recorded_main_processes(const std::string &directory) {
    int ended = 0;
    const State state = load_state(directory);
    for (const Domain *domain : {&state.system, &state.application}) {
        for (const auto &entry : domain->containers) {
            if (is_alive(entry.second.main)) {
                end_main_process(entry.second.main);
                ++ended;
            }
        }
    }
    return ended;
}

}  // namespace standin
