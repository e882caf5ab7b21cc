// Both client libraries used from several threads at once, as a multithreaded application
// does: each thread runs whole operations through the real shell and the stand-in tools while
// another thread logs through kestal_log. Every call must give its own result, and every
// outcome line must reach the log socket whole and exactly once.
#include <kestal.h>
#include <zorapp.h>
#include <zorsys.h>

#include "private_log_socket.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestal::test::PrivateLogSocket;
using kestal::test::SyslogRecord;

constexpr int kRounds = 4;
constexpr int kThreadsPerLibrary = 2;
constexpr int kLoggedLines = 200;

std::string line(const char *format, const std::string &name) {
    std::string text = format;
    text.replace(text.find("%s"), 2, name);
    return text + "\n";
}

// One round of the system-container life cycle; returns the lines it should have logged.
std::vector<std::string> system_round(const std::string &name, std::atomic<int> &failures) {
    std::vector<std::string> expected;
    zor_sys_handle *handle = zor_sys_open(name.c_str());
    if (handle == nullptr || handle->type != 100) {
        ++failures;
        return expected;
    }
    expected.push_back(line("ZOR-SYS-LIB: open: Opened handler of '%s'.", name));
    failures += zor_sys_start(handle) != 0;
    expected.push_back(line("ZOR-SYS-LIB: start: Started system container '%s'.", name));
    failures += zor_sys_get_status(handle) != 1;
    int32_t pid = 0;
    failures += zor_sys_get_pid(handle, &pid) != 0 || pid != 4242;
    expected.push_back(line("ZOR-SYS-LIB: getpid: PID of '%s' is 4242.", name));
    char **names = nullptr;
    failures += zor_sys_get_container_list(&names) != 0 || names == nullptr ||
                names[0] == nullptr || std::string(names[0]) != "alpha" || names[1] == nullptr ||
                std::string(names[1]) != "beta" || names[2] != nullptr;
    zor_sys_release_container_list(names);
    failures += zor_sys_stop(handle) != 0;
    expected.push_back(line("ZOR-SYS-LIB: stop: Stopped system container '%s'.", name));
    failures += zor_sys_close(handle) != 0;
    expected.push_back(line("ZOR-SYS-LIB: close: Closed handler of '%s'.", name));
    return expected;
}

// One round of the application-container life cycle with a registration.
std::vector<std::string> application_round(const std::string &name, int32_t pid,
                                           std::atomic<int> &failures) {
    std::vector<std::string> expected;
    zor_app_handle *handle = zor_app_open(name.c_str());
    if (handle == nullptr || handle->type != 1) {
        ++failures;
        return expected;
    }
    expected.push_back(line("ZOR-APP-LIB: open: Opened handler of '%s'.", name));
    failures += zor_app_start(handle) != 0;
    expected.push_back(line("ZOR-APP-LIB: start: Started application container '%s'.", name));
    failures += zor_app_register_pid(handle, pid) != 0;
    expected.push_back(line("ZOR-APP-LIB: register: Registered '%s'.", std::to_string(pid)));
    zor_app_pid_pair **pairs = nullptr;
    failures += zor_app_get_registered_pid_list(handle, &pairs) != 0 || pairs == nullptr ||
                pairs[0] == nullptr || pairs[0]->pid != 120 || pairs[0]->vpid != 7 ||
                pairs[1] != nullptr;
    zor_app_release_registered_pid_list(pairs);
    failures += zor_app_stop(handle) != 0;
    expected.push_back(line("ZOR-APP-LIB: stop: Stopped application container '%s'.", name));
    failures += zor_app_close(handle) != 0;
    expected.push_back(line("ZOR-APP-LIB: close: Closed handler of '%s'.", name));
    return expected;
}

TEST(ConcurrentOperations, EveryCallGetsItsOwnResultAndEveryLineArrivesWhole) {
    KESTAL_REQUIRE_LOG_SOCKET();
    PrivateLogSocket::instance().clear();
    standin::Session tools;
    tools.script("zor-sys", "info", standin::prints("TYPE 100\n"));
    tools.script("zor-sys", "status", standin::exits(1));
    tools.script("zor-sys", "getpid", standin::prints("4242\n"));
    tools.script("zor-sys", "list", standin::prints("alpha\nbeta\n"));
    tools.script("zor-app", "info", standin::prints("CONTAINER_TYPE 1\n"));
    tools.script("zor-app", "pidlist", standin::prints("120,7\n"));

    std::atomic<int> failures{0};
    std::vector<std::vector<std::string>> expected(2 * kThreadsPerLibrary + 1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsPerLibrary; ++t) {
        threads.emplace_back([t, &expected, &failures] {
            const std::string name = "sys-" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                for (std::string &text : system_round(name, failures)) {
                    expected[static_cast<std::size_t>(t)].push_back(std::move(text));
                }
            }
        });
        threads.emplace_back([t, &expected, &failures] {
            const std::string name = "app-" + std::to_string(t);
            const std::size_t slot = static_cast<std::size_t>(kThreadsPerLibrary + t);
            for (int round = 0; round < kRounds; ++round) {
                for (std::string &text : application_round(name, 1000 + t, failures)) {
                    expected[slot].push_back(std::move(text));
                }
            }
        });
    }
    threads.emplace_back([&expected] {
        for (int i = 0; i < kLoggedLines; ++i) {
            kestal_log(LOG_INFO, "concurrent", i, "logger", "line %d of the logging thread", i);
            expected.back().push_back("line " + std::to_string(i) + " of the logging thread\n");
        }
    });
    for (std::thread &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);

    // Each thread's lines arrive in its own order; lines of different threads interleave.
    const std::vector<SyslogRecord> records = PrivateLogSocket::instance().take();
    std::vector<std::vector<std::string>> received(expected.size());
    for (const SyslogRecord &record : records) {
        const std::string &message = record.message;
        std::size_t slot = expected.size() - 1;
        for (int t = 0; t < kThreadsPerLibrary; ++t) {
            const std::string sys = "'sys-" + std::to_string(t) + "'";
            const std::string app = "'app-" + std::to_string(t) + "'";
            const std::string pid = "'" + std::to_string(1000 + t) + "'";
            if (message.find(sys) != std::string::npos) {
                slot = static_cast<std::size_t>(t);
            } else if (message.find(app) != std::string::npos ||
                       message.find(pid) != std::string::npos) {
                slot = static_cast<std::size_t>(kThreadsPerLibrary + t);
            }
        }
        received[slot].push_back(message);
    }
    for (std::size_t slot = 0; slot < expected.size(); ++slot) {
        EXPECT_EQ(received[slot], expected[slot]) << "thread " << slot;
    }
    const std::size_t commands_per_system_round = 7;  // search, info, start, status, ...
    const std::size_t commands_per_application_round = 6;
    EXPECT_EQ(tools.invocations().size(),
              kRounds * kThreadsPerLibrary *
                  (commands_per_system_round + commands_per_application_round));
}

}  // namespace
