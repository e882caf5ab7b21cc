// Pictures of containers: runc pauses, CRIU dumps with the programs left in place, the root
// filesystem's changes are copied while they are frozen; a restore puts the changes back
// first and lets runc make the container anew from the images.
#include "checkpoints.hpp"

#include "container_network.hpp"
#include "criu_lookup.hpp"
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "program_run.hpp"
#include "refusal.hpp"

#include <filesystem>
#include <fstream>

namespace zor {

namespace fs = std::filesystem;

namespace {

constexpr char kImages[] = "/images";
constexpr char kChanges[] = "/rootfs";
constexpr char kRecord[] = "/record.json";
constexpr char kDumpWork[] = "/work";
// Beside the container's config.json: CRIU's restore.log and runc's log of the last restore.
constexpr char kRestoreWork[] = "/restore-work";

// CRIU locks the network of the programs it dumps with a chain named CRIU, jumped to from
// INPUT and OUTPUT. It normally takes it away again, but a dump that fails half-way can leave
// it, and a container whose network is locked can no longer talk to anyone.
void clear_network_lock(pid_t pid) {
    if (pid <= 0) {
        return;
    }
    const std::string net = "--net=/proc/" + std::to_string(pid) + "/ns/net";
    for (const char *tool : {"iptables", "ip6tables"}) {
        if (run_program({"nsenter", net, tool, "-w", "-S", "CRIU"}).status != 0) {
            continue;
        }
        run_program({"nsenter", net, tool, "-w", "-D", "INPUT", "-j", "CRIU"});
        run_program({"nsenter", net, tool, "-w", "-D", "OUTPUT", "-j", "CRIU"});
        run_program({"nsenter", net, tool, "-w", "-F", "CRIU"});
        run_program({"nsenter", net, tool, "-w", "-X", "CRIU"});
    }
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
    out.close();
    if (!out) {
        throw Refusal(kHostFailure, "cannot write " + path);
    }
}

void make_directory(const std::string &path) {
    std::error_code error;
    fs::create_directories(path, error);
    if (error) {
        throw Refusal(kHostFailure, "cannot make " + path + ": " + error.message());
    }
}

}  // namespace

std::string checkpoint_directory(const Command &command, bool system, const std::string &name,
                                 const std::string &tag) {
    return container_directory(command, system, name) + "/checkpoints/" + tag;
}

void dump_paused(Command &command, bool system, Container &container,
                 const std::string &directory) {
    if (container_status(command, system, container) != 1) {
        throw Refusal(kWrongState, "container '" + container.name + "' is not running");
    }
    const std::string &criu = command.criu();
    const Runc &runc = command.runc();
    const std::string id = container_runc_id(system, container.name);
    std::error_code error;
    if (fs::exists(directory, error)) {
        throw Refusal(kExists, directory + " exists already");
    }
    const pid_t pid = main_pid(command, system, container);
    make_directory(directory + kImages);
    make_directory(directory + kDumpWork);
    const std::string home = container_directory(command, system, container.name);
    // Stays until resume_after_dump, or until the next command finds this one gone.
    const FreezeRecord record(home);
    try {
        runc.pause(id);
        runc.checkpoint(id, criu, directory + kImages, directory + kDumpWork);
        clear_criu_traces();
        clear_network_lock(pid);
        replace_with_copy(changes_directory(home, container.overlay), directory + kChanges,
                          scratch_area(directory));
        write_file(directory + kRecord, container_to_json(container));
    } catch (...) {
        clear_criu_traces();
        clear_network_lock(pid);
        remove_tree(directory);
        try {
            if (runc.state(id).status == "paused") {
                runc.resume(id);
            }
            record.release();
        } catch (const Refusal &) {
            // The dump's refusal says more; the container stays suspended, as status shows.
        }
        throw;
    }
}

void resume_after_dump(Command &command, bool system, Container &container) {
    const std::string id = container_runc_id(system, container.name);
    if (command.runc().state(id).status == "paused") {
        command.runc().resume(id);
    }
    FreezeRecord::release_of(container_directory(command, system, container.name));
}

void restore_picture(Command &command, bool system, Container &container,
                     const std::string &directory) {
    const std::string &criu = command.criu();
    const Runc &runc = command.runc();
    const std::string id = container_runc_id(system, container.name);
    const RuncInstance instance = runc.state(id);
    if (instance.exists && instance.status != "stopped") {
        throw Refusal(kWrongState, "container '" + container.name + "' runs; stop it first");
    }
    if (instance.exists || instance.partial) {
        runc.remove(id, true);
    }
    std::error_code error;
    if (!fs::is_directory(directory + kImages, error) ||
        !fs::is_directory(directory + kChanges, error)) {
        throw Refusal(kNotFound, "no checkpoint images in " + directory);
    }
    const std::string home = container_directory(command, system, container.name);
    const std::string work = home + kRestoreWork;
    remove_tree(work);
    make_directory(work);
    const std::string lower = base_image_path(command, system, container);
    // Staged before anything changes; after the swap it holds the files the container had,
    // which a failed restore puts back.
    const auto staged = stage_changes(home, directory + kChanges);
    bool swapped = false;
    try {
        swap_changes(home, lower, container.overlay, *staged);
        swapped = true;
        prepare_container_network(command, system, container);
        write_container_bundle(command, system, container);
        // The bundle's hook brings the loopback up and makes eth0 while CRIU sets the
        // namespaces up, before the programs' sockets come back.
        runc.restore(id, criu, home, directory + kImages, work);
        clear_criu_traces();
        apply_cgroup_records(command, system, container);
        announce_container(container, main_pid(command, system, container));
    } catch (...) {
        clear_criu_traces();
        // stop_container kills whatever was restored and removes runc's instance; the
        // container's cgroup goes with it, here as on stop.
        try {
            stop_container(command, system, container, true);
            const std::string cgroup = container_cgroup(command, system, container.name);
            if (command.cgroups().remove(cgroup)) {
                command.cgroups().remove_parent_if_empty(cgroup);
            }
            if (swapped) {
                swap_changes(home, lower, container.overlay, *staged);
            }
        } catch (const Refusal &) {
            // The restore's refusal says more; what is left shows in status and on destroy.
        }
        throw;
    }
}

Container &adopt_container(Command &command, bool system, const Container &record) {
    const std::string &name = record.name;
    if (command.domain->containers.count(name) != 0) {
        throw Refusal(kWrongState, "container '" + name + "' exists here already");
    }
    Container container = record;
    container.snapshots.clear();
    container.checkpoints.clear();
    container.registered.clear();
    for (Group &group : container.groups) {
        group.bound.clear();
    }
    require_base(command, container);
    return add_container(command, system, container);
}

}  // namespace zor
