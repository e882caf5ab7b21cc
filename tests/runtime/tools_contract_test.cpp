// The runtime's tools through the real shell: the contract the client libraries rely on (life
// cycle, main processes, records, limits, usage, control groups, registration, concurrent
// commands and refusals) on real containers.
#include "real_runtime_fixture.hpp"
#include "runtime_support.hpp"

#include "cgroups.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using real_runtime::Ran;
using runtime_test::process_ended;
using runtime_test::process_session;
using runtime_test::process_state;

Ran run(const std::string &command) {
    return real_runtime::shell(command);
}

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

class Runtime : public real_runtime::RealRuntimeTest {
protected:
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

    // A process of the test's own to bind and register; ended at the end of the test.
    pid_t sleeper() {
        const pid_t pid = fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        sleepers_.push_back(pid);
        return pid;
    }

    void TearDown() override {
        for (const pid_t pid : sleepers_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        RealRuntimeTest::TearDown();
    }

private:
    std::vector<pid_t> sleepers_;
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
        ok(program + " resume -n web");
        EXPECT_EQ(status_of(program, "web"), 1);

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
    // runc returns once it has let the main process go; the exec of /bin/sh follows.
    const std::string cmdline = "/proc/" + std::to_string(pid) + "/cmdline";
    for (int wait = 0; wait < 200 && real_runtime::first_line(cmdline).rfind("/bin/sh", 0) != 0;
         ++wait) {
        usleep(10000);
    }
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
    ok("zor-sys create -n base && zor-sys save -n base -t s && zor-sys commit -n base -t s -b "
       "base1");
    ok("zor-app create -n base && zor-app save -n base -t s && zor-app commit -n base -t s -b "
       "base1");
    ok("zor-sys destroy -n base && zor-app destroy -n base");
    const std::string conf = configuration("web", "hostname=web\n");
    const Case cases[] = {
        {"zor-sys create -n a", "zor-sys info -n a", "TYPE 1"},
        {"zor-sys create -n b -m 512", "zor-sys info -n b", "TYPE 100"},
        {"zor-sys create -n c -b base1", "zor-sys info -n c", "TYPE 100"},
        {"zor-sys create -n d -f " + conf, "zor-sys info -n d", "TYPE 100"},
        {"zor-sys create -n e -m 1 -b base1 -f " + conf, "zor-sys info -n e", "TYPE 100"},
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
    // Configuration files that must not be read: none may make a container or hang.
    const std::string fifo = state_ + "/fifo.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string good = configuration("good", "command=sleep 1\n");
    const std::string linked = state_ + "/linked.conf";
    ASSERT_EQ(symlink(good.c_str(), linked.c_str()), 0);
    const std::string latin1 = configuration("latin1", "hostname=caf\xe9\n");
    const std::string big = configuration("big", "#" + std::string(64 * 1024, 'x') + "\n");
    const std::string named = configuration("named", "hostname=" + std::string(65, 'h') + "\n");
    const std::string longest = std::string(64, 'n');
    struct Case {
        std::string command;
        int status;
    };
    const Case cases[] = {
        {"zor-sys create -n x -f " + state_, 101},
        {"zor-sys create -n x -f /dev/zero", 101},
        {"zor-sys create -n x -f " + fifo, 101},
        {"zor-sys create -n x -f " + linked, 101},
        {"zor-sys create -n x -f " + latin1, 101},
        {"zor-sys create -n x -f " + big, 101},
        {"zor-sys create -n x -f " + named, 101},
        {"zor-sys create -n " + longest + "x", 101},
        {"zor-app create -n " + longest + "x", 101},
        {"zor-sys create -n " + std::string(300, 'n'), 101},
        {"zor-sys save -n web -t " + std::string(256, 't'), 101},
        {"zor-sys frobnicate -n web", 101},
        {"zor-sys", 101},
        {"zor-target", 101},
        {"zor-target -n web -p 0", 101},
        {"zor-target -n web -p 1 -d x", 101},
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
        {"zor-sys migrate -n web -d '' -p 1", 101},
        {"zor-sys migrate -n idle -d 127.0.0.1 -p 1", 104},
        {"zor-sys migrate -n nothing -d 127.0.0.1 -p 1", 102},
        {"zor-sys create -n ../up", 101},
        {"zor-sys create -n x -b nothing", 102},
        {"zor-sys create -n x -f /nonexistent.conf", 102},
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
    // The longest name taken is a host name the container starts with.
    ok("zor-sys create -n " + longest + " && zor-sys start -n " + longest);
    EXPECT_EQ(status_of("zor-sys", longest), 1);
    ok("zor-sys stop -n " + longest + " && zor-sys destroy -n " + longest);
}

// A suspended container stays suspended through other commands; a snapshot's files are its
// own, whatever other snapshots are called.
TEST_F(Runtime, SuspendedStaysSuspendedAndSnapshotsKeepTheirFiles) {
    ok("zor-sys create -n web && zor-sys start -n web && zor-sys suspend -n web");
    ok("zor-sys save -n web -t x.partial && zor-sys list --snapshot -n web");
    const std::string rootfs = state_ + "/containers/sys/web/rootfs";
    std::ofstream(rootfs + "/mark") << "second\n";
    ok("zor-sys save -n web -t x");
    EXPECT_EQ(status_of("zor-sys", "web"), 2);
    ok("zor-sys resume -n web && zor-sys stop -n web && zor-sys load -n web -t x.partial");
    EXPECT_EQ(real_runtime::first_line(rootfs + "/mark"), "");
    ok("zor-sys load -n web -t x && zor-sys start -n web");
    EXPECT_EQ(real_runtime::first_line(rootfs + "/mark"), "second");
}

TEST_F(Runtime, ListingsHaveTheFormsOfTheirTypes) {
    ok("zor-sys create -n table -m 64 && zor-sys create -n plain");
    ok("zor-sys start -n table && zor-sys start -n plain");
    for (const std::string name : {"table", "plain"}) {
        ok("zor-sys save -n " + name + " -t s1 && zor-sys save -n " + name + " -t IDs2");
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
    EXPECT_EQ(ok("zor-sys list --checkpoint -n plain"), "");

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

TEST_F(Runtime, LimitsAreKeptPerContainerApplicationAndGroup) {
    ok("zor-sys create -n web && zor-sys create -g g1 -n web && zor-app create -n shop");
    ok("zor-sys limit --cpu 50 -n web");
    ok("zor-sys limit --cpu 10 -n web -g g1");
    ok("zor-sys limit --core 0-1,3 -n web -a shop");
    ok("zor-sys limit --memsw 2048 -n web");
    EXPECT_EQ(run("zor-sys limit --cpu 10 -n web -g g2").exit_status, 102);
    std::string info = ok("zor-sys info -n web");
    EXPECT_NE(info.find("LIMIT cpu 50\n"), std::string::npos) << info;
    EXPECT_NE(info.find("LIMIT cpu 10 group g1\n"), std::string::npos) << info;
    EXPECT_NE(ok("zor-app info -n shop").find("LIMIT core 0-1,3\n"), std::string::npos);
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
    EXPECT_EQ(ok("zor-sys usage --mem -n web -pid " + std::to_string(pid)),
              status_line(pid, "VmRSS").substr(0, status_line(pid, "VmRSS").find(' ')) + "\n");
    EXPECT_EQ(ok("zor-sys usage --core -n web -vpid 1"),
              status_line(pid, "Cpus_allowed_list") + "\n");
    const long long idle = std::atoll(ok("zor-sys usage --cpu -n web").c_str());
    EXPECT_GE(idle, 0);
    // Milliseconds: what runc's start spent inside the container's cgroup, and a shell that
    // waits. Microseconds or nanoseconds would be thousands; the bound leaves room for a loaded
    // machine, where that start costs more.
    EXPECT_LE(idle, 1000) << "a container that only waits uses next to no time";

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

TEST_F(Runtime, AnApplicationGroupHoldsTheProcessesBoundToIt) {
    ok("zor-app create -n a && zor-app start -n a && zor-app create -n b && zor-app start -n b");
    const pid_t a = pid_of("zor-app", "a");
    const pid_t b = pid_of("zor-app", "b");
    ok("zor-app create -c pool");
    ok("zor-app bind -g pool -pid " + std::to_string(a));
    ok("zor-app bind -g pool -pid " + std::to_string(b));
    const std::string pool = zor::Cgroups::free_group_root(zor::state_tag(state_)) + "/pool";
    std::set<pid_t> inside;
    std::ifstream procs(zor::Cgroups().file(pool, "memory", "cgroup.procs"));
    for (pid_t pid = 0; procs >> pid;) {
        inside.insert(pid);
    }
    EXPECT_EQ(inside, (std::set<pid_t>{a, b}));
    EXPECT_GE(std::atoll(ok("zor-app usage --cpu -g pool").c_str()), 0);
    EXPECT_EQ(ok("zor-app usage --mem -pid " + std::to_string(a)),
              ok("zor-app usage --mem -n a -vpid 1"));
    EXPECT_EQ(run("zor-app destroy -g pool").exit_status, 104);
    ok("zor-app unbind -c pool -pid " + std::to_string(a));
    ok("zor-app unbind -g pool -pid " + std::to_string(b));
    ok("zor-app destroy -g pool");
    ok("zor-app stop -n a && zor-app stop -n b");
}

TEST_F(Runtime, ControlGroupsBindLivingProcessesOnce) {
    const std::string self = std::to_string(sleeper());
    ok("zor-sys create -n web && zor-sys create -g g1 -n web && zor-sys create -g g1");
    EXPECT_EQ(run("zor-sys bind -g g1 -pid " + self + " -n web").exit_status, 104)
        << "a stopped container's groups have no cgroup";
    ok("zor-sys start -n web");
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
    ok("zor-sys stop -n web");
}

TEST_F(Runtime, DestroyTakesTheContainersGroupsAlong) {
    ok("zor-sys create -n web && zor-sys create -g g1 -n web");
    ok("zor-sys destroy -n web && zor-sys create -n web");
    ok("zor-sys create -g g1 -n web");
}

TEST_F(Runtime, RegisteredProcessesArePidVpidLines) {
    ok("zor-app create -n app && zor-app start -n app");
    const std::string self = std::to_string(sleeper());
    const std::string main = std::to_string(pid_of("zor-app", "app"));
    ok("zor-app register -n app -pid " + self);
    ok("zor-app register -n app -vpid 1");
    EXPECT_EQ(lines_of(ok("zor-app pidlist -n app")),
              (std::vector<std::string>{self + "," + self, main + ",1"}));
    EXPECT_EQ(run("zor-app register -n app -vpid 999").exit_status, 102);
    EXPECT_EQ(run("zor-app register -n app -pid " + self).exit_status, 103);
    EXPECT_EQ(run("zor-app register -n app -pid 999999999").exit_status, 102);
    ok("zor-app unregister -n app -pid " + self);
    EXPECT_EQ(run("zor-app unregister -n app -pid " + self).exit_status, 102);
    EXPECT_EQ(lines_of(ok("zor-app pidlist -n app")), (std::vector<std::string>{main + ",1"}));
    ok("zor-app stop -n app");
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
    const std::string results = state_ + "/results";
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
    const std::filesystem::path other = std::filesystem::path(state_) / "deep" / "er";
    ok("ZOR_RUNTIME_STATE=" + other.string() + " zor-sys create -n web");
    EXPECT_TRUE(std::filesystem::exists(other / "state.json"));
    EXPECT_EQ(ok("zor-sys list"), "") << "another directory is another machine";
    std::ofstream(other / "state.json") << "something else\n";
    const Ran damaged = run("ZOR_RUNTIME_STATE=" + other.string() + " zor-sys list");
    EXPECT_EQ(damaged.exit_status, 105);
    EXPECT_NE(damaged.err.find("state"), std::string::npos);
}

}  // namespace
