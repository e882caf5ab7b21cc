#include "termination_support.hpp"

#include "proc_kestal.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace kestal::test {

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/kestal-termination-XXXXXX";
    if (mkdtemp(pattern) != nullptr) {
        path_ = pattern;
    }
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool file_exists(const std::string &path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

bool Event::wait(std::chrono::milliseconds limit) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    const auto total = std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count() +
                       static_cast<long long>(deadline.tv_nsec);
    deadline.tv_sec += static_cast<time_t>(total / 1000000000);
    deadline.tv_nsec = static_cast<long>(total % 1000000000);
    int result;
    while ((result = sem_timedwait(&sem_, &deadline)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

void probe_callback(int signo, void *data) {
    auto *probe = static_cast<Probe *>(data);
    probe->thread = pthread_self();
    probe->last_signo.store(signo);
    probe->last_data.store(data);
    probe->calls.fetch_add(1);
    probe->called.post();
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct sigaction installed_action(int signo) {
    struct sigaction action {};
    sigaction(signo, nullptr, &action);
    return action;
}

CommandFile::CommandFile() : path_(dir_.file("kestal")) {
    write_file(path_, "");
    termination::set_proc_kestal_path(path_.c_str());
}

CommandFile::~CommandFile() {
    termination::set_proc_kestal_path(nullptr);
}

std::string CommandFile::take() {
    std::string text = read_file(path_);
    write_file(path_, "");
    return text;
}

std::string announce_text() {
    return std::string(get_container_name()) + " " + std::to_string(getpid());
}

std::string withdraw_text() {
    return "-d " + announce_text();
}

}  // namespace kestal::test
