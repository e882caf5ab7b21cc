// A program that links libkestal, run as the main process of real containers of base image
// host: the container name it finds, the log lines that reach the /dev/log bound into the
// container (the test's private socket, see test_main), and its SIGTERM callback under stop.
#include <zorsys.h>

#include "cgroups.hpp"
#include "private_log_socket.hpp"
#include "runtime_library_fixture.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kCopyFile[] = "/inside-demo.log";

std::vector<std::string> lines_of(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class InsideContainer : public runtime_test::RuntimeLibraryTest {
protected:
    // Creates system container name on base host with inside-demo as its main process, puts
    // the program and libkestal under its ROOTFS, starts it and waits for its first line.
    // Returns the host's path of the container's root filesystem ("" after a failure).
    std::string start_demo(const std::string &name) {
        const std::string conf =
            configuration(name, std::string("command=LD_LIBRARY_PATH=/opt/inside exec "
                                            "/opt/inside/inside-demo ") +
                                    kCopyFile + "\n");
        const real_runtime::Ran created = sys("create -n " + name + " -b host -f " + conf);
        EXPECT_EQ(created.exit_status, 0) << created.err;
        std::string rootfs;
        std::istringstream info(sys("info -n " + name).out);
        for (std::string line; std::getline(info, line);) {
            if (line.rfind("ROOTFS ", 0) == 0) {
                rootfs = line.substr(7);
            }
        }
        std::error_code error;
        fs::create_directories(rootfs + "/opt/inside", error);
        fs::copy_file(INSIDE_DEMO_PROGRAM, rootfs + "/opt/inside/inside-demo", error);
        fs::copy_file(KESTAL_LIBRARY, rootfs + "/opt/inside/" + KESTAL_LIBRARY_NAME, error);
        EXPECT_FALSE(error) << error.message();
        const real_runtime::Ran started = sys("start -n " + name);
        EXPECT_EQ(started.exit_status, 0) << started.err;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (lines_of(rootfs + kCopyFile).empty() &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (lines_of(rootfs + kCopyFile).empty()) {
            ADD_FAILURE() << "inside-demo wrote no line in container " << name;
            return "";
        }
        return rootfs;
    }

    // The messages of the records logged so far, with their newline.
    static std::vector<std::string> logged() {
        std::vector<std::string> messages;
        for (const kestal::test::SyslogRecord &record :
             kestal::test::PrivateLogSocket::instance().take()) {
            messages.push_back(record.message);
        }
        return messages;
    }
};

TEST_F(InsideContainer, KnowsItsContainersNameAndLogsItToTheBoundLogSocket) {
    KESTAL_REQUIRE_LOG_SOCKET();
    for (const std::string name : {"web-01", "db.2", "7a-b.c9"}) {
        SCOPED_TRACE(name);
        kestal::test::PrivateLogSocket::instance().clear();
        const std::string rootfs = start_demo(name);
        ASSERT_FALSE(rootfs.empty());
        // The program is the container's PID 1; the copy shows the identity rule's answer,
        // and the library's own line of the registration goes to the log before it.
        const std::string prefix = name + " inside-demo[1]: ";
        EXPECT_EQ(lines_of(rootfs + kCopyFile),
                  std::vector<std::string>{prefix + "started inside a container"});
        EXPECT_EQ(logged(), (std::vector<std::string>{prefix + "event=KESTAL Register\n",
                                                      prefix + "started inside a container\n"}));
        EXPECT_EQ(sys("stop -n " + name).exit_status, 0);
    }
}

TEST_F(InsideContainer, StopRunsTheSigtermCallbackAndTheProgramEndsOnItsOwn) {
    const std::string name = "stop-1";
    const std::string rootfs = start_demo(name);
    ASSERT_FALSE(rootfs.empty());
    zor_sys_handle *handle = zor_sys_open(name.c_str());
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(zor_sys_stop(handle), 0);
    EXPECT_EQ(zor_sys_get_status(handle), 0);
    EXPECT_EQ(zor_sys_close(handle), 0);
    // "exiting" comes after the callback let main go on: a process killed by SIGKILL after
    // its grace period never writes it.
    const std::string prefix = name + " inside-demo[1]: ";
    EXPECT_EQ(lines_of(rootfs + kCopyFile),
              (std::vector<std::string>{prefix + "started inside a container",
                                        prefix + "SIGTERM: cleaning up and leaving on my own",
                                        prefix + "exiting"}));
}

// The machine as a pure cgroup v2 host sees it: in a private mount namespace the v1
// hierarchies are unmounted and cgroup2 lies at /sys/fs/cgroup, so runc and the runtime use
// cgroup v2 alone. The kernel still lists its v1 hierarchies in /proc/PID/cgroup, which on a
// pure v2 host holds only the line "0::PATH" checked here.
TEST_F(InsideContainer, OnPureCgroupV2TheOneLineEndsWithTheNameAndTheFreezerWorks) {
    const std::string name = "v2-web.1";
    const std::string path = zor::Cgroups::container_path(zor::state_tag(state_), true, name);
    const std::string cgroup = "/sys/fs/cgroup" + path;
    const std::string script = state_ + "/v2.sh";
    std::ofstream(script) << "umount -R /sys/fs/cgroup && mount -t cgroup2 none /sys/fs/cgroup\n"
                          << "zor-sys create -n " << name << " && zor-sys start -n " << name
                          << "\ngrep '^0::' /proc/$(zor-sys getpid -n " << name << ")/cgroup\n"
                          << "zor-sys suspend -n " << name << " && cat '" << cgroup
                          << "/cgroup.freeze'\nzor-sys resume -n " << name << " && cat '" << cgroup
                          << "/cgroup.freeze'\nzor-sys stop -n " << name
                          << " && zor-sys destroy -n " << name << " && echo gone\n";
    const real_runtime::Ran ran =
        real_runtime::shell("unshare -m --propagation private sh " + script);
    EXPECT_EQ(ran.out, "0::" + path + "\n1\n0\ngone\n") << ran.err;
}

}  // namespace
