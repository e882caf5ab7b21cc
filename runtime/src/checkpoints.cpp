// Pictures of containers: runc pauses, CRIU dumps with the programs left in place, the root
// filesystem's changes are copied while they are frozen; a restore puts the changes back
// first and lets runc make the container anew from the images.
#include "checkpoints.hpp"

#include "container_network.hpp"
#include "criu_lookup.hpp"
#include "file_replace.hpp"
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "program_run.hpp"
#include "refusal.hpp"
#include "scope_guard.hpp"
#include "verbs.hpp"

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
    const int error = replace_file(path, text, 0600);
    if (error != 0) {
        throw Refusal(kHostFailure, "cannot write " + path, error);
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

void dump_paused(const Host &host, const ContainerRef &reference, const Container &container,
                 const std::string &directory) {
    if (reference.status() != 1) {
        throw Refusal(kWrongState, "container '" + container.name + "' is not running");
    }
    const std::string &criu = host.criu();
    const Runc &runc = host.runc();
    const std::string id = reference.runc_id();
    std::error_code error;
    if (fs::exists(directory, error)) {
        throw Refusal(kExists, directory + " exists already");
    }
    const pid_t pid = reference.main_pid();
    make_directory(directory + kImages);
    make_directory(directory + kDumpWork);
    const std::string home = reference.directory();
    // Stays until resume_after_dump, or until the next command finds this one gone.
    const FreezeRecord record(home);
    // A failed dump leaves no picture and no trace, and the container running as before
    // (or suspended, as status shows, when even the resume fails).
    ScopeGuard undo([&] {
        clear_criu_traces();
        clear_network_lock(pid);
        remove_tree(directory);
        if (runc.state(id).status == "paused") {
            runc.resume(id);
        }
        record.release();
    });
    runc.pause(id);
    runc.checkpoint(id, criu, directory + kImages, directory + kDumpWork);
    clear_criu_traces();
    clear_network_lock(pid);
    replace_with_copy(changes_directory(home, container.overlay), directory + kChanges,
                      scratch_area(directory));
    write_file(directory + kRecord, container_to_json(container));
    undo.dismiss();
}

void resume_after_dump(const Host &host, const ContainerRef &reference) {
    const std::string id = reference.runc_id();
    if (host.runc().state(id).status == "paused") {
        host.runc().resume(id);
    }
    FreezeRecord::release_of(reference.directory());
}

void restore_picture(const Host &host, const ContainerRef &reference, Container &container,
                     const std::string &directory) {
    const std::string &criu = host.criu();
    const Runc &runc = host.runc();
    const std::string id = reference.runc_id();
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
    const std::string home = reference.directory();
    const std::string work = home + kRestoreWork;
    remove_tree(work);
    make_directory(work);
    const std::string lower = reference.base_image(container);
    // Staged before anything changes; after the swap it holds the files the container had,
    // which a failed restore puts back.
    const auto staged = stage_changes(home, directory + kChanges);
    bool swapped = false;
    // A failed restore kills whatever was restored and removes runc's instance; the
    // container's cgroup goes with it, here as on stop, and its files are put back. What is
    // left shows in status and on destroy.
    ScopeGuard undo([&] {
        clear_criu_traces();
        reference.take_down(container, Ending::kAtOnce);
        if (swapped) {
            swap_changes(home, lower, container.overlay, *staged);
        }
    });
    swap_changes(home, lower, container.overlay, *staged);
    swapped = true;
    prepare_container_network(host, container);
    write_container_bundle(reference, container, true);
    // The bundle's hook brings the loopback up and makes eth0 while CRIU sets the namespaces
    // up, before the programs' sockets come back. CRIU locks no network it restores empty, so
    // the hook leaves the container off the segment until its sockets are back: a peer's
    // retransmission that came first would meet no socket and be answered with a reset.
    runc.restore(id, criu, home, directory + kImages, work);
    clear_criu_traces();
    apply_cgroup_records(host, reference, container);
    hold_container_network(reference, container, false);
    announce_container(container, reference.main_pid());
    undo.dismiss();
}

}  // namespace zor
