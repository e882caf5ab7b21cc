// The verbs of the runtime's tools, one handler per verb (and per form of a verb), in files by
// subject; verb_table.cpp names each once. A handler works on the records of its tool's
// domain, under the lock that the dispatcher holds, and either succeeds (writing what it
// prints into command.out) or throws a Refusal. Below them, what several subjects share.
#pragma once

#include "command.hpp"

#include <sys/types.h>

#include <string>
#include <vector>

namespace zor {

// Containers (container_verbs.cpp).
void run_create(Command &command);
void run_destroy(Command &command);
void run_search(Command &command);
void run_info(Command &command);
void run_start(Command &command);
void run_stop(Command &command);
void run_status(Command &command);
void run_getpid(Command &command);
void run_suspend(Command &command);
void run_resume(Command &command);
void run_share(Command &command);
void run_unshare(Command &command);
void run_list_containers(Command &command);

// Snapshots and base images (snapshot_verbs.cpp), and the listings of snapshots and
// checkpoints alike.
void run_save(Command &command);
void run_load(Command &command);
void run_commit(Command &command);
void run_list_bases(Command &command);
void run_list_snapshots(Command &command);
void run_list_checkpoints(Command &command);
void run_remove_base(Command &command);
void run_remove_snapshot(Command &command);
// remove without --base, --snapshot (or --checkpoint): refuses, naming what it takes.
void run_remove_unknown(Command &command);

// Checkpoints (checkpoint_verbs.cpp).
void run_checkpoint(Command &command);
void run_restart(Command &command);
void run_remove_checkpoint(Command &command);

// Control groups and registered processes (group_verbs.cpp).
void run_create_group(Command &command);
void run_destroy_group(Command &command);
void run_bind(Command &command);
void run_unbind(Command &command);
void run_register(Command &command);
void run_unregister(Command &command);
void run_pidlist(Command &command);

// Limits and usage (limit_verbs.cpp).
void run_limit(Command &command);
void run_unlimit(Command &command);
void run_usage(Command &command);

// Migration (migration_verbs.cpp): migrate sends a running system container to a zor-target,
// and removes it here once it runs there; on failure it runs here as before. zor-target
// -n NAME -p PORT receives one container and restores it running; it holds the state lock
// only while it adopts and restores the container.
void run_migrate(Command &command);
void run_receive(Command &command);
// trust show | list | add FINGERPRINT | remove FINGERPRINT (zor-sys, trust_verbs.cpp): this
// machine's fingerprint and the machines it trusts for migrations.
void run_trust(Command &command);
// What is left of a container once its program runs elsewhere: runc's instance (killed
// frozen, so that it never runs again beside the copy), its cgroups, its folder, its record.
void remove_sent_container(Command &command, Container &container);
// Removes the picture that a migrate killed after its dump left beside the container.
void clear_outgoing_picture(const ContainerRef &reference);

// Shared by the subjects (container_setup.cpp).

// The snapshot or checkpoint called name among records, or nullptr.
Snapshot *find_record(std::vector<Snapshot> &records, const std::string &name);
// A snapshot or checkpoint record called name of the container as it is now, with a new id.
Snapshot record_now(Command &command, const Container &container, const std::string &name);
// Refuses with kNotFound a container whose base image is neither built in nor made here.
void require_base(Command &command, const Container &container);
// Records a new container, then makes its directory and root filesystem; the caller has
// checked that the name is free. Returns the recorded container.
Container &add_container(Command &command, const Container &container);
// Writes the container's config.json from its record: its main process, the limits it keeps
// now (runc sets them when it makes the cgroup, on start and on restore alike) and its eth0,
// which a restore keeps off the segment until hold_container_network lets it on.
void write_container_bundle(const ContainerRef &reference, const Container &container,
                            bool restoring = false);
// Makes the cgroups of a container's control groups and sets every limit its record keeps,
// on a container whose runc instance exists (limit_verbs.cpp).
void apply_cgroup_records(const Host &host, const ContainerRef &reference,
                          const Container &container);
// The host process of the container whose namespace number is vpid; refuses with kNotFound.
pid_t host_pid_of(const Host &host, const ContainerRef &reference, pid_t vpid);
// A limit as limit and create -m take it: kind cpu, core, mem or memsw and a value they
// accept; returns the value, refuses with kUsage (limit_verbs.cpp).
std::string checked_limit(const std::string &kind, const std::string &value);

}  // namespace zor
