// Checkpoints checked through the program that is checkpointed: a container whose main
// process counts in a shell variable and writes the count into its root filesystem. Only
// memory can bring the count back after a restart; a fresh process would start again at 1.
// CRIU comes from ZOR_RUNTIME_CRIU or where the runtime finds one; without a working one the
// tests are skipped loudly, or fail when ZOR_REQUIRE_CRIU=1.
#include "real_runtime_fixture.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

namespace {

using real_runtime::first_line;
using real_runtime::Ran;

// The count lives only in the shell's memory; the file is replaced whole, never half-written.
// kConnectedCounter sends it over a TCP connection on the loopback to a receiver that writes
// it: the connection must survive the restore, which needs the loopback up before the
// sockets come back.
constexpr char kConnectedCounter[] =
    "command=trap 'exit 0' TERM; (nc -l -p 9000 -e sh -c 'while read l; do echo $l "
    ">/count.new; mv /count.new /count; done' &); sleep 0.3; i=0; while true; do i=$((i+1)); "
    "echo $i; sleep 0.05; done | nc 127.0.0.1 9000\n";
constexpr char kCounter[] =
    "command=trap 'exit 0' TERM; i=0; while true; do i=$((i+1)); echo $i >/count.new; mv "
    "/count.new /count; "
    "sleep 0.05; done\n";

class RuntimeCheckpoints : public real_runtime::RealRuntimeTest {
protected:
    void SetUp() override {
        RealRuntimeTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        require_criu();
    }

    // Creates and starts a counting container (of type 100: configured with -f) and waits
    // until it has counted.
    void start_counter(const std::string &name, const char *counter = kCounter) {
        const std::string conf = configuration(name, counter);
        ASSERT_EQ(sys("create -n " + name + " -f " + conf).exit_status, 0);
        ASSERT_EQ(sys("start -n " + name).exit_status, 0);
        rootfs_[name] = rootfs_of(name);
        wait_above(name, 2);
    }

    std::string rootfs_of(const std::string &name) const {
        const std::string info = sys("info -n " + name).out;
        const std::size_t at = info.find("\nROOTFS ");
        return at == std::string::npos ? std::string()
                                       : info.substr(at + 8, info.find('\n', at + 1) - at - 8);
    }

    long count(const std::string &name) { return std::atol(first_line(count_file(name)).c_str()); }

    std::string count_file(const std::string &name) { return rootfs_[name] + "/count"; }

    // Waits (at most 10 s) until the count is above value; returns the count.
    long wait_above(const std::string &name, long value) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        long now = count(name);
        while (now <= value && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            now = count(name);
        }
        EXPECT_GT(now, value) << name << " does not count";
        return now;
    }

    std::map<std::string, std::string> rootfs_;
};

// Gone, or a zombie that the host's init has not reaped yet.
bool ended(pid_t pid) {
    const std::string stat = first_line("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
}

// A chain named CRIU in the network namespace of pid (CRIU's network lock), in either family.
bool network_locked(pid_t pid) {
    const std::string net = "nsenter --net=/proc/" + std::to_string(pid) + "/ns/net ";
    return real_runtime::shell(net + "iptables -w -S CRIU >/dev/null 2>&1").exit_status == 0 ||
           real_runtime::shell(net + "ip6tables -w -S CRIU >/dev/null 2>&1").exit_status == 0;
}

TEST_F(RuntimeCheckpoints, RestartBringsTheCountBackAndItCountsOn) {
    start_counter("counter");
    // Limits set after the start are those runc no longer knows of: they must come back too.
    ASSERT_EQ(sys("limit --mem 96 -n counter").exit_status, 0);
    const long before = count("counter");
    const Ran made = sys("checkpoint -n counter -t c1");
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const long after = count("counter");
    // The checkpoint left it running.
    const long later = wait_above("counter", after + 20);
    for (int round = 0; round < 2; ++round) {
        const Ran restarted = sys("restart -n counter -t c1");
        ASSERT_EQ(restarted.exit_status, 0) << restarted.err;
        const long back = count("counter");
        EXPECT_GE(back, before) << "round " << round;
        EXPECT_LE(back, after + 10) << "round " << round << ", counted to " << later;
        wait_above("counter", back);
        EXPECT_EQ(
            std::atoll(first_line(file_of("counter", "memory", "memory.limit_in_bytes")).c_str()),
            96LL << 20);
    }
    // A stopped container is restarted as well.
    ASSERT_EQ(sys("stop -n counter").exit_status, 0);
    ASSERT_EQ(sys("restart -n counter -t c1").exit_status, 0);
    EXPECT_EQ(sys("status -n counter").exit_status, 1);
    EXPECT_LE(count("counter"), after + 10);
}

// A restore that fails (here from pictures that lost a file) brings the programs back as
// they were: running, counting on from where they were, never from 1.
TEST_F(RuntimeCheckpoints, AFailedRestartLeavesTheContainerRunningAsBefore) {
    start_counter("counter");
    ASSERT_EQ(sys("checkpoint -n counter -t c1").exit_status, 0);
    const std::string images = state_ + "/containers/sys/counter/checkpoints/c1/images";
    ASSERT_TRUE(std::filesystem::remove(images + "/pstree.img"));
    const long before = wait_above("counter", count("counter") + 5);
    const Ran restarted = sys("restart -n counter -t c1");
    EXPECT_EQ(restarted.exit_status, 107) << restarted.err;
    EXPECT_NE(restarted.err.find("runs as it did before"), std::string::npos) << restarted.err;
    EXPECT_EQ(sys("status -n counter").exit_status, 1);
    EXPECT_GE(count("counter"), before);
    wait_above("counter", count("counter") + 5);
}

TEST_F(RuntimeCheckpoints, AConnectionOverTheLoopbackSurvivesTheRestart) {
    start_counter("connected", kConnectedCounter);
    ASSERT_EQ(sys("checkpoint -n connected -t c1").exit_status, 0);
    const long after = count("connected");
    wait_above("connected", after + 20);
    const Ran restarted = sys("restart -n connected -t c1");
    ASSERT_EQ(restarted.exit_status, 0) << restarted.err;
    const long back = count("connected");
    EXPECT_LE(back, after + 10);
    // Only the restored connection carries the count on.
    wait_above("connected", back + 5);
}

TEST_F(RuntimeCheckpoints, ListingsAndRemoval) {
    start_counter("table");
    // Of the plain type: its listings are names alone.
    ASSERT_EQ(sys("create -n plain").exit_status, 0);
    ASSERT_EQ(sys("start -n plain").exit_status, 0);
    for (const char *name : {"table", "plain"}) {
        for (const char *tag : {"first", "IDsecond"}) {
            ASSERT_EQ(sys(std::string("checkpoint -n ") + name + " -t " + tag).exit_status, 0);
        }
    }
    std::istringstream table(sys("list --checkpoint -n table").out);
    std::string header;
    std::getline(table, header);
    EXPECT_EQ(header, "ID NAME CREATED");
    std::vector<std::string> names;
    for (std::string id, name, created; table >> id >> name >> created;) {
        EXPECT_GT(std::atol(id.c_str()), 0);
        EXPECT_EQ(created.size(), 20u) << created;
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"first", "IDsecond"}));
    EXPECT_EQ(sys("list --checkpoint -n plain").out, "first\nIDsecond\n");
    EXPECT_EQ(sys("list --snapshot -n plain").out, "");

    ASSERT_EQ(sys("remove --checkpoint -n plain -t first").exit_status, 0);
    EXPECT_EQ(sys("list --checkpoint -n plain").out, "IDsecond\n");
    EXPECT_FALSE(std::filesystem::exists(state_ + "/containers/sys/plain/checkpoints/first"));
    EXPECT_EQ(sys("remove --checkpoint -n plain -t first").exit_status, 102);
    EXPECT_EQ(sys("restart -n plain -t first").exit_status, 102);
}

TEST_F(RuntimeCheckpoints, RefusalsChangeNothing) {
    start_counter("counter");
    ASSERT_EQ(sys("checkpoint -n counter -t c1").exit_status, 0);
    ASSERT_EQ(sys("create -n idle").exit_status, 0);
    // A state directory of a user other than root (the runtime refuses one that is not the
    // user's own), and a copy of the tool that the user runs: the build tree may lie where
    // only root may enter.
    const std::string user_state = state_ + "/user";
    const std::string user_tools = state_ + "/tools";
    ASSERT_EQ(real_runtime::shell("mkdir -m 0700 " + user_state + " && chown 65534 " + user_state +
                                  " && mkdir -m 0755 " + user_tools +
                                  " && cp " ZOR_RUNTIME_DIRECTORY "/zor-runtime " + user_tools +
                                  " && ln -s zor-runtime " + user_tools +
                                  "/zor-sys && chmod 0711 " + state_)
                  .exit_status,
              0);
    const struct {
        std::string command;
        int status;
        const char *says;
    } cases[] = {
        {"setpriv --reuid=65534 --regid=65534 --clear-groups env ZOR_RUNTIME_STATE=" + user_state +
             " " + user_tools + "/zor-sys checkpoint -n counter -t c2",
         108, "root"},
        {"zor-sys checkpoint -n counter -t c1", 103, "c1"},
        {"zor-sys restart -n counter -t none", 102, "none"},
        {"zor-sys checkpoint -n idle -t c1", 104, "idle"},
        {"zor-sys checkpoint -n nothing -t c1", 102, "nothing"},
        {"zor-sys checkpoint -n counter -t ../up", 101, "../up"},
        {"ZOR_RUNTIME_CRIU=/bin/false zor-sys checkpoint -n counter -t c2", 108, "/bin/false"},
        {"ZOR_RUNTIME_CRIU=/bin/false zor-sys restart -n counter -t c1", 108, "CRIU"},
        {"zor-app checkpoint -n counter -t c2", 101, "checkpoint"},
    };
    for (const auto &one : cases) {
        const Ran ran = real_runtime::shell(one.command);
        EXPECT_EQ(ran.exit_status, one.status) << one.command << ": " << ran.err;
        EXPECT_NE(ran.err.find(one.says), std::string::npos) << one.command << ": " << ran.err;
        EXPECT_EQ(ran.err.find('\n'), ran.err.size() - 1) << ran.err;
    }
    const std::string listed = sys("list --checkpoint -n counter").out;
    EXPECT_EQ(listed.substr(listed.find('\n') + 1, 5), "1 c1 ") << listed;
    EXPECT_EQ(sys("status -n counter").exit_status, 1);
    wait_above("counter", count("counter"));
}

// After a checkpoint, a failed restore (which brings the programs back as they ran) and a
// restore: no network lock, no CRIU temporary file, no old program; after destroy nothing of
// the container at all.
TEST_F(RuntimeCheckpoints, NothingIsLeftBehind) {
    struct stat info {};
    const bool kdat_before = stat("/run/criu.kdat.tmp", &info) == 0;
    start_counter("counter");
    const pid_t first = main_of("counter");
    ASSERT_EQ(sys("checkpoint -n counter -t good").exit_status, 0);
    EXPECT_FALSE(network_locked(first));
    // A picture without its memory pages cannot be restored.
    const std::string pictures = state_ + "/containers/sys/counter/checkpoints/";
    ASSERT_EQ(real_runtime::shell("cp -a " + pictures + "good " + pictures + "bad.partial && " +
                                  "rm " + pictures + "bad.partial/images/pages-*.img")
                  .exit_status,
              0);
    ASSERT_EQ(sys("checkpoint -n counter -t bad").exit_status, 0);
    ASSERT_EQ(real_runtime::shell("rm -r " + pictures + "bad && mv " + pictures + "bad.partial " +
                                  pictures + "bad")
                  .exit_status,
              0);
    const Ran failed = sys("restart -n counter -t bad");
    EXPECT_EQ(failed.exit_status, 107) << failed.err;
    // Brought back from the picture restart took first: the program that ran is replaced.
    EXPECT_EQ(sys("status -n counter").exit_status, 1);
    EXPECT_TRUE(ended(first)) << "the old program still runs";
    EXPECT_FALSE(network_locked(main_of("counter")));

    ASSERT_EQ(sys("restart -n counter -t good").exit_status, 0);
    const pid_t restored = main_of("counter");
    EXPECT_FALSE(network_locked(restored));
    EXPECT_EQ(stat("/run/criu.kdat.tmp", &info) == 0, kdat_before);
    ASSERT_EQ(sys("stop -n counter").exit_status, 0);
    ASSERT_EQ(sys("destroy -n counter").exit_status, 0);
    EXPECT_EQ(real_runtime::leftovers(state_), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(pictures));
}

}  // namespace
