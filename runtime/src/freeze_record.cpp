// Freeze records: one small file per frozen container, replaced whole by rename.
#include "freeze_record.hpp"

#include "checkpoints.hpp"
#include "file_replace.hpp"
#include "filesystems.hpp"
#include "refusal.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

namespace zor {

namespace {

constexpr char kRecordName[] = "/frozen-by";
constexpr char kHandedOver[] = "handed-over";
constexpr char kCommitted[] = "committed";

// Field 22 of /proc/PID/stat, counted after the command name, which may hold blanks and
// parentheses itself.
unsigned long long start_time(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) {
        return 0;
    }
    std::stringstream fields(text.substr(end + 1));
    std::string field;
    // After the name: state (3) ... starttime (22).
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number == 22) {
            return std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return 0;
}

void write_record(const std::string &path, const std::string &text) {
    const int error = replace_file(path, text, 0600);
    if (error != 0) {
        throw Refusal(kStateFailure, "cannot write " + path, error);
    }
}

}  // namespace

ProcessIdentity this_process() {
    ProcessIdentity process;
    process.pid = getpid();
    process.start = start_time(process.pid);
    return process;
}

bool is_alive(const ProcessIdentity &process) {
    return process.pid > 0 && start_time(process.pid) == process.start && process.start != 0;
}

FreezeRecord::FreezeRecord(const std::string &container_directory)
    : path_(container_directory + kRecordName) {
    const ProcessIdentity self = this_process();
    write_record(path_, std::to_string(self.pid) + " " + std::to_string(self.start) + "\n");
}

void FreezeRecord::mark_handed_over(const std::string &container_directory) {
    const ProcessIdentity self = this_process();
    write_record(
        container_directory + kRecordName,
        std::to_string(self.pid) + " " + std::to_string(self.start) + " " + kHandedOver + "\n");
}

void FreezeRecord::mark_committed(const std::string &container_directory) {
    const ProcessIdentity self = this_process();
    write_record(
        container_directory + kRecordName,
        std::to_string(self.pid) + " " + std::to_string(self.start) + " " + kCommitted + "\n");
}

void FreezeRecord::release() const {
    std::remove(path_.c_str());
}

FrozenContainer::FrozenContainer(const std::string &container_directory, const Runc &runc,
                                 std::string id)
    : record_(container_directory), runc_(runc), id_(std::move(id)) {
    runc_.pause(id_);
}

FrozenContainer::~FrozenContainer() {
    if (thawed_) {
        return;
    }
    try {
        thaw();
    } catch (const Refusal &) {
        // The record stays: the next command thaws the container.
    }
}

void FrozenContainer::thaw() const {
    thawed_ = true;
    if (runc_.state(id_).status == "paused") {
        runc_.resume(id_);
    }
    record_.release();
}

void FreezeRecord::release_of(const std::string &container_directory) {
    std::remove((container_directory + kRecordName).c_str());
}

bool has_freeze_record(const std::string &container_directory) {
    return access((container_directory + kRecordName).c_str(), F_OK) == 0;
}

Thaw settle_freeze(const std::string &container_directory, const Runc &runc,
                   const std::string &id) {
    const std::string path = container_directory + kRecordName;
    std::ifstream in(path);
    if (!in) {
        return Thaw::kNone;
    }
    ProcessIdentity holder;
    std::string mark;
    in >> holder.pid >> holder.start >> mark;
    if (is_alive(holder)) {
        return Thaw::kNone;
    }
    Thaw done = Thaw::kNone;
    if (mark == kCommitted) {
        // The caller removes the container, record and all.
        return Thaw::kCommitted;
    }
    if (mark == kHandedOver) {
        done = Thaw::kHandedOver;
    } else if (runc.state(id).status == "paused") {
        try {
            runc.resume(id);
        } catch (const Refusal &) {
            // A command that reads only holds the lock shared: another may have thawed it.
            if (runc.state(id).status == "paused") {
                throw;
            }
        }
        done = Thaw::kThawed;
    }
    std::remove(path.c_str());
    return done;
}

bool has_any_freeze_record(const Command &command) {
    // The records' folders without the state: this is asked before the lock is taken.
    const std::string containers =
        command.host.layout().containers_directory(command.call.domain());
    std::error_code error;
    const std::filesystem::directory_iterator folders(containers, error);
    return std::any_of(begin(folders), end(folders),
                       [](const auto &entry) { return has_freeze_record(entry.path().string()); });
}

void settle_abandoned_freezes(Command &command) {
    const bool system = command.is_system();
    std::vector<std::string> sent;
    for (auto &entry : command.domain().containers) {
        const ContainerRef reference = command.reference(entry.first);
        const std::string directory = reference.directory();
        if (!has_freeze_record(directory)) {
            continue;
        }
        const Thaw done = settle_freeze(directory, command.host.runc(), reference.runc_id());
        if (done == Thaw::kCommitted) {
            sent.push_back(entry.first);
            continue;
        }
        if (system && !has_freeze_record(directory)) {
            clear_outgoing_picture(reference);
            recover_killed_restart(command, entry.second);
        }
        if (done == Thaw::kHandedOver) {
            std::fprintf(stderr,
                         "%s: container '%s' stays suspended: a migrate that was killed had "
                         "handed it over, so it may run on the target; destroy it here once it "
                         "does\n",
                         system ? ZOR_TOOL_SYS : ZOR_TOOL_APP, entry.first.c_str());
        }
    }
    // The receiver has them: what the killed migrates had still to remove goes now.
    for (const std::string &name : sent) {
        remove_sent_container(command, command.named_container(name));
    }
    // A migrate killed after it dropped the record of a container it had sent, but before
    // its folder went, left the folder alone with its "committed" record.
    const std::string containers =
        command.host.layout().containers_directory(command.call.domain());
    std::error_code error;
    for (const auto &folder : std::filesystem::directory_iterator(containers, error)) {
        const std::string name = folder.path().filename().string();
        const std::string directory = folder.path().string();
        if (command.domain().containers.count(name) == 0 && has_freeze_record(directory) &&
            settle_freeze(directory, command.host.runc(), command.reference(name).runc_id()) ==
                Thaw::kCommitted) {
            remove_container_directory(directory);
        }
    }
}

}  // namespace zor
