// Helpers shared by the termination tests: a scratch file for the kernel-interface commands,
// probes that callbacks fill in, and bounded waits.
#pragma once

#include <kestal.h>

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

// Set when built with ThreadSanitizer, which changes how signals look and arrive.
#if defined(__SANITIZE_THREAD__)
#define KESTAL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTAL_TSAN 1
#endif
#endif

namespace kestal::test {

// A directory of the test's own, removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const char *name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool file_exists(const std::string &path);

// A binary semaphore with a bounded wait, for handing events between threads.
class Event {
public:
    Event() { sem_init(&sem_, 0, 0); }
    ~Event() { sem_destroy(&sem_); }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void post() { sem_post(&sem_); }
    // False when nothing was posted within the time.
    bool wait(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    sem_t sem_;
};

// What a callback saw; the callback is probe_callback with the probe as its data.
struct Probe {
    std::atomic<int> calls{0};
    std::atomic<int> last_signo{0};
    std::atomic<void *> last_data{nullptr};
    pthread_t thread{};
    Event called;
};
void probe_callback(int signo, void *data);

// Polls until condition holds or the time is up; returns the last value of condition.
bool wait_until(const std::function<bool()> &condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// The handler installed for signo now (sigaction query).
struct sigaction installed_action(int signo);

// The commands the facility wrote: points it at a scratch file and reads it back.
class CommandFile {
public:
    CommandFile();
    ~CommandFile();
    CommandFile(const CommandFile &) = delete;
    CommandFile &operator=(const CommandFile &) = delete;

    const std::string &path() const { return path_; }
    // What was written since the last call; the file is emptied for the next command.
    std::string take();

private:
    ScratchDir dir_;
    std::string path_;
};

// The commands for this process, built from the container name and process id.
std::string announce_text();
std::string withdraw_text();

}  // namespace kestal::test
