// A container's OCI bundle: the config.json that runc reads, beside the root filesystem.
#pragma once

#include <sys/types.h>

#include <string>

namespace zor {

struct BundleSettings {
    std::string command;   // run with /bin/sh -c; "" for the default main process
    bool system = true;    // system container (idle init) or application (small service)
    std::string hostname;  // the UTS name
    int port = 0;          // handed over as PORT when above 0
    std::string cgroups_path;
};

// Writes directory/config.json: PID, mount, IPC, UTS and network namespaces (no cgroup
// namespace, so that a process inside sees the runtime's cgroup path with its name), the
// usual /proc, /dev and /sys mounts, the cgroup path of the runtime's own.
void write_bundle_config(const std::string &directory, const BundleSettings &settings);

// Brings the loopback interface of pid's network namespace up, from the host side, so that
// the container needs no capability for it. Refuses with kHostFailure.
void bring_loopback_up(pid_t pid);

}  // namespace zor
