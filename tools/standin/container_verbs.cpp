// The life cycle of a container: create, look up, start, stop, suspend, resume, destroy.
#include "main_process.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

namespace standin {

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

void create(Command &command) {
    const bool system = command.is_system();
    const Options options =
        system ? Options(command.words, 1, {{"-n", true}, {"-m", true}, {"-b", true}, {"-f", true}})
               : Options(command.words, 1, {{"-n", true}, {"-p", true}, {"-b", true}});
    const std::string &name = checked_name(options.required("-n"), "container");
    Container container;
    container.name = name;
    if (system) {
        if (options.has("-m") && checked_number(options.required("-m"), "-m value") <= 0) {
            throw Refusal(kUsage, "the -m value must be above 0");
        }
        if (options.has("-f") && options.required("-f").empty()) {
            throw Refusal(kUsage, "the -f value is empty");
        }
        const bool configured = options.has("-m") || options.has("-b") || options.has("-f");
        container.type = configured ? kSystemTableType : kSystemPlainType;
    } else {
        if (options.has("-p")) {
            const int port = checked_number(options.required("-p"), "-p value");
            if (port <= 0 || port > 65535) {
                throw Refusal(kUsage, "the -p value must be a port number, 1 to 65535");
            }
        }
        const bool configured = options.has("-p") || options.has("-b");
        container.type = configured ? kApplicationTableType : kApplicationPlainType;
    }
    if (options.has("-b")) {
        checked_name(options.required("-b"), "base");
    }
    for (const char *word : {"-m", "-p", "-b", "-f"}) {
        if (options.has(word)) {
            container.options.emplace_back(word, options.required(word));
        }
    }
    if (command.domain->containers.count(name) != 0) {
        throw Refusal(kExists, "container '" + name + "' exists already");
    }
    command.domain->containers.emplace(name, container);
    command.changed = true;
}

void destroy(Command &command) {
    const Options options(command.words, 1, {{"-n", true}});
    const std::string name = options.required("-n");
    const Container &container = named_container(command, name);
    if (container_status(container) != 0) {
        throw Refusal(kWrongState, "container '" + name + "' is " +
                                       status_word(container_status(container)) +
                                       "; stop it first");
    }
    remove_container(*command.domain, name);
    command.changed = true;
}

void info(Command &command) {
    const Options options(command.words, 1, {{"-n", true}});
    const Container &container = named_container(command, options.required("-n"));
    const int status = container_status(container);
    std::string &out = command.out;
    out +=
        (command.is_system() ? "TYPE " : "CONTAINER_TYPE ") + std::to_string(container.type) + "\n";
    out += "NAME " + container.name + "\n";
    out += std::string("STATUS ") + status_word(status) + "\n";
    out += "PID " + std::to_string(status != 0 ? container.main.pid : 0) + "\n";
    if (command.is_system()) {
        out += std::string("SHARED ") + (container.shared ? "yes" : "no") + "\n";
    }
    for (const auto &option : container.options) {
        out += "OPTION " + option.first + " " + option.second + "\n";
    }
    for (const Limit &limit : container.limits) {
        out += "LIMIT " + limit.kind + " " + limit.value;
        out += limit.app.empty() ? "" : " app " + limit.app;
        out += limit.group.empty() ? "" : " group " + limit.group;
        out += "\n";
    }
}

void start(Command &command) {
    const Options options(command.words, 1, {{"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    if (container_status(container) != 0) {
        throw Refusal(kWrongState, "container '" + container.name + "' is " +
                                       status_word(container_status(container)) + " already");
    }
    container.main = start_main_process();
    command.changed = true;
}

Container &running_container(Command &command, const char *action) {
    const Options options(command.words, 1, {{"-n", true}});
    Container &container = named_container(command, options.required("-n"));
    if (container_status(container) == 0) {
        throw Refusal(kWrongState,
                      "container '" + container.name + "' is not running; cannot " + action);
    }
    return container;
}

void stop(Command &command) {
    Container &container = running_container(command, "stop it");
    end_main_process(container.main);
    container.main = MainProcess{};
    command.changed = true;
}

void suspend(Command &command) {
    Container &container = running_container(command, "suspend it");
    if (container_status(container) == 2) {
        throw Refusal(kWrongState, "container '" + container.name + "' is suspended already");
    }
    suspend_main_process(container.main);
}

void resume(Command &command) {
    Container &container = running_container(command, "resume it");
    if (container_status(container) != 2) {
        throw Refusal(kWrongState, "container '" + container.name + "' is not suspended");
    }
    resume_main_process(container.main);
}

void getpid(Command &command) {
    const Container &container = running_container(command, "tell its main process");
    command.out = std::to_string(container.main.pid) + "\n";
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

Container &named_container(Command &command, const std::string &name) {
    const auto found = command.domain->containers.find(name);
    if (found == command.domain->containers.end()) {
        throw Refusal(kNotFound, "no container '" + name + "'");
    }
    return found->second;
}

int container_status(const Container &container) {
    return status_number(container.main);
}

void container_verb(Command &command) {
    const std::string &verb = command.words[0];
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
        command.exit_status = container_status(named_container(command, options.required("-n")));
    } else if (verb == "getpid") {
        getpid(command);
    } else if (verb == "suspend") {
        suspend(command);
    } else if (verb == "resume") {
        resume(command);
    } else if ((verb == "share" || verb == "unshare") && command.is_system()) {
        share(command, verb == "share");
    } else {
        throw Refusal(kUsage, "unknown verb '" + verb + "'");
    }
}

}  // namespace standin
