// Both libraries through Debian's real sudo: in a private mount namespace, a sudoers file of
// the test's own is bound over the machine's; it lets the unprivileged user nobody run the
// three stand-in tools, and nothing else, as root without a password. As nobody, operations
// of both libraries reach the tools through it with every caller text as one word, and texts
// that try to run more as root leave a canary in a directory only root may write untouched.
#include "nobody_sudo.hpp"
#include "standin_harness.hpp"

#include <zorapp.h>
#include <zorsys.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

struct Call {
    const char *label;
    std::function<int()> run;
    std::vector<Words> expected;  // each tool run: the tool and its words, as root via sudo
};

// The count of calls that did not return 0, as nobody through the real sudo.
int failures_as_nobody(const hardening::NobodySudo &sudo, const std::string &path,
                       const std::vector<Call> &calls) {
    return sudo.run(path, [&calls] {
        int failed = 0;
        for (const Call &call : calls) {
            failed += call.run() != 0;
        }
        return failed;
    });
}

TEST(RealSudo, BothLibrariesRunTheToolsAsRootWithEveryTextOneWord) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to set up the private mount namespace";
    }
    ASSERT_TRUE(hardening::NobodySudo::available())
        << "Debian's sudo is missing and could not be installed";
    standin::Session tools;
    const hardening::NobodySudo sudo(tools);
    const std::string &bin = sudo.tools_directory();
    const std::string &canary = sudo.canary();

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
    const int failed = failures_as_nobody(sudo, "/usr/bin:/bin:" + bin, calls);
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
    EXPECT_EQ(failures_as_nobody(sudo, "/usr/bin:/bin:" + bin, refused), 0);
    EXPECT_FALSE(fs::exists(canary));
    // The machine's own sudoers was never touched: the bind lived in the child's namespace.
    struct stat machine {};
    struct stat own {};
    ASSERT_EQ(stat("/etc/sudoers", &machine), 0);
    ASSERT_EQ(stat(sudo.sudoers().c_str(), &own), 0);
    EXPECT_NE(machine.st_ino, own.st_ino);
}

}  // namespace
