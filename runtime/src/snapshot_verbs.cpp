// Snapshots (a container's root-filesystem changes with its configuration and limits), base
// images made from them, and the listings that show them in the forms the client libraries
// read, for snapshots and checkpoints alike.
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

#include <algorithm>
#include <ctime>

namespace zor {

namespace {

std::string time_text(long long seconds) {
    const auto moment = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&moment, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

Snapshot &named_snapshot(Container &container, const std::string &name) {
    Snapshot *snapshot = find_record(container.snapshots, name);
    if (snapshot == nullptr) {
        throw Refusal(kNotFound,
                      "container '" + container.name + "' has no snapshot '" + name + "'");
    }
    return *snapshot;
}

// The table forms put a header first; the libraries skip lines up to the first that holds
// the marker, so no line before it may show a name (a name may hold the marker itself).
void list_records(Command &command, bool snapshots) {
    const Container &container = command.named_container();
    const std::vector<Snapshot> &records = snapshots ? container.snapshots : container.checkpoints;
    std::string &out = command.out;
    if (command.is_system() && container.type == ZOR_SYS_TABLE_TYPE) {
        out += ZOR_SYS_TABLE_HEADER "\n";
        for (const Snapshot &snapshot : records) {
            out += std::to_string(snapshot.id) + " " + snapshot.name + " " +
                   time_text(snapshot.created) + "\n";
        }
    } else if (!command.is_system() && container.type == ZOR_APP_TABLE_TYPE) {
        out += ZOR_APP_TABLE_HEADER "\n";
        for (const Snapshot &snapshot : records) {
            out += snapshot.name + "\t" + time_text(snapshot.created) + "\n";
        }
    } else {
        for (const Snapshot &snapshot : records) {
            out += snapshot.name + "\n";
        }
    }
}

}  // namespace

void run_list_snapshots(Command &command) {
    list_records(command, true);
}

void run_list_checkpoints(Command &command) {
    list_records(command, false);
}

void run_list_bases(Command &command) {
    command.options();
    for (const Base &base : command.domain().bases) {
        command.out += base.name + "\n";
    }
}

// The container is frozen while its files are copied, so that the copy is of one moment.
void run_save(Command &command) {
    const Options &options = command.options();
    Container &container = command.named_container();
    const std::string &name = checked_name(options.required(ZOR_OPTION_TAG), "snapshot");
    if (find_record(container.snapshots, name) != nullptr) {
        throw Refusal(kExists,
                      "container '" + container.name + "' has a snapshot '" + name + "' already");
    }
    const ContainerRef reference = command.reference(container.name);
    const Runc &runc = command.host.runc();
    const std::string id = reference.runc_id();
    const std::string directory = reference.directory();
    if (reference.status() == 1) {
        // Thawed again on scope exit, whatever happens (freeze_record.hpp).
        const FrozenContainer frozen(directory, runc, id);
        replace_with_copy(changes_directory(directory, container.overlay),
                          reference.snapshot_directory(name), scratch_area(directory));
        frozen.thaw();
    } else {
        replace_with_copy(changes_directory(directory, container.overlay),
                          reference.snapshot_directory(name), scratch_area(directory));
    }
    container.snapshots.push_back(record_now(command, container, name));
    command.changed = true;
}

void run_load(Command &command) {
    const Options &options = command.options();
    Container &container = command.named_container();
    const Snapshot &snapshot = named_snapshot(container, options.required(ZOR_OPTION_TAG));
    const ContainerRef reference = command.reference(container.name);
    if (reference.status() != 0) {
        throw Refusal(kWrongState, "container '" + container.name +
                                       "' is running; stop it before loading a snapshot");
    }
    restore_changes(reference.directory(), reference.base_image(container), container.overlay,
                    reference.snapshot_directory(snapshot.name));
    container.limits = snapshot.limits;
    container.shared = snapshot.shared;
    command.changed = true;
}

void run_commit(Command &command) {
    const Options &options = command.options();
    Container &container = command.named_container();
    const Snapshot &snapshot = named_snapshot(container, options.required(ZOR_OPTION_TAG));
    const std::string &base_name = checked_name(options.required(ZOR_OPTION_BASE), "base");
    auto &bases = command.domain().bases;
    if (is_builtin_base(base_name) ||
        std::any_of(bases.begin(), bases.end(),
                    [&](const Base &base) { return base.name == base_name; })) {
        throw Refusal(kExists, "base image '" + base_name + "' exists already");
    }
    const ContainerRef reference = command.reference(container.name);
    const std::string image =
        command.host.layout().image_directory(command.call.domain(), base_name);
    remove_tree(image);
    make_image(image + "/rootfs", reference.base_image(container),
               reference.snapshot_directory(snapshot.name), container.overlay);
    bases.push_back(Base{base_name, static_cast<long long>(std::time(nullptr))});
    command.changed = true;
}

void run_remove_base(Command &command) {
    const std::string &name = command.options().required(ZOR_OPTION_BASE_IMAGE);
    auto &bases = command.domain().bases;
    const auto found = std::find_if(bases.begin(), bases.end(),
                                    [&](const Base &base) { return base.name == name; });
    if (found == bases.end()) {
        throw Refusal(kNotFound, "no base image '" + name + "'");
    }
    for (const auto &entry : command.domain().containers) {
        if (!entry.second.base_is_builtin && entry.second.base == name) {
            throw Refusal(kWrongState,
                          "base image '" + name + "' is used by container '" + entry.first + "'");
        }
    }
    remove_tree(command.host.layout().image_directory(command.call.domain(), name));
    bases.erase(found);
    command.changed = true;
}

void run_remove_snapshot(Command &command) {
    const Options &options = command.options();
    Container &container = command.named_container();
    const Snapshot &snapshot = named_snapshot(container, options.required(ZOR_OPTION_TAG));
    remove_tree(command.reference(container.name).snapshot_directory(snapshot.name));
    container.snapshots.erase(container.snapshots.begin() +
                              (&snapshot - container.snapshots.data()));
    command.changed = true;
}

void run_remove_unknown(Command &command) {
    throw Refusal(kUsage, "remove needs --base, --snapshot" +
                              std::string(command.is_system() ? " or --checkpoint" : ""));
}

}  // namespace zor
