// Helpers of the stand-in runtime's tests.
#include "runtime_support.hpp"

#include "child_process.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace runtime_test {

namespace {

std::string read_stat(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(file, text);
    return text;
}

// Field number (counted from 1) of a stat line, after the command name.
std::string stat_field(const std::string &text, int number) {
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return "";
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int at = 3; at <= number && fields >> field; ++at) {
        if (at == number) {
            return field;
        }
    }
    return "";
}

}  // namespace

Ran run(const std::string &command) {
    const kestal::test::ChildResult child = kestal::test::run_program({"/bin/sh", "-c", command});
    const int status = child.wait_status;
    return {WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status), child.out, child.err};
}

char process_state(pid_t pid) {
    const std::string state = stat_field(read_stat(pid), 3);
    return state.empty() ? '-' : state[0];
}

pid_t process_session(pid_t pid) {
    const std::string session = stat_field(read_stat(pid), 6);
    return session.empty() ? -1 : static_cast<pid_t>(std::atoi(session.c_str()));
}

bool process_ended(pid_t pid) {
    const char state = process_state(pid);
    return state == '-' || state == 'Z' || state == 'X';
}

bool wait_ended(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!process_ended(pid)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

std::vector<std::string> names_of(char **list) {
    std::vector<std::string> names;
    for (char **entry = list; entry != nullptr && *entry != nullptr; ++entry) {
        names.emplace_back(*entry);
    }
    return names;
}

long long proc_figure(pid_t pid, const std::string &name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            return std::atoll(line.c_str() + name.size() + 1);
        }
    }
    return -1;
}

}  // namespace runtime_test
