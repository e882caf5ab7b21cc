// A container's OCI bundle: the config.json that runc reads, beside the root filesystem.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zor {

struct BundleSettings {
    std::string command;   // run with /bin/sh -c; "" for the default main process
    bool system = true;    // system container (idle init) or application (small service)
    std::string hostname;  // the UTS name
    int port = 0;          // handed over as PORT when above 0
    std::string cgroups_path;
    std::string hook;        // this program's path: runc runs it to bring the loopback up
    bool host_base = false;  // base image host: the host's /usr, /lib, /lib64 bound read-only
    // Limits runc sets when it makes the cgroup, before the main process runs (0: none):
    long long memory_bytes = 0;
    long long memory_swap_bytes = 0;  // memory plus swap
    long long cpu_quota = 0;          // microseconds per 100 ms period
    std::string cpus;
    long long pids_limit = 0;     // processes and threads; 0: kDefaultPidsLimit
    bool pids_controller = true;  // false: the host has none, and no limit is asked
    // The hook's words that give the container its eth0 (host_network.hpp); none: loopback only.
    std::vector<std::string> network_words;
};

// The word after which this program acts as runc's createRuntime hook: it reads the
// container's state (JSON) on standard input, brings up the loopback interface of its
// network namespace and, when further words say how, gives it its eth0.
constexpr char kLoopbackHookWord[] = "--loopback-hook";

// The hook's work: reads the state from standard input; network_words are the words after
// kLoopbackHookWord. Returns the exit status.
int run_loopback_hook(const std::vector<std::string> &network_words);

// Writes directory/config.json: PID, mount, IPC, UTS and network namespaces (no cgroup
// namespace, so that a process inside sees the runtime's cgroup path with its name), the
// usual /proc, /dev and /sys mounts, the cgroup path of the runtime's own, its limits, and
// the hook that brings the loopback up before the main process starts.
void write_bundle_config(const std::string &directory, const BundleSettings &settings);

// Brings the loopback interface of pid's network namespace up, from the host side, so that
// the container needs no capability for it. Refuses with kHostFailure.
void bring_loopback_up(pid_t pid);

}  // namespace zor
