// What the verbs of several subjects share about one container: its records, how it is made
// on disk, its runc bundle, and how its processes are found.
#include "bundle.hpp"
#include "confinement.hpp"
#include "container_network.hpp"
#include "filesystems.hpp"
#include "process_figures.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace zor {

namespace {

// The path of this program, for runc to run as a hook.
std::string own_program() {
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    if (error) {
        throw Refusal(kHostFailure, "cannot tell this program's path: " + error.message());
    }
    return path;
}

}  // namespace

Snapshot *find_record(std::vector<Snapshot> &records, const std::string &name) {
    const auto found = std::find_if(records.begin(), records.end(),
                                    [&](const Snapshot &record) { return record.name == name; });
    return found == records.end() ? nullptr : &*found;
}

Snapshot record_now(Command &command, const Container &container, const std::string &name) {
    Snapshot record;
    record.name = name;
    record.id = command.domain().next_id++;
    record.created = static_cast<long long>(std::time(nullptr));
    record.shared = container.shared;
    record.limits = container.limits;
    return record;
}

void require_base(Command &command, const Container &container) {
    const auto &bases = command.domain().bases;
    if (!container.base_is_builtin &&
        std::none_of(bases.begin(), bases.end(),
                     [&](const Base &base) { return base.name == container.base; })) {
        throw Refusal(kNotFound, "no base image '" + container.base + "'");
    }
}

Container &add_container(Command &command, const Container &container) {
    const ContainerRef reference = command.reference(container.name);
    const std::string directory = reference.directory();
    const std::string lower = reference.base_image(container);
    // Recorded before its files exist, so that destroy can clean up after a create or an
    // adoption that was killed half-way.
    Container &made = command.domain().containers.emplace(container.name, container).first->second;
    made.complete = false;
    command.save_now();
    remove_container_directory(directory);
    made.overlay = make_root_filesystem(directory, lower);
    made.complete = true;
    command.changed = true;
    return made;
}

void write_container_bundle(const ContainerRef &reference, const Container &container,
                            bool restoring) {
    BundleSettings settings;
    settings.command = container.command;
    settings.system = reference.is_system();
    settings.hostname = container.hostname.empty() ? container.name : container.hostname;
    settings.port = container.port;
    settings.cgroups_path = reference.cgroup();
    settings.hook = own_program();
    settings.host_base = container.base_is_builtin && container.base == kHostBase;
    settings.pids_limit = container.pids_limit;
    settings.pids_controller = has_pids_controller(reference.host().cgroups());
    settings.network_words = container_hook_words(reference, container, restoring);
    // runc sets the container's limits as it makes the cgroup, before the main process runs.
    for (const Limit &limit : container.limits) {
        // Checked when the limit was set: a decimal number above 0, or a cpuset text.
        const long long number = std::strtoll(limit.value.c_str(), nullptr, 10);
        if (limit.kind == "mem") {
            settings.memory_bytes = number << 20;
        } else if (limit.kind == "memsw") {
            settings.memory_swap_bytes = number << 20;
        } else if (limit.kind == "cpu") {
            settings.cpu_quota = number * 1000;
        } else if (limit.kind == "core") {
            settings.cpus = limit.value;
        }
    }
    if (settings.memory_swap_bytes > 0 &&
        (settings.memory_bytes == 0 || settings.memory_bytes > settings.memory_swap_bytes)) {
        settings.memory_bytes = settings.memory_swap_bytes;
    }
    write_bundle_config(reference.directory(), settings);
}

pid_t host_pid_of(const Host &host, const ContainerRef &reference, pid_t vpid) {
    const RuncInstance instance = host.runc().state(reference.runc_id());
    if (instance.pid > 0) {
        // The container's processes are those in its main process's PID namespace, wherever
        // in the cgroups they have been bound.
        std::error_code error;
        const auto pid_namespace = [&](const std::string &pid) {
            return std::filesystem::read_symlink("/proc/" + pid + "/ns/pid", error).string();
        };
        const std::string wanted = pid_namespace(std::to_string(instance.pid));
        for (const auto &entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const auto pid = static_cast<pid_t>(std::stol(name));
            if (pid_namespace(name) == wanted && namespace_pid(pid) == vpid) {
                return pid;
            }
        }
    }
    throw Refusal(kNotFound,
                  "container '" + reference.name() + "' has no process " + std::to_string(vpid));
}

}  // namespace zor
