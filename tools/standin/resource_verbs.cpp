// Resource limits kept per container (and application and control group), and usage read
// from the real figures of the processes concerned.
#include "main_process.hpp"
#include "options.hpp"
#include "proc_usage.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <algorithm>

namespace standin {

namespace {

constexpr const char *kKinds[] = {"cpu", "core", "mem", "memsw"};

std::string kind_of(const Command &command) {
    const std::string word = command.words.size() > 1 ? command.words[1] : "";
    for (const char *kind : kKinds) {
        if (word == std::string("--") + kind) {
            return kind;
        }
    }
    throw Refusal(kUsage, command.words[0] + " needs --cpu, --core, --mem or --memsw first");
}

// Cores are given as processors and ranges of them, "0-3,6".
bool is_core_list(const std::string &text) {
    std::size_t at = 0;
    for (;;) {
        const auto number = [&](long &value) {
            const std::size_t first = at;
            value = 0;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - first < 6) {
                value = value * 10 + (text[at++] - '0');
            }
            return at > first;
        };
        long low = 0;
        long high = 0;
        if (!number(low)) {
            return false;
        }
        if (at < text.size() && text[at] == '-') {
            ++at;
            if (!number(high) || high < low) {
                return false;
            }
        }
        if (at == text.size()) {
            return true;
        }
        if (text[at++] != ',') {
            return false;
        }
    }
}

std::string checked_value(const std::string &kind, const std::string &value) {
    if (kind == "core") {
        if (!is_core_list(value)) {
            throw Refusal(kUsage, "the core value '" + value + "' is not a list such as 0-3,6");
        }
        return value;
    }
    if (checked_number(value, "limit value") < 0) {
        throw Refusal(kUsage, "the " + kind + " limit must not be negative");
    }
    return value;
}

std::string group_option(const Options &options) {
    if (options.has("-g") && options.has("-c")) {
        throw Refusal(kUsage, "give the control group with -g or -c, not both");
    }
    return options.has("-g") ? options.required("-g") : options.optional("-c");
}

void check_group(const Command &command, const std::string &container, const std::string &group) {
    const auto &groups = command.domain->groups;
    if (!group.empty() && std::none_of(groups.begin(), groups.end(), [&](const Group &candidate) {
            return candidate.container == container && candidate.name == group;
        })) {
        throw Refusal(kNotFound,
                      "no control group '" + group + "'" +
                          (container.empty() ? "" : " of container '" + container + "'"));
    }
}

void set_limit(Command &command, bool set) {
    const std::string kind = kind_of(command);
    const std::size_t from = set ? 3 : 2;
    if (set && command.words.size() < 3) {
        throw Refusal(kUsage, "limit --" + kind + " needs a value");
    }
    const Options options =
        command.is_system()
            ? Options(command.words, from, {{"-n", true}, {"-a", true}, {"-g", true}, {"-c", true}})
            : Options(command.words, from, {{"-n", true}, {"-g", true}, {"-c", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::string app =
        options.has("-a") ? checked_name(options.required("-a"), "application") : std::string();
    const std::string group = group_option(options);
    check_group(command, container.name, group);
    auto &limits = container.limits;
    const auto found = std::find_if(limits.begin(), limits.end(), [&](const Limit &limit) {
        return limit.kind == kind && limit.app == app && limit.group == group;
    });
    if (set) {
        const std::string value = checked_value(kind, command.words[2]);
        if (found != limits.end()) {
            found->value = value;
        } else {
            limits.push_back(Limit{app, group, kind, value});
        }
    } else {
        if (found == limits.end()) {
            throw Refusal(kNotFound, "container '" + container.name + "' has no " + kind +
                                         " limit there to lift");
        }
        limits.erase(found);
    }
    command.changed = true;
}

ProcessUsage usage_of(pid_t pid) {
    ProcessUsage usage;
    if (!read_process_usage(pid, usage)) {
        throw Refusal(kNotFound, "no process " + std::to_string(pid));
    }
    return usage;
}

// The processes whose figures a usage query adds up.
std::vector<pid_t> usage_processes(Command &command, const Options &options) {
    const Container *container = nullptr;
    if (options.has("-n")) {
        container = &named_container(command, options.required("-n"));
    }
    const std::string group = options.optional("-g");
    if (options.has("-g")) {
        check_group(command, container != nullptr ? container->name : "", group);
    }
    if (options.has("-pid") && options.has("-vpid")) {
        throw Refusal(kUsage, "give -pid or -vpid, not both");
    }
    // Containers here have no process namespace of their own: a virtual process number is
    // the process number.
    for (const char *word : {"-pid", "-vpid"}) {
        if (options.has(word)) {
            const int pid = checked_number(options.required(word), "process number");
            if (pid <= 0) {
                throw Refusal(kUsage, "the process number must be above 0");
            }
            return {pid};
        }
    }
    if (options.has("-a")) {
        const std::string &app = options.required("-a");
        const auto &apps = command.state->application.containers;
        const auto found = apps.find(app);
        if (found == apps.end() || container_status(found->second) == 0) {
            throw Refusal(kNotFound, "no running application container '" + app + "'");
        }
        return {found->second.main.pid};
    }
    if (container != nullptr) {
        if (container_status(*container) == 0) {
            throw Refusal(kWrongState, "container '" + container->name + "' is not running");
        }
        return {container->main.pid};
    }
    if (options.has("-g")) {
        for (const Group &candidate : command.domain->groups) {
            if (candidate.container.empty() && candidate.name == group &&
                !candidate.bound.empty()) {
                return {candidate.bound.begin(), candidate.bound.end()};
            }
        }
        throw Refusal(kWrongState, "no process is bound to control group '" + group + "'");
    }
    throw Refusal(kUsage, "usage needs a container, a control group or a process");
}

void usage(Command &command) {
    const std::string kind = kind_of(command);
    const Options options =
        command.is_system()
            ? Options(command.words, 2,
                      {{"-n", true}, {"-a", true}, {"-pid", true}, {"-vpid", true}})
            : Options(command.words, 2,
                      {{"-n", true}, {"-g", true}, {"-pid", true}, {"-vpid", true}});
    ProcessUsage total;
    for (const pid_t pid : usage_processes(command, options)) {
        const ProcessUsage one = usage_of(pid);
        total.cpu_milliseconds += one.cpu_milliseconds;
        total.resident_kib += one.resident_kib;
        total.swap_kib += one.swap_kib;
        if (total.cores.empty()) {
            total.cores = one.cores;
        }
    }
    if (kind == "cpu") {
        command.out = std::to_string(total.cpu_milliseconds);
    } else if (kind == "mem") {
        command.out = std::to_string(total.resident_kib);
    } else if (kind == "memsw") {
        command.out = std::to_string(total.resident_kib + total.swap_kib);
    } else {
        command.out = total.cores;
    }
    command.out += "\n";
}

}  // namespace

void resource_verb(Command &command) {
    const std::string &verb = command.words[0];
    if (verb == "limit" || verb == "unlimit") {
        set_limit(command, verb == "limit");
    } else if (verb == "usage") {
        usage(command);
    } else {
        throw Refusal(kUsage, "unknown verb '" + verb + "'");
    }
}

}  // namespace standin
