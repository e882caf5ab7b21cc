// What confines every container beyond its namespaces: a system call filter of the kind the
// well-known container engines ship by default, and a limit on its number of processes. The
// capability set, no_new_privs and the masked and read-only /proc and /sys paths are in the
// bundle's configuration beside them.
#pragma once

#include "cgroups.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace zor {

// The processes (and threads) a container may hold when its configuration names no other
// number: enough for any service, far too few for a fork bomb to take the host.
constexpr long long kDefaultPidsLimit = 1024;

// The largest pids=N accepted: the kernel's own ceiling on process numbers (PID_MAX_LIMIT).
constexpr long long kMostPidsLimit = 4194304;

// The value of a configuration's pids=N as a number, 1 to kMostPidsLimit; refuses anything
// else with kUsage, naming where (a file and line) it was read.
long long checked_pids_limit(const std::string &value, const std::string &where);

// True when the host's cgroups have a pids controller that runc can set for a container: a
// v1 hierarchy of its own, or on a pure v2 layout one the root cgroup offers. runc refuses to
// start a container whose limit it cannot set, so without one no limit is asked.
bool has_pids_controller(const Cgroups &cgroups);

// The linux.seccomp object of config.json (runc installs it with libseccomp): everything is
// allowed except, with EPERM, what a container has no business calling: new namespaces
// (unshare and clone with namespace flags, setns), mounts and the new mount API, keyrings,
// bpf, perf events, kernel modules, kexec, handles to files by inode, swap, reboot, the
// clocks, raw port I/O, quotas, the kernel log, userfaultfd and io_uring. clone3 fails with
// ENOSYS, so that the C library falls back to clone, whose flags the filter can see.
nlohmann::json default_seccomp_profile();

}  // namespace zor
