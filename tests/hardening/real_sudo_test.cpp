// Both libraries through Debian's real sudo: in a private mount namespace, a sudoers file of
// the test's own is bound over the machine's; it lets the unprivileged user nobody run the
// three stand-in tools, and nothing else, as root without a password. As nobody, operations
// of both libraries reach the tools through it with every caller text as one word, and texts
// that try to run more as root leave a canary in a directory only root may write untouched.
#include "standin_harness.hpp"

#include <zorapp.h>
#include <zorsys.h>

#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

constexpr char kSudo[] = "/usr/bin/sudo";

struct Call {
    const char *label;
    std::function<int()> run;
    std::vector<Words> expected;  // each tool run: the tool and its words, as root via sudo
};

bool sudo_available() {
    if (access(kSudo, X_OK) == 0) {
        return true;
    }
    // Debian's sudo, when the machine lacks it.
    return std::system("apt-get install -y -qq sudo > /dev/null 2>&1") == 0 &&
           access(kSudo, X_OK) == 0;
}

void write_file(const fs::path &path, const std::string &text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// Runs body in a child that has its own mount namespace with sudoers bound over the machine's
// and has become nobody; the child's exit status is the count of calls that did not return 0.
int as_nobody_with_sudoers(const fs::path &sudoers, const std::string &path,
                           const std::vector<Call> &calls) {
    const pid_t child = fork();
    if (child == 0) {
        const passwd *nobody = getpwnam("nobody");
        if (nobody == nullptr || unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(sudoers.c_str(), "/etc/sudoers", nullptr, MS_BIND, nullptr) != 0) {
            _exit(100);
        }
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
            setuid(nobody->pw_uid) != 0 || setuid(0) == 0 || chdir("/") != 0) {
            _exit(101);
        }
        setenv("PATH", path.c_str(), 1);
        setenv("HOME", "/nonexistent", 1);
        int failed = 0;
        for (const Call &call : calls) {
            failed += call.run() != 0;
        }
        _exit(failed);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(RealSudo, BothLibrariesRunTheToolsAsRootWithEveryTextOneWord) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to set up the private mount namespace";
    }
    ASSERT_TRUE(sudo_available()) << "Debian's sudo is missing and could not be installed";
    standin::Session tools;
    const std::string bin = standin::Session::tools_directory();
    // The record is written by the tools as root; the script read by them.
    const fs::path sudoers = tools.directory() / "sudoers";
    const fs::path env_file = tools.directory() / "sudo-environment";
    // Only root may write here: a canary in it proves that nothing else ran as root.
    const fs::path guarded = tools.directory() / "guarded";
    fs::create_directories(guarded);
    chmod(guarded.c_str(), 0755);
    const std::string canary = (guarded / "canary").string();
    write_file(env_file, "ZOR_STANDIN_VIA_SUDO=1\n", 0644);
    write_file(sudoers,
               "Defaults env_reset, !lecture, !syslog, !mail_badpass\n"
               "Defaults secure_path=\"" +
                   bin +
                   "\"\n"
                   "Defaults env_keep += \"ZOR_STANDIN_RECORD ZOR_STANDIN_SCRIPT\"\n"
                   "Defaults env_file=\"" +
                   env_file.string() +
                   "\"\n"
                   "nobody ALL=(root) NOPASSWD: " +
                   bin + "/zor-sys, " + bin + "/zor-app, " + bin + "/zor-target\n",
               0440);
    // The directory of the session holds the script and the record; nobody only passes it on.
    chmod(tools.directory().c_str(), 0755);

    static char web[] = "web";
    static char core[] = "0 3";
    const std::string attempt = "x;sudo touch " + canary + " $(sudo touch " + canary + ")";
    const std::vector<Call> calls = {
        {"start",
         [] {
             zor_sys_handle h{0, const_cast<char *>("a b\tc")};
             return zor_sys_start(&h);
         },
         {{"zor-sys", "start", "-n", "a b\tc"}}},
        {"save",
         [] {
             zor_sys_handle h{0, web};
             return zor_sys_save_snapshot(&h, "");
         },
         {{"zor-sys", "save", "-n", "web", "-t", ""}}},
        {"limit",
         [] {
             zor_sys_handle h{0, web};
             zor_sys_resource r{};
             r.type = 2;
             r.value.core = core;
             return zor_sys_set_resource(&h, nullptr, nullptr, r);
         },
         {{"zor-sys", "limit", "--core", "0 3", "-n", "web"}}},
        {"create",
         [&attempt] { return zor_sys_destroy_container(attempt.c_str()); },
         {{"zor-sys", "destroy", "-n", attempt}}},
        {"immigrate",
         [&attempt] { return zor_sys_immigration_start(attempt.c_str(), 7); },
         {{"zor-target", "-n", attempt, "-p", "7"}}},
        {"app start",
         [] {
             zor_app_handle h{0, const_cast<char *>("")};
             return zor_app_start(&h);
         },
         {{"zor-app", "start", "-n", ""}}},
        {"app snapshot",
         [&attempt] {
             zor_app_handle h{0, web};
             return zor_app_load_snapshot(&h, attempt.c_str());
         },
         {{"zor-app", "load", "-n", "web", "-t", attempt}}},
        {"app base",
         [] { return zor_app_remove_base("b 1\t&"); },
         {{"zor-app", "remove", "--base", "b 1\t&"}}},
        {"open",
         [] {
             zor_sys_handle *handle = zor_sys_open("a;b c");
             const int code = handle != nullptr ? 0 : 1;
             (void)zor_sys_close(handle);
             return code;
         },
         {{"zor-sys", "search", "-n", "a;b c"}, {"zor-sys", "info", "-n", "a;b c"}}},
        {"app open",
         [] {
             zor_app_handle *handle = zor_app_open("");
             const int code = handle != nullptr ? 0 : 1;
             (void)zor_app_close(handle);
             return code;
         },
         {{"zor-app", "search", "-n", ""}, {"zor-app", "info", "-n", ""}}},
    };
    tools.clear_record();
    const int failed = as_nobody_with_sudoers(sudoers, "/usr/bin:/bin:" + bin, calls);
    ASSERT_EQ(failed, 0) << "calls that failed as nobody (100+: the namespace or user change)";

    std::vector<Words> expected;
    for (const Call &call : calls) {
        expected.insert(expected.end(), call.expected.begin(), call.expected.end());
    }
    const std::vector<standin::Invocation> received = tools.invocations();
    ASSERT_EQ(received.size(), expected.size());
    for (std::size_t index = 0; index < expected.size(); ++index) {
        Words got{received[index].program};
        got.insert(got.end(), received[index].args.begin(), received[index].args.end());
        EXPECT_EQ(got, expected[index]);
        EXPECT_TRUE(received[index].via_sudo) << index;
    }
    EXPECT_FALSE(fs::exists(canary));

    // The sudoers lets nobody run nothing else as root.
    tools.clear_record();
    const std::string touch = "sudo -n /usr/bin/touch " + canary + " 2>/dev/null";
    const std::vector<Call> refused = {
        {"other command", [&touch] { return std::system(touch.c_str()) != 0 ? 0 : 1; }, {}}};
    EXPECT_EQ(as_nobody_with_sudoers(sudoers, "/usr/bin:/bin:" + bin, refused), 0);
    EXPECT_FALSE(fs::exists(canary));
    // The machine's own sudoers was never touched: the bind lived in the child's namespace.
    struct stat machine {};
    struct stat own {};
    ASSERT_EQ(stat("/etc/sudoers", &machine), 0);
    ASSERT_EQ(stat(sudoers.c_str(), &own), 0);
    EXPECT_NE(machine.st_ino, own.st_ino);
}

}  // namespace
