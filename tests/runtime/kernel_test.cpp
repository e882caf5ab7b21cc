// The runtime checked through the kernel rather than through its own answers: namespaces,
// the cgroup layout, limits and their enforcement, freezing, usage, groups, snapshots, and
// that destroy leaves nothing behind.
#include <zorsys.h>

#include "cgroups.hpp"
#include "real_runtime_fixture.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

namespace {

using real_runtime::first_line;
using namespace std::chrono_literals;

bool pure_v2() {
    return zor::Cgroups().pure_v2();
}

long long number_in(const std::string &path) {
    return std::atoll(first_line(path).c_str());
}

// The value of a "key N" line of a cgroup file such as memory.events or cpu.stat.
long long keyed_number(const std::string &path, const std::string &key) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + " ", 0) == 0) {
            return std::atoll(line.c_str() + key.size() + 1);
        }
    }
    return -1;
}

long long cpu_microseconds(const std::string &state, const std::string &name) {
    if (pure_v2()) {
        return keyed_number(real_runtime::container_file(state, true, name, "cpu", "cpu.stat"),
                            "usage_usec");
    }
    return number_in(real_runtime::container_file(state, true, name, "cpuacct", "cpuacct.usage")) /
           1000;
}

std::string rootfs_of(const real_runtime::Ran &info) {
    const std::size_t at = info.out.find("\nROOTFS ");
    return at == std::string::npos ? std::string()
                                   : info.out.substr(at + 8, info.out.find('\n', at + 1) - at - 8);
}

// Starts a system container through the library; the handle stays open for the test.
zor_sys_handle *started(const std::string &name, const std::string &configuration) {
    char *file = configuration.empty() ? nullptr : const_cast<char *>(configuration.c_str());
    const zor_sys_config config{file != nullptr ? 100 : 1, 0, nullptr, file};
    EXPECT_EQ(zor_sys_create_container(name.c_str(), &config), 0);
    zor_sys_handle *handle = zor_sys_open(name.c_str());
    EXPECT_NE(handle, nullptr);
    if (handle != nullptr) {
        EXPECT_EQ(zor_sys_start(handle), 0);
    }
    return handle;
}

class KernelTest : public real_runtime::RealRuntimeTest {};

TEST_F(KernelTest, MainProcessHasNamespacesOfItsOwnAndACgroupThatNamesIt) {
    zor_sys_handle *handle = started("ns-1.a", "");
    ASSERT_NE(handle, nullptr);
    int32_t pid = 0;
    ASSERT_EQ(zor_sys_get_pid(handle, &pid), 0);
    for (const char *kind : {"pid", "mnt", "ipc", "uts", "net"}) {
        const std::string theirs = "/proc/" + std::to_string(pid) + "/ns/" + kind;
        const std::string ours = std::string("/proc/self/ns/") + kind;
        EXPECT_NE(std::filesystem::read_symlink(theirs), std::filesystem::read_symlink(ours))
            << kind;
    }
    const real_runtime::Ran loopback =
        real_runtime::shell("nsenter -t " + std::to_string(pid) + " -n ip -o link show lo");
    EXPECT_NE(loopback.out.find(",UP"), std::string::npos) << loopback.out << loopback.err;
    // The rule a process inside applies to the first line of its /proc/self/cgroup.
    const std::string line = first_line("/proc/" + std::to_string(pid) + "/cgroup");
    std::smatch match;
    ASSERT_TRUE(
        std::regex_match(line, match, std::regex(".*[:,]ns[:,].*:/(.*)", std::regex::extended)))
        << line;
    EXPECT_EQ(match[1].str(), "ns-1.a");
    EXPECT_EQ(zor_sys_stop(handle), 0);
    EXPECT_EQ(zor_sys_close(handle), 0);
}

TEST_F(KernelTest, MemoryLimitIsTheCgroupValueAndAnAllocationBeyondItIsKilled) {
    // The allocation waits for a mark, so that the limit is in place first. The main process
    // forks nothing after the allocation starts: a fork while the killed allocation still holds
    // its memory can fail, and a shell that cannot fork ends. The allocating pipeline offers
    // itself to the OOM killer first, whole: once the killed tail has gone, a further charge
    // would otherwise let the kernel pick the main process as its next victim.
    const std::string conf =
        configuration("mem",
                      "command=trap 'exit 0' TERM; sleep 100000 & "
                      "while [ ! -e /tmp/go ]; do sleep 0.02; done; "
                      "(echo 1000 > /proc/self/oom_score_adj; head -c 300m /dev/zero | tail) & "
                      "wait\n");
    zor_sys_handle *handle = started("mem", conf);
    ASSERT_NE(handle, nullptr);
    zor_sys_resource limit{};
    limit.type = 3;
    limit.value.mem = 32;
    ASSERT_EQ(zor_sys_set_resource(handle, nullptr, nullptr, limit), 0);
    const char *limit_file = pure_v2() ? "memory.max" : "memory.limit_in_bytes";
    EXPECT_EQ(number_in(file_of("mem", "memory", limit_file)), 32LL << 20);
    std::ofstream(rootfs_of(sys("info -n mem")) + "/tmp/go") << "go\n";
    const std::string events =
        file_of("mem", "memory", pure_v2() ? "memory.events" : "memory.oom_control");
    long long kills = 0;
    for (int wait = 0; wait < 500 && kills <= 0; ++wait) {
        std::this_thread::sleep_for(20ms);
        kills = keyed_number(events, "oom_kill");
    }
    EXPECT_GE(kills, 1);
    EXPECT_EQ(zor_sys_stop(handle), 0);
    EXPECT_EQ(zor_sys_close(handle), 0);
}

TEST_F(KernelTest, CpuLimitOfTwentyHoldsABusyLoop) {
    ASSERT_EQ(sys("create -n busy -f " +
                  configuration("busy", "command=trap 'exit 0' TERM; while :; do :; done\n"))
                  .exit_status,
              0);
    ASSERT_EQ(sys("start -n busy").exit_status, 0);
    ASSERT_EQ(sys("limit --cpu 20 -n busy").exit_status, 0);
    std::this_thread::sleep_for(200ms);
    const long long before = cpu_microseconds(state_, "busy");
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(2s);
    const long long used = cpu_microseconds(state_, "busy") - before;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(static_cast<double>(used) / 1e6 / seconds, 0.25);
    EXPECT_GT(used, 0);
    ASSERT_EQ(sys("stop -n busy").exit_status, 0);
}

TEST_F(KernelTest, SuspendFreezesTheMainProcessAndItsCounter) {
    zor_sys_handle *handle =
        started("count", configuration("count",
                                       "command=trap 'exit 0' TERM; i=0; while :; do i=$((i+1)); "
                                       "echo $i > /tmp/m; mv /tmp/m /tmp/n; done\n"));
    ASSERT_NE(handle, nullptr);
    const std::string counter = rootfs_of(sys("info -n count")) + "/tmp/n";
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(zor_sys_suspend(handle), 0);
    if (pure_v2()) {
        EXPECT_EQ(first_line(file_of("count", "", "cgroup.freeze")), "1");
    } else {
        EXPECT_EQ(first_line(file_of("count", "freezer", "freezer.state")), "FROZEN");
    }
    const long long frozen = number_in(counter);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(number_in(counter), frozen);
    ASSERT_EQ(zor_sys_resume(handle), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(number_in(counter), frozen);
    EXPECT_EQ(zor_sys_stop(handle), 0);
    EXPECT_EQ(zor_sys_close(handle), 0);
}

// The kernel's figure is read just before and just after the runtime's, which must lie
// between them.
TEST_F(KernelTest, UsageAgreesWithTheCgroupFiles) {
    ASSERT_EQ(sys("create -n use").exit_status, 0);
    ASSERT_EQ(sys("start -n use").exit_status, 0);
    std::this_thread::sleep_for(100ms);
    const std::string memory_file =
        file_of("use", "memory", pure_v2() ? "memory.current" : "memory.usage_in_bytes");
    const long long mem_before = number_in(memory_file) / 1024;
    const long long mem = std::atoll(sys("usage --mem -n use").out.c_str());
    const long long mem_after = number_in(memory_file) / 1024;
    EXPECT_GT(mem, 0);
    EXPECT_GE(mem, std::min(mem_before, mem_after) - 64);
    EXPECT_LE(mem, std::max(mem_before, mem_after) + 64);
    const long long cpu_before = cpu_microseconds(state_, "use") / 1000;
    const long long cpu = std::atoll(sys("usage --cpu -n use").out.c_str());
    const long long cpu_after = cpu_microseconds(state_, "use") / 1000;
    EXPECT_GE(cpu, cpu_before);
    EXPECT_LE(cpu, cpu_after);
    const std::string cores = sys("usage --core -n use").out;
    EXPECT_EQ(cores,
              first_line(file_of("use", "cpuset",
                                 pure_v2() ? "cpuset.cpus.effective" : "cpuset.effective_cpus")) +
                  "\n");
    ASSERT_EQ(sys("stop -n use").exit_status, 0);
}

TEST_F(KernelTest, ControlGroupsHoldBoundProcessesAndTheirLimits) {
    ASSERT_EQ(sys("create -n grp").exit_status, 0);
    ASSERT_EQ(sys("start -n grp").exit_status, 0);
    ASSERT_EQ(sys("create -g g1 -n grp").exit_status, 0);
    ASSERT_EQ(sys("limit --mem 48 -n grp -g g1").exit_status, 0);
    const std::string group =
        zor::Cgroups::container_path(zor::state_tag(state_), true, "grp") + "/g1";
    EXPECT_EQ(number_in(zor::Cgroups().file(group, "memory",
                                            pure_v2() ? "memory.max" : "memory.limit_in_bytes")),
              48LL << 20);
    const pid_t sleeper = fork();
    ASSERT_GE(sleeper, 0);
    if (sleeper == 0) {
        pause();
        _exit(0);
    }
    const std::string before = first_line("/proc/" + std::to_string(sleeper) + "/cgroup");
    EXPECT_EQ(sys("bind -g g1 -n grp -pid " + std::to_string(sleeper)).exit_status, 0);
    EXPECT_EQ(first_line("/proc/" + std::to_string(sleeper) + "/cgroup"),
              before.substr(0, before.find(":/") + 1) + group);
    EXPECT_EQ(sys("destroy -g g1 -n grp").exit_status, 104);
    EXPECT_EQ(sys("unbind -g g1 -n grp -pid " + std::to_string(sleeper)).exit_status, 0);
    EXPECT_EQ(first_line("/proc/" + std::to_string(sleeper) + "/cgroup"), before);
    EXPECT_EQ(sys("destroy -g g1 -n grp").exit_status, 0);
    kill(sleeper, SIGKILL);
    ASSERT_EQ(sys("stop -n grp").exit_status, 0);
}

TEST_F(KernelTest, SnapshotsKeepTheRootFilesystemAndCommitMakesABase) {
    ASSERT_EQ(sys("create -n snap").exit_status, 0);
    const std::string root = rootfs_of(sys("info -n snap"));
    ASSERT_FALSE(root.empty());
    ASSERT_EQ(sys("start -n snap").exit_status, 0);
    std::ofstream(root + "/kept") << "first\n";
    ASSERT_EQ(sys("save -n snap -t s1").exit_status, 0);
    EXPECT_EQ(sys("status -n snap").exit_status, 1);  // thawed again after the copy
    ASSERT_EQ(sys("stop -n snap").exit_status, 0);
    std::ofstream(root + "/kept") << "changed\n";
    ASSERT_EQ(sys("load -n snap -t s1").exit_status, 0);
    EXPECT_EQ(first_line(root + "/kept"), "first");
    ASSERT_EQ(sys("commit -n snap -t s1 -b based").exit_status, 0);
    EXPECT_EQ(sys("list --base").out, "based\n");
    ASSERT_EQ(sys("create -n child -b based").exit_status, 0);
    EXPECT_EQ(first_line(rootfs_of(sys("info -n child")) + "/kept"), "first");
    EXPECT_EQ(sys("remove --base based").exit_status, 104);  // child is made from it
    EXPECT_EQ(sys("destroy -n child").exit_status, 0);
    EXPECT_EQ(sys("remove --base based").exit_status, 0);
}

TEST_F(KernelTest, DestroyLeavesNothingBehind) {
    ASSERT_EQ(sys("create -n gone -m 64").exit_status, 0);
    ASSERT_EQ(sys("start -n gone").exit_status, 0);
    ASSERT_EQ(sys("create -g inner -n gone").exit_status, 0);
    const pid_t pid = main_of("gone");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(sys("destroy -n gone").exit_status, 104);
    ASSERT_EQ(sys("stop -n gone").exit_status, 0);
    ASSERT_EQ(sys("destroy -n gone").exit_status, 0);
    EXPECT_EQ(real_runtime::leftovers(state_), std::vector<std::string>{});
    // Gone, or a zombie that the host's init has not reaped yet.
    const std::string stat = first_line("/proc/" + std::to_string(pid) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z") << stat;
    EXPECT_FALSE(std::filesystem::exists(state_ + "/containers/sys/gone"));
}

// Where a real component is missing, the verb says so in one line and a status of its own.
TEST_F(KernelTest, MissingComponentsFailWithStatusesOfTheirOwn) {
    ASSERT_EQ(sys("create -n honest").exit_status, 0);
    const struct {
        const char *command;
        int status;
        const char *says;
    } cases[] = {
        {"ZOR_RUNTIME_RUNC=/nonexistent zor-sys start -n honest", 107, "runc"},
        {"zor-sys start -n honest", 0, ""},
        {"ZOR_RUNTIME_CRIU=/nonexistent zor-sys checkpoint -n honest -t c1", 108, "CRIU"},
        {"ZOR_RUNTIME_CRIU=/bin/false zor-sys checkpoint -n honest -t c1", 108, "CRIU"},
        {"ZOR_RUNTIME_CRIU=/bin/false zor-target -n honest -p 1", 108, "CRIU"},
        {"ZOR_RUNTIME_CRIU=/bin/false zor-sys migrate -n honest -d 127.0.0.1 -p 1", 108, "CRIU"},
    };
    for (const auto &one : cases) {
        const real_runtime::Ran ran = real_runtime::shell(one.command);
        EXPECT_EQ(ran.exit_status, one.status) << one.command;
        if (one.status != 0) {
            EXPECT_NE(ran.err.find(one.says), std::string::npos) << ran.err;
            EXPECT_EQ(ran.err.find('\n'), ran.err.size() - 1) << ran.err;
        }
    }
    EXPECT_EQ(sys("status -n honest").exit_status, 1);
    EXPECT_EQ(sys("list --checkpoint -n honest").out, "");
}

}  // namespace
