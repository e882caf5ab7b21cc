// The life cycle of a container: create, look up, start, stop, suspend, resume, destroy.
#include "bundle.hpp"
#include "configuration_file.hpp"
#include "container_network.hpp"
#include "filesystems.hpp"
#include "options.hpp"
#include "confinement.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zor {

namespace {

constexpr int kSystemTableType = 100;
constexpr int kSystemPlainType = 1;
constexpr int kApplicationTableType = 1;
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

void create(Command &command) {
    const bool system = command.is_system();
    const Options options =
        system ? Options(command.words, 1, {{"-n", true}, {"-m", true}, {"-b", true}, {"-f", true}})
               : Options(command.words, 1, {{"-n", true}, {"-p", true}, {"-b", true}});
    const std::string &name = checked_container_name(options.required("-n"));
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
            container.port = checked_number(options.required("-p"), "-p value");
            if (container.port <= 0 || container.port > 65535) {
                throw Refusal(kUsage, "the -p value must be a port number, 1 to 65535");
            }
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
    if (command.domain->containers.count(name) != 0) {
        throw Refusal(kExists, "container '" + name + "' exists already");
    }
    plan_container_network(command, container);
    add_container(command, system, container);
}

void destroy(Command &command) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    const int status = container_status(command, system, container);
    if (status != 0) {
        throw Refusal(kWrongState, "container '" + container.name + "' is " + status_word(status) +
                                       "; stop it first");
    }
    // A runc instance that was created but never started, or whose main process ended.
    stop_container(command, system, container);
    const std::string cgroup = container_cgroup(command, system, container.name);
    if (!command.cgroups().remove(cgroup)) {
        throw Refusal(kHostFailure, "cannot remove cgroup " + cgroup);
    }
    command.cgroups().remove_parent_if_empty(cgroup);
    remove_container_directory(container_directory(command, system, container.name));
    command.domain->containers.erase(container.name);
    command.changed = true;
}

void info(Command &command) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}});
    const Container &container = named_container(command, options.required("-n"));
    const RuncInstance instance = command.runc().state(container_runc_id(system, container.name));
    const int status = container_status(command, system, container);
    std::string &out = command.out;
    out += (system ? "TYPE " : "CONTAINER_TYPE ") + std::to_string(container.type) + "\n";
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
    out += "ROOTFS " + container_directory(command, system, container.name) + "/rootfs\n";
    out += std::string("ROOTFS_KIND ") + (container.overlay ? "overlay" : "copy") + "\n";
    out += "CGROUP " + container_cgroup(command, system, container.name) + "\n";
    out += "HOSTNAME " + (container.hostname.empty() ? container.name : container.hostname) + "\n";
    if (container.network) {
        out += "ADDRESS " + container.address + "/" +
               std::to_string(read_network_config(command.directory).prefix) + "\n";
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

void start(Command &command) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    const int status = container_status(command, system, container);
    if (status != 0) {
        throw Refusal(kWrongState,
                      "container '" + container.name + "' is " + status_word(status) + " already");
    }
    if (!container.complete) {
        throw Refusal(kWrongState,
                      "container '" + container.name + "' was not created completely; destroy it");
    }
    const Runc &runc = command.runc();
    const std::string id = container_runc_id(system, container.name);
    const std::string directory = container_directory(command, system, container.name);
    // An instance whose main process has ended, or one a killed start left behind.
    stop_container(command, system, container);
    ensure_root_filesystem(directory, base_image_path(command, system, container),
                           container.overlay);
    prepare_container_network(command, system, container);
    write_container_bundle(command, system, container);
    try {
        runc.run(id, directory, directory + "/runc.log");
    } catch (...) {
        release_container_network(command, system, container);
        throw;
    }
    try {
        // The control groups below the container's, with their limits.
        apply_cgroup_records(command, system, container);
    } catch (...) {
        runc.remove(id, true);
        release_container_network(command, system, container);
        throw;
    }
}

void stop(Command &command) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    if (container_status(command, system, container) == 0) {
        throw Refusal(kWrongState, "container '" + container.name + "' is not running");
    }
    stop_container(command, system, container);
}

void suspend_or_resume(Command &command, bool suspend) {
    const bool system = command.is_system();
    const Options options(command.words, 1, {{"-n", true}});
    const Container &container = named_container(command, options.required("-n"));
    const int status = container_status(command, system, container);
    if (status != (suspend ? 1 : 2)) {
        throw Refusal(kWrongState, "container '" + container.name + "' is " + status_word(status) +
                                       "; cannot " + (suspend ? "suspend" : "resume") + " it");
    }
    const std::string id = container_runc_id(system, container.name);
    if (suspend) {
        command.runc().pause(id);
    } else {
        command.runc().resume(id);
        // A migrate killed after its dump leaves the container paused and its picture behind.
        if (system) {
            clear_outgoing_picture(command, container);
        }
    }
}

void share(Command &command, bool shared) {
    const Options options(command.words, 1, {{"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    if (container.shared == shared) {
        throw Refusal(kWrongState, "container '" + container.name + "' is " +
                                       (shared ? "shared already" : "not shared"));
    }
    container.shared = shared;
    command.changed = true;
}

}  // namespace

void container_verb(Command &command) {
    const std::string &verb = command.words[0];
    const bool system = command.is_system();
    if (verb == "search") {
        const Options options(command.words, 1, {{"-n", true}});
        named_container(command, options.required("-n"));
    } else if (verb == "info") {
        info(command);
    } else if (verb == "create") {
        create(command);
    } else if (verb == "destroy") {
        destroy(command);
    } else if (verb == "start") {
        start(command);
    } else if (verb == "stop") {
        stop(command);
    } else if (verb == "status") {
        const Options options(command.words, 1, {{"-n", true}});
        command.exit_status =
            container_status(command, system, named_container(command, options.required("-n")));
    } else if (verb == "getpid") {
        const Options options(command.words, 1, {{"-n", true}});
        command.out = std::to_string(main_pid(command, system,
                                              named_container(command, options.required("-n")))) +
                      "\n";
    } else if (verb == "suspend" || verb == "resume") {
        suspend_or_resume(command, verb == "suspend");
    } else if ((verb == "share" || verb == "unshare") && system) {
        share(command, verb == "share");
    } else {
        throw Refusal(kUsage, "unknown verb '" + verb + "'");
    }
}

}  // namespace zor
