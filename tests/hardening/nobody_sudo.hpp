// Debian's real sudo for the unprivileged user nobody: a sudoers file of the test's own lets
// nobody run the three stand-in tools of a session, and nothing else, as root without a
// password. It is bound over the machine's /etc/sudoers only inside a child's private mount
// namespace, so the machine's own file is never changed. A canary path in a directory that
// only root may write shows whether anything else ever ran as root. The tools run from a copy
// in the session's directory, which nobody can reach wherever the build tree lies (a clone
// under a home that only root may enter).
#pragma once

#include "standin_harness.hpp"

#include <filesystem>
#include <functional>
#include <string>

namespace hardening {

class NobodySudo {
public:
    // Writes the sudoers, its environment file, the guarded directory and the copy of the
    // stand-in tools into the session's directory, and opens that directory to nobody (the
    // tools' script and record live there).
    explicit NobodySudo(const standin::Session &tools);

    // Whether /usr/bin/sudo is there, installing Debian's package when it is missing.
    static bool available();

    // Where only root could write; nothing may ever make this file.
    const std::string &canary() const { return canary_; }
    const std::filesystem::path &sudoers() const { return sudoers_; }
    // The folder of the copied zor-sys, zor-app and zor-target, for nobody's PATH.
    const std::string &tools_directory() const { return tools_directory_; }

    // Runs body as nobody, with PATH as given, in a child whose mount namespace has the
    // sudoers bound over the machine's. The child's exit status: body's result (kept below
    // 100), 100 when the namespace could not be made, 101 when the user change failed, or
    // 128 plus the signal that ended it.
    int run(const std::string &path, const std::function<int()> &body) const;

private:
    std::filesystem::path sudoers_;
    std::string canary_;
    std::string tools_directory_;
};

}  // namespace hardening
