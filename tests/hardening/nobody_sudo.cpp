#include "nobody_sudo.hpp"

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace hardening {

namespace {

namespace fs = std::filesystem;

constexpr char kSudo[] = "/usr/bin/sudo";
constexpr int kNamespaceFailed = 100;
constexpr int kUserChangeFailed = 101;
constexpr int kMostFailures = 99;

void write_file(const fs::path &path, const std::string &text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

}  // namespace

NobodySudo::NobodySudo(const standin::Session &tools)
    : sudoers_(tools.directory() / "sudoers"),
      canary_((tools.directory() / "guarded" / "canary").string()),
      tools_directory_((tools.directory() / "bin").string()) {
    // The build tree may lie where nobody cannot go: the tools nobody runs are copied out.
    const std::string &bin = tools_directory_;
    fs::create_directories(bin);
    fs::copy_file(fs::path(standin::Session::tools_directory()) / "zor-standin",
                  fs::path(bin) / "zor-standin");
    for (const char *name : {"zor-sys", "zor-app", "zor-target"}) {
        fs::create_symlink("zor-standin", fs::path(bin) / name);
    }
    chmod(bin.c_str(), 0755);
    chmod((fs::path(bin) / "zor-standin").c_str(), 0755);
    const fs::path guarded = tools.directory() / "guarded";
    fs::create_directories(guarded);
    chmod(guarded.c_str(), 0755);
    // sudo resets the environment: the marker tells the stand-ins that they came through it,
    // and the script and record variables are kept so that they answer and record as usual.
    const fs::path env_file = tools.directory() / "sudo-environment";
    write_file(env_file, "ZOR_STANDIN_VIA_SUDO=1\n", 0644);
    write_file(sudoers_,
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
    chmod(tools.directory().c_str(), 0755);
}

bool NobodySudo::available() {
    if (access(kSudo, X_OK) == 0) {
        return true;
    }
    return std::system("apt-get install -y -qq sudo > /dev/null 2>&1") == 0 &&
           access(kSudo, X_OK) == 0;
}

int NobodySudo::run(const std::string &path, const std::function<int()> &body) const {
    const pid_t child = fork();
    if (child == 0) {
        const passwd *nobody = getpwnam("nobody");
        if (nobody == nullptr || unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(sudoers_.c_str(), "/etc/sudoers", nullptr, MS_BIND, nullptr) != 0) {
            _exit(kNamespaceFailed);
        }
        // Giving root back must fail: the body runs with no way to it but sudo.
        if (setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
            setuid(nobody->pw_uid) != 0 || setuid(0) == 0 || chdir("/") != 0) {
            _exit(kUserChangeFailed);
        }
        setenv("PATH", path.c_str(), 1);
        setenv("HOME", "/nonexistent", 1);
        _exit(std::min(body(), kMostFailures));
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace hardening
