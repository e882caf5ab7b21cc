// The local machine as an attacker sees it: a state directory that someone else could have
// written, a setuid file a container made, links a container planted for the host's copies
// to follow, and a container that tries to leave its confinement. Each case performs the
// attack and checks, through the kernel and the host's files, that it came to nothing.
#include "real_runtime_fixture.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using real_runtime::first_line;
using real_runtime::Ran;

constexpr char kUntouched[] = "untouched";
constexpr int kUnsafeState = 110;
constexpr char kAsNobody[] = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

class LocalSecurity : public real_runtime::RealRuntimeTest {
protected:
    void SetUp() override {
        RealRuntimeTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        canary_ = state_ + "/canary";
        std::ofstream(canary_) << kUntouched << "\n";
    }

    std::string rootfs_of(const std::string &name) const {
        std::stringstream lines(sys("info -n " + name).out);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("ROOTFS ", 0) == 0) {
                return line.substr(7);
            }
        }
        return {};
    }

    // Waits (at most 10 s) until path exists.
    static bool appears(const std::string &path) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!fs::exists(path) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return fs::exists(path);
    }

    std::string canary_;
};

// Each case makes a state directory as an attacker would leave it; every command on it is
// refused, and nothing is written through the links planted in it.
TEST_F(LocalSecurity, AStateDirectoryOthersCouldWriteIsRefused) {
    const struct {
        const char *what;
        std::string prepare;  // run in the case's state directory D
        std::string words;
        int status;
        const char *below = "";  // the state directory, below D
    } cases[] = {
        {"owned by nobody, with a link for the new record",
         "ln -s " + canary_ + " $D/state.json.new && chown -h -R 65534 $D", "create -n c1",
         kUnsafeState},
        {"writable by its group", "chmod 0770 $D", "list", kUnsafeState},
        {"writable by others", "chmod 0703 $D", "list", kUnsafeState},
        {"the record a link planted by nobody",
         "ln -s " + canary_ + " $D/state.json && chown -h 65534 $D/state.json", "list",
         kUnsafeState},
        {"the record owned by nobody", "echo '{}' >$D/state.json && chown 65534 $D/state.json",
         "list", kUnsafeState},
        {"the lock a link", "ln -s " + canary_ + " $D/lock", "list", kUnsafeState},
        {"the lock writable by its group", "touch $D/lock && chmod 0660 $D/lock", "list",
         kUnsafeState},
        {"the directory a link", "rmdir $D && mkdir $D.real && ln -s $D.real $D", "list",
         kUnsafeState},
        {"in a folder of nobody's", "chmod 0755 $D && chown 65534 $D && mkdir -m 0700 $D/s", "list",
         kUnsafeState, "/s"},
        {"in a folder its group may write", "chmod 0775 $D && mkdir -m 0700 $D/s", "list",
         kUnsafeState, "/s"},
        {"a link for the new record, planted before", "ln -s " + canary_ + " $D/state.json.new",
         "create -n c1 && zor-sys destroy -n c1", 0},
    };
    int number = 0;
    for (const auto &c : cases) {
        const std::string directory = state_ + "/case" + std::to_string(++number);
        ASSERT_EQ(real_runtime::shell("D=" + directory + "; mkdir -m 0700 $D && " + c.prepare)
                      .exit_status,
                  0)
            << c.what;
        const Ran ran = real_runtime::shell("export ZOR_RUNTIME_STATE=" + directory + c.below +
                                            "; zor-sys " + c.words);
        EXPECT_EQ(ran.exit_status, c.status) << c.what << ": " << ran.err;
        if (c.status == kUnsafeState) {
            EXPECT_NE(ran.err.find("refusing the state in '" + directory), std::string::npos)
                << c.what << ": " << ran.err;
        }
        EXPECT_EQ(first_line(canary_), kUntouched) << c.what;
        struct stat info {};
        EXPECT_EQ(lstat(canary_.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, 0U) << c.what;
    }
    // The runtime makes its own state directory private.
    const std::string made = state_ + "/made";
    ASSERT_EQ(real_runtime::shell("ZOR_RUNTIME_STATE=" + made + " zor-sys list").exit_status, 0);
    for (const std::string &path : {made, made + "/containers", made + "/images", made + "/lock"}) {
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_mode & 077, 0U) << path;
    }
}

// A state directory left open to all (as mkdir -p makes one): the container's files below it
// still are not, so its setuid-root file is no one's way to root.
TEST_F(LocalSecurity, AContainersSetuidFileIsOutOfOtherUsersReach) {
    ASSERT_EQ(chmod(state_.c_str(), 0755), 0);
    const std::string conf = configuration(
        "su",
        "command=cp /bin/busybox /tmp/s && chmod 4755 /tmp/s && mv /tmp/s /tmp/su; trap 'exit 0' "
        "TERM; sleep 2147483647 & wait $!\n");
    ASSERT_EQ(sys("create -n su -f " + conf).exit_status, 0);
    ASSERT_EQ(sys("start -n su").exit_status, 0);
    const std::string planted = rootfs_of("su") + "/tmp/su";
    ASSERT_TRUE(appears(planted));
    struct stat info {};
    ASSERT_EQ(stat(planted.c_str(), &info), 0);
    ASSERT_NE(info.st_mode & S_ISUID, 0U) << "root reads the container's files from the host";
    EXPECT_NE(real_runtime::shell(kAsNobody + std::string("test -e ") + planted).exit_status, 0)
        << planted << " is within nobody's reach";
    const Ran ran = real_runtime::shell(kAsNobody + planted + " id -u");
    EXPECT_NE(ran.exit_status, 0) << ran.out;
    EXPECT_EQ(ran.out, "");
}

// Seccomp and the pids limit, through the kernel: the main process's status, its cgroup, and
// a namespace the container tries to make.
TEST_F(LocalSecurity, ContainersAreConfined) {
    const std::string escape =
        "command=if unshare -U true 2>/dev/null || unshare -n true 2>/dev/null; then echo made; "
        "else echo refused; fi >/tmp/unshare; trap 'exit 0' TERM; sleep 2147483647 & wait $!\n";
    ASSERT_EQ(sys("create -n few -f " + configuration("few", escape + "pids=64\n")).exit_status, 0);
    ASSERT_EQ(sys("create -n plain").exit_status, 0);
    for (const char *name : {"few", "plain"}) {
        ASSERT_EQ(sys("start -n " + std::string(name)).exit_status, 0) << name;
    }
    const std::string process = "/proc/" + std::to_string(main_of("few"));
    std::ifstream status(process + "/status");
    std::string figures;
    for (std::string line; std::getline(status, line);) {
        for (const char *key : {"CapEff:", "CapBnd:", "NoNewPrivs:", "Seccomp:"}) {
            figures += line.rfind(key, 0) == 0 ? line + "\n" : "";
        }
    }
    // CAP_AUDIT_WRITE, CAP_KILL and CAP_NET_BIND_SERVICE alone.
    EXPECT_EQ(figures,
              "CapEff:\t0000000020000420\nCapBnd:\t0000000020000420\nNoNewPrivs:\t1\n"
              "Seccomp:\t2\n");
    // Masked paths and read-only /proc/sys and /sys, as the container's mount table has them.
    std::ifstream mounts(process + "/mountinfo");
    std::map<std::string, std::string> options;
    for (std::string line; std::getline(mounts, line);) {
        std::stringstream fields(line);
        std::string field[6];
        for (std::string &one : field) {
            fields >> one;
        }
        options[field[4]] = field[5];
    }
    for (const char *masked : {"/proc/keys", "/proc/timer_list", "/sys/firmware"}) {
        // runc masks what the host has.
        EXPECT_EQ(options.count(masked), fs::exists(masked) ? 1U : 0U) << masked;
    }
    for (const char *read_only : {"/proc/sys", "/sys"}) {
        EXPECT_EQ(options[read_only].rfind("ro", 0), 0U) << read_only << " " << options[read_only];
    }
    const std::string made = rootfs_of("few") + "/tmp/unshare";
    ASSERT_TRUE(appears(made));
    EXPECT_EQ(first_line(made), "refused");
    EXPECT_EQ(first_line(file_of("few", "pids", "pids.max")), "64");
    EXPECT_EQ(first_line(file_of("plain", "pids", "pids.max")), "1024");
    for (const char *value : {"0", "-1", "many", "", "4194305", "12 ", "1e3"}) {
        const Ran ran =
            sys("create -n bad -f " + configuration("bad", "pids=" + std::string(value) + "\n"));
        EXPECT_EQ(ran.exit_status, 101) << "pids=" << value;
        EXPECT_NE(ran.err.find("pids"), std::string::npos) << ran.err;
    }
    EXPECT_EQ(sys("status -n bad").exit_status, 102);
}

// Links a container planted, pointing at a host file and a host folder by their host paths,
// met by every verb that copies a container's files: each step leaves both untouched and the
// links copied as links. The second container replaces the links by a file and a folder of
// the same names, so that committing it writes where the links stood in its base image.
TEST_F(LocalSecurity, CopiesNeverFollowAContainersLinks) {
    const std::string folder = state_ + "/canary-folder";
    ASSERT_TRUE(fs::create_directory(folder));
    ASSERT_EQ(sys("create -n c1").exit_status, 0);
    const std::string r1 = rootfs_of("c1");
    ASSERT_EQ(real_runtime::shell("cd " + r1 + " && ln -s " + canary_ + " x && ln -s " + folder +
                                  " d && echo one >y && mkdir o && echo kept >o/k")
                  .exit_status,
              0);
    const bool criu = real_runtime::criu_problem(state_).empty();
    const struct {
        const char *what;
        std::string command;
    } steps[] = {
        {"save", "zor-sys save -n c1 -t s1"},
        {"load", "zor-sys load -n c1 -t s1"},
        {"commit", "zor-sys commit -n c1 -t s1 -b b1"},
        {"create from the base", "zor-sys create -n c2 -b b1"},
        {"the links replaced in the second container",
         "cd $(zor-sys info -n c2 | sed -n 's/^ROOTFS //p') && rm x d y && echo pwned >x && "
         "mkdir d && echo pwned >d/f && rm -r o && mkdir o && echo new >o/n"},
        {"save over links", "zor-sys save -n c2 -t s2"},
        {"commit over links", "zor-sys commit -n c2 -t s2 -b b2"},
        {"create from that base", "zor-sys create -n c3 -b b2"},
        {"checkpoint", criu ? "zor-sys start -n c1 && zor-sys checkpoint -n c1 -t k1" : "true"},
        {"restart", criu ? "zor-sys stop -n c1 && zor-sys restart -n c1 -t k1" : "true"},
    };
    for (const auto &step : steps) {
        const Ran ran = real_runtime::shell(step.command);
        EXPECT_EQ(ran.exit_status, 0) << step.what << ": " << ran.err;
        EXPECT_EQ(first_line(canary_), kUntouched) << step.what;
        EXPECT_TRUE(fs::is_empty(folder)) << step.what;
        EXPECT_TRUE(fs::is_symlink(r1 + "/x") && fs::is_symlink(r1 + "/d")) << step.what;
    }
    // The base image holds the second container's changes, whiteouts and opaque folders
    // applied.
    const std::string r3 = rootfs_of("c3");
    EXPECT_EQ(first_line(r3 + "/x"), "pwned");
    EXPECT_EQ(first_line(r3 + "/d/f"), "pwned");
    EXPECT_FALSE(fs::is_symlink(r3 + "/x") || fs::is_symlink(r3 + "/d"));
    EXPECT_FALSE(fs::exists(r3 + "/y"));
    EXPECT_FALSE(fs::exists(r3 + "/o/k"));
    EXPECT_EQ(first_line(r3 + "/o/n"), "new");
    if (criu) {
        EXPECT_EQ(sys("stop -n c1").exit_status, 0);
    }
}

}  // namespace
