// Set-up and clean-up around the real runtime.
#include "real_runtime_fixture.hpp"

#include "bundle.hpp"
#include "cgroups.hpp"
#include "child_process.hpp"
#include "criu_lookup.hpp"
#include "refusal.hpp"
#include "runc.hpp"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace real_runtime {

namespace fs = std::filesystem;

namespace {

// Containers get an eth0 on a bridge that their runtime makes in its own network namespace.
// The tests' runtimes make theirs in a namespace of the test process, taken before any test
// runs, so that nothing of the machine's network is touched and nothing leaves it; it goes
// when the process ends. Its loopback is up: migrations between states go over 127.0.0.1.
const bool kPrivateNetwork = [] {
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    try {
        zor::bring_loopback_up(getpid());
    } catch (const zor::Refusal &) {
        return false;
    }
    return true;
}();

std::vector<std::string> runc_ids(const std::string &state) {
    std::error_code error;
    // runc makes its root when asked about it; a state that has gone stays gone.
    if (!fs::is_directory(state + "/runc", error)) {
        return {};
    }
    const Ran listed = shell("runc --root '" + state + "/runc' list -q 2>/dev/null");
    std::vector<std::string> ids;
    std::stringstream lines(listed.out);
    for (std::string id; std::getline(lines, id);) {
        if (!id.empty()) {
            ids.push_back(id);
        }
    }
    return ids;
}

// Every cgroup directory of the state's layout: the tops named after its tag.
std::vector<fs::path> cgroup_tops(const std::string &state) {
    std::vector<fs::path> tops;
    const std::string prefix = "zor." + zor::state_tag(state) + ".";
    const zor::Cgroups cgroups;
    for (const zor::Hierarchy &hierarchy : cgroups.hierarchies()) {
        std::error_code error;
        for (const auto &entry : fs::directory_iterator(hierarchy.mount, error)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) {
                tops.push_back(entry.path());
            }
        }
    }
    return tops;
}

std::vector<std::string> mounts_below(const std::string &state) {
    std::vector<std::string> found;
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::stringstream fields(line);
        std::string field;
        for (int at = 0; at < 5 && fields >> field; ++at) {
        }
        if (field.rfind(state + "/", 0) == 0) {
            found.push_back(field);
        }
    }
    return found;
}

}  // namespace

Ran shell(const std::string &command) {
    const kestal::test::ChildResult child = kestal::test::run_program({"/bin/sh", "-c", command});
    const int status = child.wait_status;
    return {WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status), child.out, child.err};
}

std::string first_line(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<std::string> leftovers(const std::string &state) {
    std::vector<std::string> left;
    for (const std::string &id : runc_ids(state)) {
        left.push_back("runc instance " + id);
    }
    for (const fs::path &top : cgroup_tops(state)) {
        left.push_back("cgroup " + top.string());
    }
    for (const std::string &mount : mounts_below(state)) {
        left.push_back("mount " + mount);
    }
    return left;
}

void clear(const std::string &state) {
    for (const std::string &id : runc_ids(state)) {
        shell("runc --root '" + state + "/runc' delete --force '" + id + "' >/dev/null 2>&1");
    }
    for (const fs::path &top : cgroup_tops(state)) {
        std::vector<fs::path> folders{top};
        std::error_code error;
        for (fs::recursive_directory_iterator it(top, error), end; !error && it != end;
             it.increment(error)) {
            if (it->is_directory(error)) {
                folders.push_back(it->path());
            }
        }
        for (const fs::path &folder : folders) {
            std::ifstream procs(folder / "cgroup.procs");
            for (pid_t pid = 0; procs >> pid;) {
                kill(pid, SIGKILL);
            }
        }
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
            for (int attempt = 0; attempt < 100 && rmdir(it->c_str()) != 0 && errno == EBUSY;
                 ++attempt) {
                usleep(10000);
            }
        }
    }
    for (const std::string &mount : mounts_below(state)) {
        umount2(mount.c_str(), MNT_DETACH);
    }
    std::error_code error;
    fs::remove_all(state, error);
}

std::string container_file(const std::string &state, bool system, const std::string &name,
                           const std::string &controller, const std::string &file) {
    return zor::Cgroups().file(zor::Cgroups::container_path(zor::state_tag(state), system, name),
                               controller, file);
}

bool introduce(const std::string &one, const std::string &other) {
    const auto in = [](const std::string &state, const std::string &words) {
        return shell("ZOR_RUNTIME_STATE=" + state + " zor-sys trust " + words);
    };
    const Ran first = in(one, "show");
    const Ran second = in(other, "show");
    return first.exit_status == 0 && second.exit_status == 0 &&
           in(one, "add " + second.out.substr(0, second.out.find('\n'))).exit_status == 0 &&
           in(other, "add " + first.out.substr(0, first.out.find('\n'))).exit_status == 0;
}

std::string criu_problem(const std::string &state) {
    try {
        zor::find_criu(state);
    } catch (const zor::Refusal &refusal) {
        return refusal.what();
    }
    return {};
}

bool criu_required() {
    const char *required = std::getenv("ZOR_REQUIRE_CRIU");
    return required != nullptr && std::string(required) == "1";
}

void RealRuntimeTest::require_criu() {
    const std::string problem = criu_problem(state_);
    if (problem.empty()) {
        return;
    }
    if (criu_required()) {
        FAIL() << "ZOR_REQUIRE_CRIU=1 but " << problem;
    }
    GTEST_SKIP() << "SKIPPED: this test needs a working CRIU: " << problem;
}

void RealRuntimeTest::SetUp() {
    if (geteuid() != 0) {
        GTEST_SKIP() << "SKIPPED: the runtime's tests need root";
    }
    if (shell("command -v runc || test -x /usr/sbin/runc").exit_status != 0) {
        GTEST_SKIP() << "SKIPPED: runc is not installed (Debian package runc)";
    }
    if (!kPrivateNetwork) {
        GTEST_SKIP() << "SKIPPED: no network namespace of the tests' own could be made";
    }
    char pattern[] = "/tmp/zor-runtime-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    state_ = pattern;
    const char *path = std::getenv("PATH");
    saved_path_ = path != nullptr ? path : "";
    setenv("PATH", (std::string(ZOR_RUNTIME_DIRECTORY) + ":" + saved_path_ + ":/usr/sbin").c_str(),
           1);
    setenv("ZOR_RUNTIME_STATE", state_.c_str(), 1);
}

void RealRuntimeTest::TearDown() {
    if (state_.empty()) {
        return;
    }
    clear(state_);
    EXPECT_EQ(leftovers(state_), std::vector<std::string>{});
    setenv("PATH", saved_path_.c_str(), 1);
    unsetenv("ZOR_RUNTIME_STATE");
}

pid_t RealRuntimeTest::main_of(const std::string &name) const {
    const Ran ran = sys("getpid -n " + name);
    return ran.exit_status == 0 ? static_cast<pid_t>(std::atoi(ran.out.c_str())) : 0;
}

std::string RealRuntimeTest::configuration(const std::string &name, const std::string &text) const {
    const std::string path = state_ + "/" + name + ".conf";
    std::ofstream(path) << text;
    return path;
}

}  // namespace real_runtime
