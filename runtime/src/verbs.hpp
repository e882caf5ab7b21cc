// The verbs of the runtime's tools. Each works on the records of its tool's domain, under the
// lock that the dispatcher holds, and either succeeds (writing what it prints into out) or
// throws a Refusal.
#pragma once

#include "cgroups.hpp"
#include "runc.hpp"
#include "state_store.hpp"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace zor {

class Command {
public:
    std::string program;             // zor-sys, zor-app or zor-target
    std::vector<std::string> words;  // the verb and what follows it
    std::string directory;           // the state directory
    State *state = nullptr;
    Domain *domain = nullptr;  // the program's records within state
    std::string out;           // printed on standard output on success
    bool changed = false;      // the state must be saved
    int exit_status = 0;       // status query: the status number

    bool is_system() const { return program != "zor-app"; }
    // runc and the cgroups, found on first use (a refusal when missing).
    const Runc &runc();
    const Cgroups &cgroups();
    // The CRIU that runc drives (absolute path), found on first use; refuses with
    // kNeedsCheckpointer, in one line saying why, when no working CRIU can be had.
    const std::string &criu();
    // Saves the records now, in the middle of a verb, so that a command killed later leaves
    // a record of what it has begun to make.
    void save_now() const;

private:
    std::unique_ptr<Runc> runc_;
    std::unique_ptr<Cgroups> cgroups_;
    std::string criu_;
};

// The container a command names; refuses with kNotFound.
Container &named_container(Command &command, const std::string &name);

// Where a container lives: its directory, runc id and cgroup path. system chooses the domain.
std::string container_directory(const Command &command, bool system, const std::string &name);
std::string container_cgroup(const Command &command, bool system, const std::string &name);
std::string container_runc_id(bool system, const std::string &name);
// The root filesystem of the base image a container was made from.
std::string base_image_path(Command &command, bool system, const Container &container);
// The snapshot or checkpoint called name among records, or nullptr.
Snapshot *find_record(std::vector<Snapshot> &records, const std::string &name);
// A snapshot or checkpoint record called name of the container as it is now, with a new id.
Snapshot record_now(Command &command, const Container &container, const std::string &name);
// Refuses with kNotFound a container whose base image is neither built in nor made here.
void require_base(const Command &command, const Container &container);
// Records a new container, then makes its directory and root filesystem; the caller has
// checked that the name is free. Returns the recorded container.
Container &add_container(Command &command, bool system, const Container &container);

// Status number: 0 stopped, 1 running, 2 suspended, from runc's own state.
int container_status(Command &command, bool system, const Container &container);
// The main process on the host; refuses with kWrongState when the container does not run.
pid_t main_pid(Command &command, bool system, const Container &container);
// Stops the container if it runs (SIGTERM, then SIGKILL after the grace period) and removes
// runc's instance; the processes bound to its groups go back where they came from. With
// at_once, SIGKILL at once: for programs that are replaced, whose ending does not matter.
void stop_container(Command &command, bool system, Container &container, bool at_once = false);

// Writes the container's config.json from its record: its main process, the limits it keeps
// now (runc sets them when it makes the cgroup, on start and on restore alike) and its eth0.
void write_container_bundle(Command &command, bool system, const Container &container);

// Makes the cgroups of a container's control groups and sets every limit its record keeps,
// on a container whose runc instance exists.
void apply_cgroup_records(Command &command, bool system, const Container &container);

// The number a process has in the innermost PID namespace it belongs to (last NSpid field),
// or 0 when it is gone.
pid_t namespace_pid(pid_t pid);
// The host process of container whose namespace number is vpid; refuses with kNotFound.
pid_t host_pid_of(Command &command, bool system, const Container &container, pid_t vpid);

// search, info, create, destroy, start, stop, status, getpid, suspend, resume, share, unshare
void container_verb(Command &command);
// list, remove, save, load, commit, checkpoint, restart
void record_verb(Command &command);
// checkpoint and restart (system containers), which record_verb hands on
void checkpoint_verb(Command &command);
// limit, unlimit, usage
void resource_verb(Command &command);
// A limit as limit and create -m take it: kind cpu, core, mem or memsw and a value they
// accept; returns the value, refuses with kUsage.
std::string checked_limit(const std::string &kind, const std::string &value);
// create -g / -c, destroy -g, bind, unbind, register, unregister, pidlist
void group_verb(Command &command);
// migrate: sends a running system container to a zor-target, and removes it here once it
// runs there; on failure it runs here as before.
void migration_verb(Command &command);
// zor-target -n NAME -p PORT: receives one container and restores it running; returns the
// exit status. Holds the state lock only while it adopts and restores the container.
int receive_migration(Command &command);
// trust show | list | add FINGERPRINT | remove FINGERPRINT (zor-sys): this machine's
// fingerprint and the machines it trusts for migrations.
void trust_verb(Command &command);
// What is left of a container once its program runs elsewhere: runc's instance (killed
// frozen, so that it never runs again beside the copy), its cgroups, its folder, its record.
void remove_sent_container(Command &command, Container &container);
// Removes the picture that a migrate killed after its dump left beside the container.
void clear_outgoing_picture(Command &command, const Container &container);

}  // namespace zor
