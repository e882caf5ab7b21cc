// The stand-in runtime through the real shell: life cycle, main processes, records, limits,
// usage, control groups, registration, concurrent commands and refusals.
#include "runtime_support.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using runtime_test::process_ended;
using runtime_test::process_session;
using runtime_test::process_state;
using runtime_test::Ran;
using runtime_test::run;

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A line of /proc/PID/status, without its name.
std::string status_line(pid_t pid, const std::string &name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            const std::size_t value = line.find_first_not_of(" \t", name.size() + 1);
            return line.substr(value);
        }
    }
    return "";
}

class Runtime : public ::testing::Test {
protected:
    void SetUp() override { state_ = tools_.use_runtime(); }

    // Runs a command that must succeed and returns its output.
    std::string ok(const std::string &command) {
        const Ran ran = run(command);
        EXPECT_EQ(ran.exit_status, 0) << command << ": " << ran.err;
        EXPECT_EQ(ran.err, "") << command;
        return ran.out;
    }

    int status_of(const std::string &program, const std::string &name) {
        return run(program + " status -n " + name).exit_status;
    }

    pid_t pid_of(const std::string &program, const std::string &name) {
        return static_cast<pid_t>(std::atoi(ok(program + " getpid -n " + name).c_str()));
    }

    standin::Session tools_;
    std::filesystem::path state_;
};

TEST_F(Runtime, LifeCycleRunsARealMainProcess) {
    for (const std::string program : {"zor-sys", "zor-app"}) {
        SCOPED_TRACE(program);
        ok(program + " create -n web");
        EXPECT_EQ(status_of(program, "web"), 0);
        ok(program + " start -n web");
        EXPECT_EQ(status_of(program, "web"), 1);
        const pid_t pid = pid_of(program, "web");
        ASSERT_GT(pid, 1);
        EXPECT_NE(pid, getpid());
        EXPECT_EQ(process_session(pid), pid) << "the main process leads a session of its own";
        EXPECT_TRUE(process_state(pid) == 'S' || process_state(pid) == 'R');

        ok(program + " suspend -n web");
        EXPECT_EQ(status_of(program, "web"), 2);
        EXPECT_EQ(process_state(pid), 'T');
        ok(program + " resume -n web");
        EXPECT_EQ(status_of(program, "web"), 1);
        EXPECT_NE(process_state(pid), 'T');

        ok(program + " stop -n web");
        EXPECT_EQ(status_of(program, "web"), 0);
        EXPECT_TRUE(process_ended(pid));
        ok(program + " destroy -n web");
        EXPECT_EQ(run(program + " search -n web").exit_status, 102);
    }
}

TEST_F(Runtime, AStoppedSuspendedContainerEnds) {
    ok("zor-sys create -n web && zor-sys start -n web && zor-sys suspend -n web");
    const pid_t pid = pid_of("zor-sys", "web");
    ok("zor-sys stop -n web");
    EXPECT_TRUE(process_ended(pid));
    EXPECT_EQ(status_of("zor-sys", "web"), 0);
}

TEST_F(Runtime, AMainProcessThatDiedMeansStopped) {
    ok("zor-sys create -n web && zor-sys start -n web");
    const pid_t pid = pid_of("zor-sys", "web");
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(runtime_test::wait_ended(pid));
    EXPECT_EQ(status_of("zor-sys", "web"), 0);
    EXPECT_EQ(run("zor-sys getpid -n web").exit_status, 104);
    ok("zor-sys start -n web");
    EXPECT_NE(pid_of("zor-sys", "web"), pid);
}

TEST_F(Runtime, TheMainProcessKeepsNoDescriptorOfItsStarter) {
    ok("zor-sys create -n web && zor-sys start -n web");
    const pid_t pid = pid_of("zor-sys", "web");
    std::set<std::string> descriptors;
    for (const auto &entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        descriptors.insert(entry.path().filename().string());
        EXPECT_EQ(std::filesystem::read_symlink(entry.path()), "/dev/null");
    }
    EXPECT_EQ(descriptors, (std::set<std::string>{"0", "1", "2"}));
}

TEST_F(Runtime, InfoTellsTheTypeOnItsFirstLine) {
    struct Case {
        std::string create;
        std::string info;
        std::string first_line;
    };
    const Case cases[] = {
        {"zor-sys create -n a", "zor-sys info -n a", "TYPE 1"},
        {"zor-sys create -n b -m 512", "zor-sys info -n b", "TYPE 100"},
        {"zor-sys create -n c -b base1", "zor-sys info -n c", "TYPE 100"},
        {"zor-sys create -n d -f web.conf", "zor-sys info -n d", "TYPE 100"},
        {"zor-sys create -n e -m 1 -b x -f y", "zor-sys info -n e", "TYPE 100"},
        {"zor-app create -n a", "zor-app info -n a", "CONTAINER_TYPE 2"},
        {"zor-app create -n b -p 8080", "zor-app info -n b", "CONTAINER_TYPE 1"},
        {"zor-app create -n c -b base1", "zor-app info -n c", "CONTAINER_TYPE 1"},
    };
    for (const Case &c : cases) {
        ok(c.create);
        const std::vector<std::string> lines = lines_of(ok(c.info));
        ASSERT_FALSE(lines.empty()) << c.info;
        EXPECT_EQ(lines[0], c.first_line) << c.create;
    }
    // The two tools keep containers of their own.
    EXPECT_EQ(lines_of(ok("zor-sys list")), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    EXPECT_EQ(lines_of(ok("zor-app list")), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(Runtime, RefusesWithAClearMessageAndItsStatus) {
    ok("zor-sys create -n web && zor-sys create -n idle && zor-sys start -n web");
    ok("zor-app create -n app");
    struct Case {
        std::string command;
        int status;
    };
    const Case cases[] = {
        {"zor-sys frobnicate -n web", 101},
        {"zor-sys", 101},
        {"zor-target", 101},
        {"zor-sys start", 101},
        {"zor-sys start -n", 101},
        {"zor-sys start -n web extra", 101},
        {"zor-sys start -n web -n web", 101},
        {"zor-sys create -n 'two words'", 101},
        {"zor-sys create -n ''", 101},
        {"zor-sys create -n x -m many", 101},
        {"zor-sys create -n x -m 0", 101},
        {"zor-app create -n x -p 70000", 101},
        {"zor-app create -n x -m 5", 101},
        {"zor-sys save -n web -t", 101},
        {"zor-sys limit --cpu -5 -n web", 101},
        {"zor-sys limit --core 3-1 -n web", 101},
        {"zor-sys limit --disk 5 -n web", 101},
        {"zor-sys usage -n web", 101},
        {"zor-app checkpoint -n app -t c1", 101},
        {"zor-app migrate -n app -d 127.0.0.1 -p 1", 101},
        {"zor-sys register -n web -pid 1", 101},
        {"zor-sys migrate -n web -d 127.0.0.1 -p 0", 101},
        {"zor-sys status -n nothing", 102},
        {"zor-sys search -n nothing", 102},
        {"zor-sys info -n nothing", 102},
        {"zor-sys start -n nothing", 102},
        {"zor-app start -n web", 102},
        {"zor-sys load -n web -t none", 102},
        {"zor-sys remove --base none", 102},
        {"zor-sys bind -g none -pid 1", 102},
        {"zor-sys unlimit --mem -n web", 102},
        {"zor-sys create -n web", 103},
        {"zor-sys start -n web", 104},
        {"zor-sys resume -n web", 104},
        {"zor-sys stop -n idle", 104},
        {"zor-sys getpid -n idle", 104},
        {"zor-sys suspend -n idle", 104},
        {"zor-sys checkpoint -n idle -t c1", 104},
        {"zor-sys destroy -n web", 104},
        {"zor-sys unshare -n web", 104},
    };
    for (const Case &c : cases) {
        const Ran ran = run(c.command);
        EXPECT_EQ(ran.exit_status, c.status) << c.command << ": " << ran.err;
        EXPECT_EQ(ran.out, "") << c.command;
        const std::vector<std::string> message = lines_of(ran.err);
        ASSERT_EQ(message.size(), 1u) << c.command << ": " << ran.err;
        EXPECT_EQ(message[0].rfind(c.command.substr(0, c.command.find(' ')) + ": ", 0), 0u)
            << message[0];
    }
    // Nothing that was refused changed anything.
    EXPECT_EQ(lines_of(ok("zor-sys list")), (std::vector<std::string>{"idle", "web"}));
    EXPECT_EQ(status_of("zor-sys", "web"), 1);
}

TEST_F(Runtime, ListingsHaveTheFormsOfTheirTypes) {
    ok("zor-sys create -n table -m 64 && zor-sys create -n plain");
    ok("zor-sys start -n table && zor-sys start -n plain");
    for (const std::string name : {"table", "plain"}) {
        ok("zor-sys save -n " + name + " -t s1 && zor-sys save -n " + name + " -t IDs2");
        ok("zor-sys checkpoint -n " + name + " -t c1");
    }
    const std::vector<std::string> table = lines_of(ok("zor-sys list --snapshot -n table"));
    ASSERT_EQ(table.size(), 3u);
    EXPECT_NE(table[0].find("ID"), std::string::npos);
    // The name is the second blank-separated field of each row.
    std::vector<std::string> names;
    for (std::size_t row = 1; row < table.size(); ++row) {
        std::istringstream fields(table[row]);
        std::string id;
        std::string name;
        fields >> id >> name;
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"s1", "IDs2"}));
    EXPECT_EQ(lines_of(ok("zor-sys list --snapshot -n plain")),
              (std::vector<std::string>{"s1", "IDs2"}));
    EXPECT_EQ(lines_of(ok("zor-sys list --checkpoint -n plain")), (std::vector<std::string>{"c1"}));
    EXPECT_EQ(lines_of(ok("zor-sys list --checkpoint -n table")).size(), 2u);

    ok("zor-app create -n tagged -p 80 && zor-app create -n bare");
    ok("zor-app save -n tagged -t t1 && zor-app save -n bare -t t1");
    const std::vector<std::string> tags = lines_of(ok("zor-app list --snapshot -n tagged"));
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_NE(tags[0].find("TAG"), std::string::npos);
    EXPECT_EQ(tags[1].substr(0, tags[1].find_first_of(" \t")), "t1");
    EXPECT_EQ(lines_of(ok("zor-app list --snapshot -n bare")), (std::vector<std::string>{"t1"}));
}

TEST_F(Runtime, SnapshotsKeepLimitsAndLoadBringsThemBack) {
    ok("zor-sys create -n web && zor-sys limit --cpu 50 -n web");
    ok("zor-sys save -n web -t before");
    ok("zor-sys limit --cpu 20 -n web && zor-sys limit --mem 4096 -n web");
    std::string info = ok("zor-sys info -n web");
    EXPECT_NE(info.find("LIMIT cpu 20\n"), std::string::npos) << info;
    EXPECT_NE(info.find("LIMIT mem 4096\n"), std::string::npos) << info;
    ok("zor-sys load -n web -t before");
    info = ok("zor-sys info -n web");
    EXPECT_NE(info.find("LIMIT cpu 50\n"), std::string::npos) << info;
    EXPECT_EQ(info.find("LIMIT mem"), std::string::npos) << info;

    EXPECT_EQ(run("zor-sys save -n web -t before").exit_status, 103);
    ok("zor-sys commit -n web -t before -b golden");
    EXPECT_EQ(run("zor-sys commit -n web -t before -b golden").exit_status, 103);
    EXPECT_EQ(run("zor-sys commit -n web -t missing -b other").exit_status, 102);
    EXPECT_EQ(lines_of(ok("zor-sys list --base")), (std::vector<std::string>{"golden"}));
    EXPECT_EQ(ok("zor-app list --base"), "");
    ok("zor-sys remove --snapshot -n web -t before");
    EXPECT_EQ(ok("zor-sys list --snapshot -n web"), "");
    // A base image outlives the snapshot it was made from.
    ok("zor-sys remove --base golden");
    EXPECT_EQ(ok("zor-sys list --base"), "");
}

TEST_F(Runtime, RestartFromACheckpointStartsAFreshProcessInItsState) {
    ok("zor-sys create -n web && zor-sys start -n web && zor-sys suspend -n web");
    ok("zor-sys checkpoint -n web -t paused");
    ok("zor-sys resume -n web && zor-sys checkpoint -n web -t going");
    const pid_t first = pid_of("zor-sys", "web");
    ok("zor-sys restart -n web -t paused");
    const pid_t second = pid_of("zor-sys", "web");
    EXPECT_NE(second, first);
    EXPECT_TRUE(process_ended(first));
    EXPECT_EQ(status_of("zor-sys", "web"), 2);
    EXPECT_EQ(process_state(second), 'T');
    ok("zor-sys stop -n web && zor-sys restart -n web -t going");
    EXPECT_EQ(status_of("zor-sys", "web"), 1);
    ok("zor-sys remove --checkpoint -n web -t paused");
    EXPECT_EQ(lines_of(ok("zor-sys list --checkpoint -n web")),
              (std::vector<std::string>{"going"}));
    EXPECT_EQ(run("zor-sys restart -n web -t paused").exit_status, 102);
}

TEST_F(Runtime, LimitsAreKeptPerContainerApplicationAndGroup) {
    ok("zor-sys create -n web && zor-sys create -g g1 -n web");
    ok("zor-sys limit --cpu 50 -n web");
    ok("zor-sys limit --cpu 10 -n web -g g1");
    ok("zor-sys limit --core 0-1,3 -n web -a shop");
    ok("zor-sys limit --memsw 2048 -n web");
    EXPECT_EQ(run("zor-sys limit --cpu 10 -n web -g g2").exit_status, 102);
    std::string info = ok("zor-sys info -n web");
    EXPECT_NE(info.find("LIMIT cpu 50\n"), std::string::npos) << info;
    EXPECT_NE(info.find("LIMIT cpu 10 group g1\n"), std::string::npos) << info;
    EXPECT_NE(info.find("LIMIT core 0-1,3 app shop\n"), std::string::npos) << info;
    // Lifting one limit leaves the others; -c names the group for unlimit.
    ok("zor-sys unlimit --cpu -n web -c g1");
    info = ok("zor-sys info -n web");
    EXPECT_EQ(info.find("group g1"), std::string::npos) << info;
    EXPECT_NE(info.find("LIMIT cpu 50\n"), std::string::npos) << info;
    EXPECT_EQ(run("zor-sys unlimit --cpu -n web -c g1").exit_status, 102);

    ok("zor-app create -n app && zor-app create -c g1 -n app");
    ok("zor-app limit --mem 1024 -n app -c g1");
    EXPECT_NE(ok("zor-app info -n app").find("LIMIT mem 1024 group g1\n"), std::string::npos);
    ok("zor-app unlimit --mem -n app -c g1");
    EXPECT_EQ(ok("zor-app info -n app").find("LIMIT"), std::string::npos);
}

TEST_F(Runtime, UsageIsWhatProcShowsOfTheProcess) {
    ok("zor-sys create -n web && zor-sys start -n web");
    const pid_t pid = pid_of("zor-sys", "web");
    const long long rss = std::atoll(status_line(pid, "VmRSS").c_str());
    const long long swap = std::atoll(status_line(pid, "VmSwap").c_str());
    ASSERT_GT(rss, 0);
    EXPECT_EQ(ok("zor-sys usage --mem -n web"), std::to_string(rss) + "\n");
    EXPECT_EQ(ok("zor-sys usage --memsw -n web"), std::to_string(rss + swap) + "\n");
    EXPECT_EQ(ok("zor-sys usage --core -n web"), status_line(pid, "Cpus_allowed_list") + "\n");
    const long long idle = std::atoll(ok("zor-sys usage --cpu -n web").c_str());
    EXPECT_GE(idle, 0);
    EXPECT_LE(idle, 100) << "a process that only waits uses next to no time";

    // Processor time in milliseconds, for a process that has spent some.
    volatile unsigned long sink = 0;
    const auto ticks = [] {
        std::ifstream stat("/proc/self/stat");
        std::string text;
        std::getline(stat, text);
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        unsigned long long total = 0;
        for (int number = 3; number <= 15 && fields >> field; ++number) {
            total += number >= 14 ? std::stoull(field) : 0;
        }
        return static_cast<long long>(total) * 1000 / sysconf(_SC_CLK_TCK);
    };
    while (ticks() < 50) {
        for (int round = 0; round < 100000; ++round) {
            sink = sink + static_cast<unsigned long>(round);
        }
    }
    const long long before = ticks();
    const long long used =
        std::atoll(ok("zor-sys usage --cpu -n web -pid " + std::to_string(getpid())).c_str());
    const long long after = ticks();
    EXPECT_GE(used, before);
    EXPECT_LE(used, after);

    ok("zor-sys stop -n web");
    EXPECT_EQ(run("zor-sys usage --mem -n web").exit_status, 104);
    EXPECT_EQ(run("zor-sys usage --mem -n web -pid 999999999").exit_status, 102);
}

TEST_F(Runtime, UsageOfAnApplicationGroupAddsItsProcesses) {
    ok("zor-app create -n a && zor-app start -n a && zor-app create -n b && zor-app start -n b");
    const pid_t a = pid_of("zor-app", "a");
    const pid_t b = pid_of("zor-app", "b");
    ok("zor-app create -c pool");
    ok("zor-app bind -g pool -pid " + std::to_string(a));
    ok("zor-app bind -g pool -vpid " + std::to_string(b));
    const long long sum = std::atoll(ok("zor-app usage --mem -n a").c_str()) +
                          std::atoll(ok("zor-app usage --mem -n b").c_str());
    EXPECT_EQ(std::atoll(ok("zor-app usage --mem -g pool").c_str()), sum);
    EXPECT_EQ(ok("zor-app usage --mem -pid " + std::to_string(a)), ok("zor-app usage --mem -n a"));
    ok("zor-app unbind -c pool -pid " + std::to_string(a));
    ok("zor-app unbind -g pool -vpid " + std::to_string(b));
    EXPECT_EQ(run("zor-app usage --mem -g pool").exit_status, 104);
}

TEST_F(Runtime, ControlGroupsBindLivingProcessesOnce) {
    const std::string self = std::to_string(getpid());
    ok("zor-sys create -n web && zor-sys create -g g1 -n web && zor-sys create -g g1");
    EXPECT_EQ(run("zor-sys create -g g1 -n web").exit_status, 103);
    EXPECT_EQ(run("zor-sys create -g g2 -n nothing").exit_status, 102);
    ok("zor-sys bind -g g1 -pid " + self + " -n web");
    EXPECT_EQ(run("zor-sys bind -g g1 -pid " + self + " -n web").exit_status, 103);
    EXPECT_EQ(run("zor-sys bind -g g1 -pid 999999999 -n web").exit_status, 102);
    // The group of no container is another group.
    EXPECT_EQ(run("zor-sys unbind -g g1 -pid " + self).exit_status, 102);
    EXPECT_EQ(run("zor-sys destroy -g g1 -n web").exit_status, 104);
    ok("zor-sys unbind -g g1 -pid " + self + " -n web");
    ok("zor-sys destroy -g g1 -n web && zor-sys destroy -g g1");
    EXPECT_EQ(run("zor-sys destroy -g g1").exit_status, 102);
}

TEST_F(Runtime, DestroyTakesTheContainersGroupsAlong) {
    ok("zor-sys create -n web && zor-sys create -g g1 -n web");
    ok("zor-sys destroy -n web && zor-sys create -n web");
    ok("zor-sys create -g g1 -n web");
}

TEST_F(Runtime, RegisteredProcessesArePidVpidLines) {
    ok("zor-app create -n app && zor-app start -n app");
    const std::string self = std::to_string(getpid());
    const std::string main = std::to_string(pid_of("zor-app", "app"));
    ok("zor-app register -n app -pid " + self);
    ok("zor-app register -n app -vpid " + main);
    EXPECT_EQ(lines_of(ok("zor-app pidlist -n app")),
              (std::vector<std::string>{self + "," + self, main + "," + main}));
    EXPECT_EQ(run("zor-app register -n app -pid " + self).exit_status, 103);
    EXPECT_EQ(run("zor-app register -n app -pid 999999999").exit_status, 102);
    ok("zor-app unregister -n app -pid " + self);
    EXPECT_EQ(run("zor-app unregister -n app -pid " + self).exit_status, 102);
    EXPECT_EQ(lines_of(ok("zor-app pidlist -n app")),
              (std::vector<std::string>{main + "," + main}));
}

TEST_F(Runtime, ShareAndUnshareAreTheContainersFlag) {
    ok("zor-sys create -n web && zor-sys share -n web");
    EXPECT_NE(ok("zor-sys info -n web").find("SHARED yes\n"), std::string::npos);
    EXPECT_EQ(run("zor-sys share -n web").exit_status, 104);
    ok("zor-sys unshare -n web");
    EXPECT_NE(ok("zor-sys info -n web").find("SHARED no\n"), std::string::npos);
}

// Many commands at once on one state: every create of a distinct name lands, and of many
// creates of one name exactly one wins.
TEST_F(Runtime, CommandsAtOnceKeepTheStateWhole) {
    constexpr int kCount = 24;
    const std::string results = (tools_.directory() / "results").string();
    std::filesystem::create_directory(results);
    std::string distinct;
    std::string same;
    for (int at = 0; at < kCount; ++at) {
        const std::string n = std::to_string(at);
        distinct +=
            "(zor-sys create -n c" + n + " 2>/dev/null; echo $? >" + results + "/d" + n + ") & ";
        same += "(zor-app create -n one -p " + std::to_string(at + 1) + " 2>/dev/null; echo $? >" +
                results + "/s" + n + ") & ";
    }
    ok(distinct + same + "wait");
    int distinct_won = 0;
    int same_won = 0;
    int same_refused = 0;
    for (int at = 0; at < kCount; ++at) {
        std::ifstream d(results + "/d" + std::to_string(at));
        std::ifstream s(results + "/s" + std::to_string(at));
        int status = -1;
        d >> status;
        distinct_won += status == 0 ? 1 : 0;
        status = -1;
        s >> status;
        same_won += status == 0 ? 1 : 0;
        same_refused += status == 103 ? 1 : 0;
    }
    EXPECT_EQ(distinct_won, kCount);
    EXPECT_EQ(lines_of(ok("zor-sys list")).size(), static_cast<std::size_t>(kCount));
    EXPECT_EQ(same_won, 1);
    EXPECT_EQ(same_refused, kCount - 1);
    EXPECT_EQ(lines_of(ok("zor-app list")), (std::vector<std::string>{"one"}));
}

TEST_F(Runtime, TheStateDirectoryIsCreatedAndADamagedStateRefused) {
    const std::filesystem::path other = tools_.state_directory("deep");
    ok("ZOR_STANDIN_STATE=" + other.string() + " zor-sys create -n web");
    EXPECT_TRUE(std::filesystem::exists(other / "state"));
    EXPECT_EQ(ok("zor-sys list"), "") << "another directory is another machine";
    std::ofstream(other / "state") << "something else\n";
    const Ran damaged = run("ZOR_STANDIN_STATE=" + other.string() + " zor-sys list");
    EXPECT_EQ(damaged.exit_status, 105);
    EXPECT_NE(damaged.err.find("state"), std::string::npos);
}

TEST(RuntimeSession, EndsTheMainProcessesItLeftRunning) {
    pid_t pid = 0;
    {
        standin::Session tools;
        tools.use_runtime();
        ASSERT_EQ(run("zor-sys create -n web && zor-sys start -n web").exit_status, 0);
        pid = static_cast<pid_t>(std::atoi(run("zor-sys getpid -n web").out.c_str()));
        ASSERT_GT(pid, 1);
        ASSERT_FALSE(process_ended(pid));
    }
    EXPECT_TRUE(process_ended(pid));
    EXPECT_EQ(std::getenv("ZOR_STANDIN_STATE"), nullptr);
}

}  // namespace
