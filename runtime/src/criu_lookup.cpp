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
// Where the zor-runtime-criu package installs CRIU, from the folder of this program.
constexpr char kPackagedFromProgram[] = "../lib/zor-runtime/criu";
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

// The version `criu --version` prints ("Version: 4.1.1"), as numbers; empty when it says none.
std::vector<long> version_of(const std::string &path) {
    const ProgramResult result = run_program({path, "--version"});
    std::istringstream lines(result.out);
    std::vector<long> numbers;
    for (std::string line; result.status == 0 && std::getline(lines, line);) {
        if (line.rfind("Version:", 0) != 0) {
            continue;
        }
        std::istringstream words(line.substr(8));
        long number = 0;
        while (words >> number) {
            numbers.push_back(number);
            if (words.peek() != '.') {
                break;
            }
            words.ignore();
        }
        break;
    }
    return numbers;
}

// Appends path unless it is empty or already there.
void add_once(std::vector<std::string> &paths, const std::string &path) {
    bool seen = path.empty();
    for (const std::string &earlier : paths) {
        seen = seen || earlier == path;
    }
    if (!seen) {
        paths.push_back(path);
    }
}

}  // namespace

std::string packaged_criu() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    return (program.parent_path() / kPackagedFromProgram).lexically_normal().string();
}

std::vector<std::string> criu_candidates(const std::string &packaged,
                                         const std::vector<std::string> &distribution,
                                         const std::string &built) {
    std::vector<std::string> candidates;
    const bool have_packaged = !packaged.empty() && access(packaged.c_str(), X_OK) == 0;
    if (have_packaged) {
        const std::vector<long> ours = version_of(packaged);
        for (const std::string &path : distribution) {
            if (!path.empty() && access(path.c_str(), X_OK) == 0 && !ours.empty() &&
                version_of(path) > ours) {
                add_once(candidates, path);
            }
        }
    }
    add_once(candidates, packaged);
    for (const std::string &path : distribution) {
        add_once(candidates, path);
    }
    add_once(candidates, built);
    return candidates;
}

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
        candidates =
            criu_candidates(packaged_criu(), {on_path, "/usr/sbin/criu"}, ZOR_RUNTIME_BUILT_CRIU);
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
                      "); install zor-runtime-criu or CRIU 4.1 or later, or build one with "
                      "scripts/build-criu.sh and name it in " +
                      kCriuVariable);
}

}  // namespace zor
