// The runtime under load and under faults: clients running random verbs at once, and verbs
// killed at random points. Afterwards runc and the runtime agree, no recorded change was
// lost, and destroy still cleans up.
#include "real_runtime_fixture.hpp"
#include "runc.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using real_runtime::Ran;

constexpr int kClients = 8;
constexpr int kContainers = 4;
constexpr auto kStressTime = 30s;

std::set<std::string> lines_of(const std::string &text) {
    std::set<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.insert(line);
    }
    return lines;
}

class StressTest : public real_runtime::RealRuntimeTest {};

TEST_F(StressTest, ClientsAtOnceLoseNoUpdateAndRuncAgrees) {
    for (int at = 0; at < kContainers; ++at) {
        ASSERT_EQ(sys("create -n c" + std::to_string(at)).exit_status, 0);
    }
    std::mutex lock;
    std::map<std::string, std::set<std::string>> saved;  // container: snapshot names
    std::vector<std::string> failures;
    std::atomic<long> operations{0};
    const auto deadline = std::chrono::steady_clock::now() + kStressTime;
    std::vector<std::thread> clients;
    for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
            std::mt19937 random(static_cast<unsigned>(client) * 7919U + 1U);
            for (int step = 0; std::chrono::steady_clock::now() < deadline; ++step) {
                const std::string name = "c" + std::to_string(random() % kContainers);
                static const char *const kVerbs[] = {"start",          "stop",   "suspend",
                                                     "resume",         "status", "usage --mem",
                                                     "limit --cpu 50", "save"};
                const std::string verb = kVerbs[random() % 8];
                const std::string tag = "t" + std::to_string(client) + "-" + std::to_string(step);
                const Ran ran = real_runtime::shell("zor-sys " + verb + " -n " + name +
                                                    (verb == "save" ? " -t " + tag : ""));
                ++operations;
                const bool fine = verb == "status" ? ran.exit_status >= 0 && ran.exit_status <= 2
                                                   : ran.exit_status == 0 || ran.exit_status == 104;
                const std::lock_guard<std::mutex> guard(lock);
                if (!fine) {
                    failures.push_back(verb + " " + name + ": " + std::to_string(ran.exit_status) +
                                       " " + ran.err);
                }
                if (verb == "save" && ran.exit_status == 0) {
                    saved[name].insert(tag);
                }
            }
        });
    }
    for (std::thread &client : clients) {
        client.join();
    }
    EXPECT_EQ(failures, std::vector<std::string>{});
    EXPECT_GT(operations.load(), kClients);
    std::set<std::string> running;
    for (int at = 0; at < kContainers; ++at) {
        const std::string name = "c" + std::to_string(at);
        EXPECT_EQ(lines_of(sys("list --snapshot -n " + name).out), saved[name]) << name;
        const int status = sys("status -n " + name).exit_status;
        if (status == 1 || status == 2) {
            running.insert(zor::runc_id(true, name));
        }
    }
    const Ran listed = real_runtime::shell("runc --root '" + state_ +
                                           "/runc' list --format json | tr '{' '\\n' | "
                                           "grep -E '\"status\":\"(running|paused)\"' | "
                                           "sed 's/.*\"id\":\"\\([^\"]*\\)\".*/\\1/'");
    EXPECT_EQ(lines_of(listed.out), running);
}

// A verb killed with SIGKILL at a random point: the next command gives a defined answer, and
// stop and destroy still clean up everything.
TEST_F(StressTest, VerbsKilledAtRandomPointsLeaveDefinedStates) {
    struct Case {
        const char *verb;
        const char *before;  // what brings the container to the verb's starting point
    };
    const Case cases[] = {
        {"create -n f", ""},
        {"start -n f", "create -n f"},
        {"suspend -n f", "create -n f && zor-sys start -n f"},
        {"save -n f -t s", "create -n f && zor-sys start -n f"},
        {"stop -n f", "create -n f && zor-sys start -n f"},
        {"destroy -n f", "create -n f"},
        {"limit --mem 64 -n f", "create -n f && zor-sys start -n f"},
    };
    std::mt19937 random(20261208U);
    for (const Case &one : cases) {
        for (int trial = 0; trial < 3; ++trial) {
            if (one.before[0] != '\0') {
                const Ran before = sys(one.before);
                ASSERT_EQ(before.exit_status, 0) << one.before << ": " << before.err;
            }
            const std::string command = std::string("exec zor-sys ") + one.verb;
            const pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
                _exit(127);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            const int status = sys("status -n f").exit_status;
            EXPECT_TRUE(status <= 2 || status == 102) << one.verb << ": status " << status;
            if (status == 1 || status == 2) {
                EXPECT_EQ(sys("stop -n f").exit_status, 0) << one.verb;
            }
            const Ran destroyed = sys("destroy -n f");
            EXPECT_TRUE(destroyed.exit_status == 0 || destroyed.exit_status == 102)
                << one.verb << ": " << destroyed.exit_status << " " << destroyed.err;
            EXPECT_EQ(real_runtime::leftovers(state_), std::vector<std::string>{}) << one.verb;
        }
    }
}

}  // namespace
