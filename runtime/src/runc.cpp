// runc's command line and its JSON answers.
#include "runc.hpp"

#include "program_run.hpp"
#include "refusal.hpp"

#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/mount.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <utility>

namespace zor {

namespace {

// runc's last message, as one line for the refusal.
std::string last_line(const std::string &text) {
    std::string line;
    std::stringstream stream(text);
    std::string candidate;
    while (std::getline(stream, candidate)) {
        if (!candidate.empty()) {
            line = candidate;
        }
    }
    return line;
}

// A log written with --log-format json holds one object per line; the last "msg" is the
// reason runc gives.
std::string log_reason(const std::string &log) {
    std::ifstream in(log);
    std::string line;
    std::string reason;
    while (std::getline(in, line)) {
        const auto entry = nlohmann::json::parse(line, nullptr, false);
        if (entry.is_object() && entry.value("level", "") == "error") {
            reason = entry.value("msg", line);
        }
    }
    return reason;
}

// CRIU's log names what failed in the last line that says "Error" before the one that says
// "FAILED" (later errors are of the clean-up, earlier ones often harmless).
std::string criu_log_reason(const std::string &log) {
    std::ifstream in(log);
    std::string line;
    std::string reason;
    while (std::getline(in, line)) {
        if (line.find("FAILED") != std::string::npos && !reason.empty()) {
            break;
        }
        if (line.find("Error") != std::string::npos) {
            reason = line;
        }
    }
    const std::size_t at = reason.find("Error");
    return at == std::string::npos ? reason : reason.substr(at);
}

}  // namespace

std::string runc_id(bool system, const std::string &name) {
    std::string id = system ? "s-" : "a-";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
            (byte >= '0' && byte <= '9') || c == '_' || c == '.' || c == '-') {
            id += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "+%02X", byte);
            id += escaped;
        }
    }
    return id;
}

Runc::Runc(std::string root) : root_(std::move(root)) {
    // The tools run one thread: nothing sets the environment meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *named = std::getenv(kRuncVariable);
    if (named != nullptr && named[0] != '\0') {
        program_ = find_on_path(named);
    } else {
        program_ = find_on_path("runc");
        if (program_.empty()) {
            program_ = find_on_path("/usr/sbin/runc");
        }
    }
    if (program_.empty()) {
        throw Refusal(kHostFailure,
                      "runc is not installed (Debian package runc); no container "
                      "can run on this host");
    }
}

void Runc::run_checked(const std::vector<std::string> &words, const char *what) const {
    std::vector<std::string> argv{program_, "--root", root_};
    argv.insert(argv.end(), words.begin(), words.end());
    const ProgramResult result = run_program(argv);
    if (result.status != 0) {
        throw Refusal(kHostFailure, std::string("runc ") + what + " failed: " +
                                        (result.status < 0 ? std::string("cannot run runc")
                                                           : last_line(result.err)));
    }
}

namespace {

// runc 1.1 keeps an instance as <root>/<id>/state.json, written whole (by rename), and tells
// its status from it the way read_state_file does: stopped when the init process (number and
// start time) is gone, created while exec.fifo waits for start, paused when the freezer holds
// the cgroup, else running. Reading the file spares a runc process (some 8 ms) per query; a
// file that cannot be read falls back to runc state.
bool read_state_file(const std::string &directory, RuncInstance &instance) {
    std::ifstream in(directory + "/state.json");
    if (!in) {
        return false;
    }
    const auto parsed = nlohmann::json::parse(in, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("init_process_pid")) {
        return false;
    }
    instance.exists = true;
    const int pid = parsed.value("init_process_pid", 0);
    const unsigned long long start = parsed.value("init_process_start", 0ULL);
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(stat_file, stat);
    const std::size_t close = stat.rfind(')');
    std::stringstream fields(close == std::string::npos ? std::string() : stat.substr(close + 2));
    std::string field;
    char state = 'X';
    unsigned long long started = 0;
    for (int index = 3; fields >> field && index <= 22; ++index) {
        if (index == 3) {
            state = field[0];
        } else if (index == 22) {
            started = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    if (pid <= 0 || state == 'Z' || state == 'X' || started != start) {
        instance.status = "stopped";
        return true;
    }
    instance.pid = pid;
    std::error_code error;
    if (std::filesystem::exists(directory + "/exec.fifo", error)) {
        instance.status = "created";
        return true;
    }
    const auto paths = parsed.value("cgroup_paths", std::map<std::string, std::string>());
    std::string frozen;
    const auto freezer = paths.find("freezer");
    const auto unified = paths.find("");
    if (freezer != paths.end()) {
        std::ifstream(freezer->second + "/freezer.state") >> frozen;
    } else if (unified != paths.end()) {
        std::ifstream(unified->second + "/cgroup.freeze") >> frozen;
    }
    instance.status =
        frozen == "FROZEN" || frozen == "FREEZING" || frozen == "1" ? "paused" : "running";
    return true;
}

}  // namespace

RuncInstance Runc::state(const std::string &id) const {
    RuncInstance instance;
    std::error_code error;
    const std::string directory = root_ + "/" + id;
    if (!std::filesystem::exists(directory, error)) {
        return instance;
    }
    if (read_state_file(directory, instance)) {
        return instance;
    }
    instance = RuncInstance{};
    instance.partial = true;
    const ProgramResult result = run_program({program_, "--root", root_, "state", id});
    if (result.status != 0) {
        if (result.status < 0 || result.status >= 126) {
            throw Refusal(kHostFailure, "cannot run " + program_);
        }
        return instance;
    }
    instance.partial = false;
    const auto parsed = nlohmann::json::parse(result.out, nullptr, false);
    if (!parsed.is_object()) {
        throw Refusal(kHostFailure, "runc state gave no JSON for " + id);
    }
    instance.exists = true;
    instance.status = parsed.value("status", "");
    instance.pid = parsed.value("pid", 0);
    if (instance.status == "stopped") {
        instance.pid = 0;
    }
    return instance;
}

void Runc::create(const std::string &id, const std::string &bundle, const std::string &log) const {
    create_or_run("create", id, bundle, log);
}

void Runc::run(const std::string &id, const std::string &bundle, const std::string &log) const {
    create_or_run("run", id, bundle, log);
}

void Runc::create_or_run(const char *how, const std::string &id, const std::string &bundle,
                         const std::string &log) const {
    std::remove(log.c_str());
    // Detached: the main process keeps the standard streams runc create had, so they must be
    // /dev/null and nothing the caller waits on.
    std::vector<std::string> argv{program_, "--root",       root_,  "--log",
                                  log,      "--log-format", "json", how};
    if (std::string(how) == "run") {
        argv.emplace_back("--detach");
    }
    argv.insert(argv.end(), {"--bundle", bundle, id});
    const ProgramResult result = run_program(argv, true);
    if (result.status != 0) {
        const std::string reason = log_reason(log);
        throw Refusal(
            kHostFailure,
            "runc cannot create the container: " +
                (reason.empty() ? "exit status " + std::to_string(result.status) : reason));
    }
}

void Runc::start(const std::string &id) const {
    run_checked({"start", id}, "start");
}

bool Runc::kill(const std::string &id, int signal) const {
    // runc kill signals the init process, which the state file names together with its start
    // time (so a number the kernel has given to another process since is never signalled);
    // doing it here spares a runc process.
    const RuncInstance instance = state(id);
    if (instance.pid > 0 && (instance.status == "running" || instance.status == "created")) {
        return ::kill(instance.pid, signal) == 0;
    }
    return run_program({program_, "--root", root_, "kill", id, std::to_string(signal)}).status == 0;
}

void Runc::remove(const std::string &id, bool force) const {
    if (state(id).partial) {
        // runc does not know the instance, and will not create another of that id. A restore
        // that was killed leaves the root filesystem bound at criu-root in it.
        const std::string criu_root = root_ + "/" + id + "/criu-root";
        while (umount2(criu_root.c_str(), MNT_DETACH) == 0) {
        }
        std::error_code error;
        std::filesystem::remove_all(root_ + "/" + id, error);
        return;
    }
    std::vector<std::string> argv{program_, "--root", root_, "delete"};
    if (force) {
        argv.emplace_back("--force");
    }
    argv.push_back(id);
    const ProgramResult result = run_program(argv);
    if (result.status != 0 && state(id).exists) {
        throw Refusal(kHostFailure, "runc delete failed: " + last_line(result.err));
    }
}

void Runc::pause(const std::string &id) const {
    run_checked({"pause", id}, "pause");
}

void Runc::resume(const std::string &id) const {
    run_checked({"resume", id}, "resume");
}

// --tcp-established and --file-locks are harmless where the programs hold no connection or
// lock, and without them a dump of programs that do fails.
void Runc::checkpoint(const std::string &id, const std::string &criu, const std::string &images,
                      const std::string &work) const {
    const ProgramResult result = run_program(
        {program_, "--root", root_, "--criu", criu, "checkpoint", "--leave-running",
         "--tcp-established", "--file-locks", "--image-path", images, "--work-path", work, id});
    if (result.status != 0) {
        const std::string reason = criu_log_reason(work + "/dump.log");
        throw Refusal(kHostFailure, "the checkpoint failed: " +
                                        (reason.empty() ? last_line(result.err) : reason));
    }
}

void Runc::restore(const std::string &id, const std::string &criu, const std::string &bundle,
                   const std::string &images, const std::string &work) const {
    const std::string log = work + "/runc.log";
    std::remove(log.c_str());
    // Detached: the restored programs keep the standard streams runc had.
    const ProgramResult result = run_program({program_,
                                              "--root",
                                              root_,
                                              "--log",
                                              log,
                                              "--log-format",
                                              "json",
                                              "--criu",
                                              criu,
                                              "restore",
                                              "--detach",
                                              "--tcp-established",
                                              "--file-locks",
                                              "--image-path",
                                              images,
                                              "--work-path",
                                              work,
                                              "--bundle",
                                              bundle,
                                              id},
                                             true);
    if (result.status != 0) {
        std::string reason = criu_log_reason(work + "/restore.log");
        if (reason.empty()) {
            reason = log_reason(log);
        }
        throw Refusal(
            kHostFailure,
            "the restore failed: " +
                (reason.empty() ? "runc exit status " + std::to_string(result.status) : reason));
    }
}

std::vector<std::string> Runc::list() const {
    const ProgramResult result =
        run_program({program_, "--root", root_, "list", "--format", "json"});
    if (result.status != 0) {
        throw Refusal(kHostFailure, "runc list failed: " + last_line(result.err));
    }
    std::vector<std::string> ids;
    const auto parsed = nlohmann::json::parse(result.out, nullptr, false);
    if (parsed.is_array()) {
        for (const auto &entry : parsed) {
            ids.push_back(entry.value("id", ""));
        }
    }
    return ids;
}

}  // namespace zor
