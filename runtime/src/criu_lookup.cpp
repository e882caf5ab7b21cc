// Finding a CRIU that works on this kernel, and remembering that it did.
#include "criu_lookup.hpp"

#include "program_run.hpp"
#include "state_guard.hpp"
#include "refusal.hpp"

#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zor {

namespace {

constexpr char kCheckFile[] = "criu-checks";
constexpr char kKdatTemporary[] = "/run/criu.kdat.tmp";

// What identifies one binary on one kernel: a rebuilt CRIU or a new kernel is checked anew.
std::string check_key(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return {};
    }
    utsname kernel{};
    uname(&kernel);
    return path + "\t" + std::to_string(info.st_size) + "\t" + std::to_string(info.st_mtim.tv_sec) +
           "." + std::to_string(info.st_mtim.tv_nsec) + "\t" + kernel.release;
}

// True when a check of key has passed before. Only passes are kept: a check that failed may
// pass where the devices it looks for are present (a mount namespace with a /dev of its own
// may lack /dev/pts or /dev/net/tun), so it runs again next time.
bool passed_before(const std::string &state_directory, const std::string &key) {
    std::string text;
    read_state_file(state_directory, kCheckFile, text);
    std::stringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line == key) {
            return true;
        }
    }
    return false;
}

// Adds a passed check to the file, replaced whole so that a reader never meets half a line;
// the callers hold the state directory's lock.
void keep_pass(const std::string &state_directory, const std::string &key) {
    std::string text;
    read_state_file(state_directory, kCheckFile, text);
    try {
        write_state_file(state_directory, kCheckFile, text + key + "\n");
    } catch (const Refusal &) {
        // Only a saving: the check runs again next time.
    }
}

// True when criu passes `criu check`; why not, otherwise.
bool works(const std::string &state_directory, const std::string &path, std::string &why) {
    const std::string key = check_key(path);
    if (key.empty() || access(path.c_str(), X_OK) != 0) {
        why = path + " is missing";
        return false;
    }
    if (passed_before(state_directory, key)) {
        return true;
    }
    const ProgramResult result = run_program({path, "check"});
    clear_criu_traces();
    if (result.status < 0 || result.status >= 126) {
        why = path + " cannot run";
        return false;
    }
    if (result.status != 0) {
        why = path + " fails criu check";
        return false;
    }
    keep_pass(state_directory, key);
    return true;
}

}  // namespace

void clear_criu_traces() {
    struct stat info {};
    if (stat(kKdatTemporary, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
        unlink(kKdatTemporary);
    }
}

std::string find_criu(const std::string &state_directory) {
    if (geteuid() != 0) {
        throw Refusal(kNeedsCheckpointer,
                      "checkpoints need root: CRIU dumps and restores processes only as root");
    }
    std::vector<std::string> candidates;
    // The tools run one thread: nothing sets the environment meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *named = std::getenv(kCriuVariable);
    const bool explicit_path = named != nullptr && named[0] != '\0';
    std::vector<std::string> failures;
    if (explicit_path) {
        const std::string found = find_on_path(named);
        if (found.empty()) {
            failures.push_back(std::string(kCriuVariable) + "=" + named + " is missing");
        } else {
            candidates.push_back(found);
        }
    } else {
        const std::string on_path = find_on_path("criu");
        if (on_path.empty()) {
            failures.emplace_back("no criu on PATH");
        }
        for (const std::string &path :
             {on_path, std::string("/usr/sbin/criu"), std::string(ZOR_RUNTIME_BUILT_CRIU)}) {
            bool seen = path.empty();
            for (const std::string &earlier : candidates) {
                seen = seen || earlier == path;
            }
            if (!seen) {
                candidates.push_back(path);
            }
        }
    }
    for (const std::string &path : candidates) {
        std::string why;
        if (works(state_directory, path, why)) {
            // runc resolves a relative path against the bundle.
            std::error_code error;
            return std::filesystem::absolute(path, error).string();
        }
        failures.push_back(explicit_path ? std::string(kCriuVariable) + "=" + why : why);
    }
    std::string reasons;
    for (const std::string &failure : failures) {
        reasons += (reasons.empty() ? "" : ", ") + failure;
    }
    throw Refusal(kNeedsCheckpointer,
                  "no working CRIU (" + reasons +
                      "); install CRIU 4.1 or later, or build one with scripts/build-criu.sh "
                      "and name it in " +
                      kCriuVariable);
}

}  // namespace zor
