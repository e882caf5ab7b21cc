// Snapshots (a container's root-filesystem changes with its configuration and limits), base
// images made from them, and the listings that show them in the forms the client libraries
// read, for snapshots and checkpoints alike.
#include "checkpoints.hpp"
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <algorithm>
#include <ctime>

namespace zor {

namespace {

// The container types whose snapshot listings are tables.
constexpr int kSystemTableType = 100;
constexpr int kApplicationTableType = 1;

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

std::string snapshot_directory(const Command &command, const Container &container,
                               const std::string &name) {
    return container_directory(command, command.is_system(), container.name) + "/snapshots/" + name;
}

std::string image_directory(const Command &command, const std::string &base) {
    return command.directory + (command.is_system() ? "/images/sys/" : "/images/app/") + base;
}

// The table forms put a header first; the libraries skip lines up to the first that holds
// the marker, so no line before it may show a name (a name may hold the marker itself).
void list_snapshots(Command &command, const char *kind) {
    const Options options(command.words, 1, {{kind, false}, {"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::vector<Snapshot> &records =
        std::string(kind) == "--snapshot" ? container.snapshots : container.checkpoints;
    std::string &out = command.out;
    if (command.is_system() && container.type == kSystemTableType) {
        out += "ID NAME CREATED\n";
        for (const Snapshot &snapshot : records) {
            out += std::to_string(snapshot.id) + " " + snapshot.name + " " +
                   time_text(snapshot.created) + "\n";
        }
    } else if (!command.is_system() && container.type == kApplicationTableType) {
        out += "TAG\tCREATED\n";
        for (const Snapshot &snapshot : records) {
            out += snapshot.name + "\t" + time_text(snapshot.created) + "\n";
        }
    } else {
        for (const Snapshot &snapshot : records) {
            out += snapshot.name + "\n";
        }
    }
}

void list(Command &command) {
    const std::vector<std::string> &words = command.words;
    const std::string kind = words.size() > 1 ? words[1] : "";
    if (kind == "--snapshot" || kind == "--checkpoint") {
        list_snapshots(command, kind.c_str());
    } else if (kind == "--base") {
        const Options options(words, 1, {{"--base", false}});
        for (const Base &base : command.domain->bases) {
            command.out += base.name + "\n";
        }
    } else {
        const Options options(words, 1, {});
        for (const auto &entry : command.domain->containers) {
            command.out += entry.first + "\n";
        }
    }
}

// The container is frozen while its files are copied, so that the copy is of one moment.
void save(Command &command) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::string &name = checked_name(options.required("-t"), "snapshot");
    if (find_record(container.snapshots, name) != nullptr) {
        throw Refusal(kExists,
                      "container '" + container.name + "' has a snapshot '" + name + "' already");
    }
    const std::string id = container_runc_id(system, container.name);
    const std::string directory = container_directory(command, system, container.name);
    if (container_status(command, system, container) == 1) {
        const FrozenContainer frozen(directory, command.runc(), id);
        replace_with_copy(changes_directory(directory, container.overlay),
                          snapshot_directory(command, container, name), scratch_area(directory));
        frozen.thaw();
    } else {
        replace_with_copy(changes_directory(directory, container.overlay),
                          snapshot_directory(command, container, name), scratch_area(directory));
    }
    container.snapshots.push_back(record_now(command, container, name));
    command.changed = true;
}

void load(Command &command) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}});
    Container &container = named_container(command, options.required("-n"));
    const Snapshot &snapshot = named_snapshot(container, options.required("-t"));
    if (container_status(command, system, container) != 0) {
        throw Refusal(kWrongState, "container '" + container.name +
                                       "' is running; stop it before loading a snapshot");
    }
    restore_changes(container_directory(command, system, container.name),
                    base_image_path(command, system, container), container.overlay,
                    snapshot_directory(command, container, snapshot.name));
    container.limits = snapshot.limits;
    container.shared = snapshot.shared;
    command.changed = true;
}

void commit(Command &command) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}, {"-b", true}});
    Container &container = named_container(command, options.required("-n"));
    const Snapshot &snapshot = named_snapshot(container, options.required("-t"));
    const std::string &base_name = checked_name(options.required("-b"), "base");
    auto &bases = command.domain->bases;
    if (is_builtin_base(base_name) ||
        std::any_of(bases.begin(), bases.end(),
                    [&](const Base &base) { return base.name == base_name; })) {
        throw Refusal(kExists, "base image '" + base_name + "' exists already");
    }
    const std::string image = image_directory(command, base_name);
    remove_tree(image);
    make_image(image + "/rootfs", base_image_path(command, system, container),
               snapshot_directory(command, container, snapshot.name), container.overlay);
    bases.push_back(Base{base_name, static_cast<long long>(std::time(nullptr))});
    command.changed = true;
}

void remove(Command &command) {
    const std::vector<std::string> &words = command.words;
    const std::string kind = words.size() > 1 ? words[1] : "";
    if (kind == "--base") {
        const Options options(words, 1, {{"--base", true}});
        const std::string &name = options.required("--base");
        auto &bases = command.domain->bases;
        const auto found = std::find_if(bases.begin(), bases.end(),
                                        [&](const Base &base) { return base.name == name; });
        if (found == bases.end()) {
            throw Refusal(kNotFound, "no base image '" + name + "'");
        }
        for (const auto &entry : command.domain->containers) {
            if (!entry.second.base_is_builtin && entry.second.base == name) {
                throw Refusal(kWrongState, "base image '" + name + "' is used by container '" +
                                               entry.first + "'");
            }
        }
        remove_tree(image_directory(command, name));
        bases.erase(found);
    } else if (kind == "--snapshot") {
        const Options options(words, 1, {{"--snapshot", false}, {"-n", true}, {"-t", true}});
        Container &container = named_container(command, options.required("-n"));
        const Snapshot &snapshot = named_snapshot(container, options.required("-t"));
        remove_tree(snapshot_directory(command, container, snapshot.name));
        container.snapshots.erase(container.snapshots.begin() +
                                  (&snapshot - container.snapshots.data()));
    } else if (kind == "--checkpoint" && command.is_system()) {
        const Options options(words, 1, {{"--checkpoint", false}, {"-n", true}, {"-t", true}});
        Container &container = named_container(command, options.required("-n"));
        const std::string &tag = options.required("-t");
        auto &checkpoints = container.checkpoints;
        const Snapshot *found = find_record(checkpoints, tag);
        if (found == nullptr) {
            throw Refusal(kNotFound,
                          "container '" + container.name + "' has no checkpoint '" + tag + "'");
        }
        remove_tree(checkpoint_directory(command, true, container.name, tag));
        checkpoints.erase(checkpoints.begin() + (found - checkpoints.data()));
    } else {
        throw Refusal(kUsage, "remove needs --base, --snapshot" +
                                  std::string(command.is_system() ? " or --checkpoint" : ""));
    }
    command.changed = true;
}

}  // namespace

void record_verb(Command &command) {
    const std::string &verb = command.words[0];
    if (verb == "list") {
        list(command);
    } else if (verb == "remove") {
        remove(command);
    } else if (verb == "save") {
        save(command);
    } else if (verb == "load") {
        load(command);
    } else if (verb == "commit") {
        commit(command);
    } else if ((verb == "checkpoint" || verb == "restart") && command.is_system()) {
        checkpoint_verb(command);
    } else {
        throw Refusal(kUsage, "unknown verb '" + verb + "'");
    }
}

}  // namespace zor
