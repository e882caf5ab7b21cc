// The life cycle of a container: create, look up, start, stop, suspend, resume, share,
// destroy, and the list of containers.
#include "bundle.hpp"
#include "configuration_file.hpp"
#include "container_network.hpp"
#include "filesystems.hpp"
#include "options.hpp"
#include "confinement.hpp"
#include "refusal.hpp"
#include "scope_guard.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zor {

namespace {

constexpr int kSystemTableType = ZOR_SYS_TABLE_TYPE;
constexpr int kSystemPlainType = 1;
constexpr int kApplicationTableType = ZOR_APP_TABLE_TYPE;
constexpr int kApplicationPlainType = 2;

const char *status_word(int status) {
    switch (status) {
    case 1:
        return "running";
    case 2:
        return "suspended";
    default:
        return "stopped";
    }
}

// The container configuration of -f: key=value lines, split at the first '='; blank lines
// and lines starting with '#' are ignored; unknown keys are refused so that a misspelt one
// is not silently lost.
void read_configuration(const std::string &path, Container &container) {
    std::stringstream in(read_configuration_text(path));
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string key = line.substr(0, equals);
        const std::string where = path + ":" + std::to_string(number);
        if (equals != std::string::npos && key == "pids") {
            container.pids_limit = checked_pids_limit(line.substr(equals + 1), where);
            continue;
        }
        if (equals != std::string::npos && is_network_key(key)) {
            try {
                read_network_key(key, line.substr(equals + 1), container);
            } catch (const Refusal &refusal) {
                throw Refusal(refusal.status(), where + ": " + refusal.what());
            }
            continue;
        }
        if (equals == std::string::npos || (key != "command" && key != "hostname")) {
            throw Refusal(kUsage, where +
                                      ": expected command=, hostname=, pids=, address=, "
                                      "network= or publish=");
        }
        (key == "command" ? container.command : container.hostname) = line.substr(equals + 1);
    }
    if (container.hostname.size() > kHostNameLimit) {
        throw Refusal(kUsage, path + ": the host name is longer than " +
                                  std::to_string(kHostNameLimit) + " bytes");
    }
}

}  // namespace

void run_create(Command &command) {
    const bool system = command.is_system();
    const Options &options = command.options();
    const std::string &name = checked_container_name(options.required(ZOR_OPTION_NAME));
    Container container;
    container.name = name;
    container.base = kBuiltinBase;
    container.network = true;
    if (system) {
        if (options.has("-m")) {
            const int megabytes = checked_number(options.required("-m"), "-m value");
            if (megabytes <= 0) {
                throw Refusal(kUsage, "the -m value must be above 0");
            }
            container.limits.push_back(Limit{"mem", std::to_string(megabytes)});
        }
        if (options.has("-f")) {
            if (options.required("-f").empty()) {
                throw Refusal(kUsage, "the -f value is empty");
            }
            read_configuration(options.required("-f"), container);
        }
        const bool configured = options.has("-m") || options.has("-b") || options.has("-f");
        container.type = configured ? kSystemTableType : kSystemPlainType;
    } else {
        if (options.has("-p")) {
            container.port = checked_port(options.required("-p"));
            container.published.emplace_back(container.port, container.port);
        }
        const bool configured = options.has("-p") || options.has("-b");
        container.type = configured ? kApplicationTableType : kApplicationPlainType;
    }
    if (options.has("-b") && is_builtin_base(options.required("-b"))) {
        container.base = options.required("-b");
    } else if (options.has("-b")) {
        container.base = checked_name(options.required("-b"), "base");
        container.base_is_builtin = false;
        require_base(command, container);
    }
    for (const char *word : {"-m", "-p", "-b", "-f"}) {
        if (options.has(word)) {
            container.options.emplace_back(word, options.required(word));
        }
    }
    if (command.domain().containers.count(name) != 0) {
        throw Refusal(kExists, "container '" + name + "' exists already");
    }
    plan_container_network(command, container);
    add_container(command, container);
}

void run_destroy(Command &command) {
    Container &container = command.named_container();
    const ContainerRef reference = command.reference(container.name);
    const int status = reference.status();
    if (status != 0) {
        throw Refusal(kWrongState, "container '" + container.name + "' is " + status_word(status) +
                                       "; stop it first");
    }
    // A runc instance that was created but never started, or whose main process ended.
    reference.remove_from_host(container, Ending::kGraceful);
    command.domain().containers.erase(container.name);
    command.changed = true;
}

void run_search(Command &command) {
    command.named_container();
}

void run_info(Command &command) {
    const bool system = command.is_system();
    const Container &container = command.named_container();
    const ContainerRef reference = command.reference(container.name);
    const RuncInstance instance = command.host.runc().state(reference.runc_id());
    const int status = reference.status();
    std::string &out = command.out;
    out += std::string(system ? ZOR_INFO_SYS_TYPE " " : ZOR_INFO_APP_TYPE " ") +
           std::to_string(container.type) + "\n";
    out += "NAME " + container.name + "\n";
    out += std::string("STATUS ") + status_word(status) + "\n";
    out += "PID " + std::to_string(status != 0 ? instance.pid : 0) + "\n";
    if (system) {
        out += std::string("SHARED ") + (container.shared ? "yes" : "no") + "\n";
    }
    if (container.port > 0) {
        out += "PORT " + std::to_string(container.port) + "\n";
    }
    out += "BASE " + container.base + "\n";
    out += "ROOTFS " + reference.rootfs() + "\n";
    out += std::string("ROOTFS_KIND ") + (container.overlay ? "overlay" : "copy") + "\n";
    out += "CGROUP " + reference.cgroup() + "\n";
    out += "HOSTNAME " + (container.hostname.empty() ? container.name : container.hostname) + "\n";
    if (container.network) {
        out += "ADDRESS " + container.address + "/" +
               std::to_string(read_network_config(command.host.directory()).prefix) + "\n";
        out += "MAC " + container.mac + "\n";
        for (const auto &port : container.published) {
            out +=
                "PUBLISH " + std::to_string(port.first) + ":" + std::to_string(port.second) + "\n";
        }
    }
    for (const auto &option : container.options) {
        out += "OPTION " + option.first + " " + option.second + "\n";
    }
    for (const Limit &limit : container.limits) {
        out += "LIMIT " + limit.kind + " " + limit.value + "\n";
    }
    for (const Group &group : container.groups) {
        for (const Limit &limit : group.limits) {
            out += "LIMIT " + limit.kind + " " + limit.value + " group " + group.name + "\n";
        }
    }
}

void run_start(Command &command) {
    Container &container = command.named_container();
    const ContainerRef reference = command.reference(container.name);
    const int status = reference.status();
    if (status != 0) {
        throw Refusal(kWrongState,
                      "container '" + container.name + "' is " + status_word(status) + " already");
    }
    if (!container.complete) {
        throw Refusal(kWrongState,
                      "container '" + container.name + "' was not created completely; destroy it");
    }
    const Runc &runc = command.host.runc();
    const std::string id = reference.runc_id();
    const std::string directory = reference.directory();
    // An instance whose main process has ended, or one a killed start left behind.
    if (reference.stop(container, Ending::kGraceful)) {
        command.changed = true;
    }
    ensure_root_filesystem(directory, reference.base_image(container), container.overlay);
    prepare_container_network(command.host, container);
    write_container_bundle(reference, container);
    ScopeGuard published([&] { release_container_network(reference, container); });
    runc.run(id, directory, directory + "/runc.log");
    ScopeGuard started([&] { runc.remove(id, true); });
    // The control groups below the container's, with their limits.
    apply_cgroup_records(command.host, reference, container);
    started.dismiss();
    published.dismiss();
}

void run_stop(Command &command) {
    Container &container = command.named_container();
    const ContainerRef reference = command.reference(container.name);
    if (reference.status() == 0) {
        throw Refusal(kWrongState, "container '" + container.name + "' is not running");
    }
    if (reference.stop(container, Ending::kGraceful)) {
        command.changed = true;
    }
}

void run_status(Command &command) {
    command.exit_status = command.reference(command.named_container().name).status();
}

void run_getpid(Command &command) {
    command.out =
        std::to_string(command.reference(command.named_container().name).main_pid()) + "\n";
}

namespace {

void suspend_or_resume(Command &command, bool suspend) {
    const Container &container = command.named_container();
    const ContainerRef reference = command.reference(container.name);
    const int status = reference.status();
    if (status != (suspend ? 1 : 2)) {
        throw Refusal(kWrongState, "container '" + container.name + "' is " + status_word(status) +
                                       "; cannot " + (suspend ? "suspend" : "resume") + " it");
    }
    if (suspend) {
        command.host.runc().pause(reference.runc_id());
    } else {
        command.host.runc().resume(reference.runc_id());
        // A migrate killed after its dump leaves the container paused and its picture behind.
        if (reference.is_system()) {
            clear_outgoing_picture(reference);
        }
    }
}

void share(Command &command, bool shared) {
    Container &container = command.named_container();
    if (container.shared == shared) {
        throw Refusal(kWrongState, "container '" + container.name + "' is " +
                                       (shared ? "shared already" : "not shared"));
    }
    container.shared = shared;
    command.changed = true;
}

}  // namespace

void run_suspend(Command &command) {
    suspend_or_resume(command, true);
}

void run_resume(Command &command) {
    suspend_or_resume(command, false);
}

void run_share(Command &command) {
    share(command, true);
}

void run_unshare(Command &command) {
    share(command, false);
}

void run_list_containers(Command &command) {
    command.options();
    for (const auto &entry : command.domain().containers) {
        command.out += entry.first + "\n";
    }
}

}  // namespace zor
