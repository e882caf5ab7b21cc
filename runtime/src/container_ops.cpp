// What the verbs share about one container: where it lives, what runc says of it, how it is
// stopped.
#include "bundle.hpp"
#include "confinement.hpp"
#include "container_network.hpp"
#include "criu_lookup.hpp"
#include "filesystems.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zor {

namespace {

// How long a main process has to end after SIGTERM, and after SIGKILL. The runtime's own
// default main processes end at once on SIGTERM, but only once their shell has set its trap:
// one stopped a moment after it started ignores the signal (as PID 1 of its namespace), so
// their grace is short.
constexpr auto kStopGrace = std::chrono::seconds(3);
constexpr auto kDefaultProcessGrace = std::chrono::milliseconds(200);
constexpr auto kKillGrace = std::chrono::seconds(5);
constexpr auto kPollInterval = std::chrono::milliseconds(1);

bool wait_stopped(const Runc &runc, const std::string &id, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const RuncInstance instance = runc.state(id);
        if (!instance.exists || instance.status == "stopped") {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

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

const Runc &Command::runc() {
    if (!runc_) {
        runc_ = std::make_unique<Runc>(directory + "/runc");
    }
    return *runc_;
}

const Cgroups &Command::cgroups() {
    if (!cgroups_) {
        cgroups_ = std::make_unique<Cgroups>();
    }
    return *cgroups_;
}

const std::string &Command::criu() {
    if (criu_.empty()) {
        criu_ = find_criu(directory);
    }
    return criu_;
}

void Command::save_now() const {
    save_state(directory, *state);
}

Container &named_container(Command &command, const std::string &name) {
    const auto found = command.domain->containers.find(name);
    if (found == command.domain->containers.end()) {
        throw Refusal(kNotFound, "no container '" + name + "'");
    }
    return found->second;
}

std::string container_directory(const Command &command, bool system, const std::string &name) {
    return command.directory + (system ? "/containers/sys/" : "/containers/app/") + name;
}

std::string container_cgroup(const Command &command, bool system, const std::string &name) {
    return Cgroups::container_path(state_tag(command.directory), system, name);
}

std::string container_runc_id(bool system, const std::string &name) {
    return runc_id(system, name);
}

std::string base_image_path(Command &command, bool system, const Container &container) {
    if (container.base_is_builtin) {
        return minimal_image(command.directory);
    }
    return command.directory + (system ? "/images/sys/" : "/images/app/") + container.base +
           "/rootfs";
}

Snapshot *find_record(std::vector<Snapshot> &records, const std::string &name) {
    const auto found = std::find_if(records.begin(), records.end(),
                                    [&](const Snapshot &record) { return record.name == name; });
    return found == records.end() ? nullptr : &*found;
}

Snapshot record_now(Command &command, const Container &container, const std::string &name) {
    Snapshot record;
    record.name = name;
    record.id = command.domain->next_id++;
    record.created = static_cast<long long>(std::time(nullptr));
    record.shared = container.shared;
    record.limits = container.limits;
    return record;
}

void require_base(const Command &command, const Container &container) {
    const auto &bases = command.domain->bases;
    if (!container.base_is_builtin &&
        std::none_of(bases.begin(), bases.end(),
                     [&](const Base &base) { return base.name == container.base; })) {
        throw Refusal(kNotFound, "no base image '" + container.base + "'");
    }
}

Container &add_container(Command &command, bool system, const Container &container) {
    const std::string directory = container_directory(command, system, container.name);
    const std::string lower = base_image_path(command, system, container);
    // Recorded before its files exist, so that destroy can clean up after a create or an
    // adoption that was killed half-way.
    Container &made = command.domain->containers.emplace(container.name, container).first->second;
    made.complete = false;
    command.save_now();
    remove_container_directory(directory);
    made.overlay = make_root_filesystem(directory, lower);
    made.complete = true;
    command.changed = true;
    return made;
}

int container_status(Command &command, bool system, const Container &container) {
    const RuncInstance instance = command.runc().state(container_runc_id(system, container.name));
    if (instance.status == "running") {
        return 1;
    }
    return instance.status == "paused" ? 2 : 0;
}

pid_t main_pid(Command &command, bool system, const Container &container) {
    const RuncInstance instance = command.runc().state(container_runc_id(system, container.name));
    if (instance.status != "running" && instance.status != "paused") {
        throw Refusal(kWrongState, "container '" + container.name + "' is not running");
    }
    return instance.pid;
}

void stop_container(Command &command, bool system, Container &container, bool at_once) {
    const Runc &runc = command.runc();
    const std::string id = container_runc_id(system, container.name);
    // Bound processes go back first: runc removes the container's cgroups with it.
    for (Group &group : container.groups) {
        for (const Binding &binding : group.bound) {
            Cgroups::move_back(binding.pid, binding.origin);
        }
        if (!group.bound.empty()) {
            group.bound.clear();
            command.changed = true;
        }
    }
    // Killed at once, its programs' connections must not be closed towards their peers: a
    // restored copy carries them on.
    if (at_once) {
        release_container_network(command, system, container);
    }
    RuncInstance instance = runc.state(id);
    if (instance.status == "paused") {
        runc.resume(id);
        instance = runc.state(id);
    }
    if (instance.status == "running" && at_once) {
        runc.kill(id, SIGKILL);
        wait_stopped(runc, id, kKillGrace);
    } else if (instance.status == "running") {
        runc.kill(id, SIGTERM);
        const std::chrono::milliseconds grace =
            container.command.empty() ? kDefaultProcessGrace : kStopGrace;
        if (!wait_stopped(runc, id, grace)) {
            runc.kill(id, SIGKILL);
            wait_stopped(runc, id, kKillGrace);
        }
    }
    const RuncInstance left = runc.state(id);
    if (left.exists || left.partial) {
        runc.remove(id, true);
    }
    release_container_network(command, system, container);
    // What a start that was killed half-way can leave in the cgroup: runc's init process,
    // which no runc instance names any longer.
    const std::string cgroup = container_cgroup(command, system, container.name);
    if (command.cgroups().exists(cgroup) && !command.cgroups().kill_all(cgroup)) {
        throw Refusal(kHostFailure, "processes in cgroup " + cgroup + " do not end");
    }
}

void write_container_bundle(Command &command, bool system, const Container &container) {
    const std::string directory = container_directory(command, system, container.name);
    BundleSettings settings;
    settings.command = container.command;
    settings.system = system;
    settings.hostname = container.hostname.empty() ? container.name : container.hostname;
    settings.port = container.port;
    settings.cgroups_path = container_cgroup(command, system, container.name);
    settings.hook = own_program();
    settings.host_base = container.base_is_builtin && container.base == kHostBase;
    settings.pids_limit = container.pids_limit;
    settings.pids_controller = has_pids_controller(command.cgroups());
    settings.network_words = container_hook_words(command, system, container);
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
    write_bundle_config(directory, settings);
}

pid_t namespace_pid(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("NSpid:", 0) == 0) {
            std::stringstream fields(line.substr(6));
            pid_t last = 0;
            pid_t value = 0;
            while (fields >> value) {
                last = value;
            }
            return last;
        }
    }
    return 0;
}

pid_t host_pid_of(Command &command, bool system, const Container &container, pid_t vpid) {
    const RuncInstance instance = command.runc().state(container_runc_id(system, container.name));
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
                  "container '" + container.name + "' has no process " + std::to_string(vpid));
}

}  // namespace zor
