// Limits written to the kernel's control groups (and kept, so that a container that starts
// again gets them back), and usage read from the kernel's counters.
#include "options.hpp"
#include "process_figures.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <algorithm>

namespace zor {

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
    if (checked_number(value, "limit value") <= 0) {
        throw Refusal(kUsage, "the " + kind + " limit must be above 0");
    }
    return value;
}

std::string group_option(const Options &options) {
    if (options.has("-g") && options.has("-c")) {
        throw Refusal(kUsage, "give the control group with -g or -c, not both");
    }
    return options.has("-g") ? options.required("-g") : options.optional("-c");
}

Group &named_group(std::vector<Group> &groups, const std::string &name, const std::string &owner) {
    const auto found = std::find_if(groups.begin(), groups.end(),
                                    [&](const Group &group) { return group.name == name; });
    if (found == groups.end()) {
        throw Refusal(kNotFound, "no control group '" + name + "'" +
                                     (owner.empty() ? "" : " of container '" + owner + "'"));
    }
    return *found;
}

// Where a limit goes: the records that keep it and the cgroup it is written to.
struct LimitTarget {
    std::vector<Limit> *limits;
    std::string cgroup;
};

LimitTarget limit_target(Command &command, const Options &options) {
    const bool system = command.is_system();
    Container &container = named_container(command, options.required("-n"));
    const std::string group = group_option(options);
    if (options.has("-a")) {
        if (!group.empty()) {
            throw Refusal(kUsage, "give an application or a control group, not both");
        }
        const std::string &app = checked_name(options.required("-a"), "application");
        auto &apps = command.state->application.containers;
        const auto found = apps.find(app);
        if (found == apps.end()) {
            throw Refusal(kNotFound, "no application container '" + app + "'");
        }
        return {&found->second.limits, container_cgroup(command, false, app)};
    }
    const std::string path = container_cgroup(command, system, container.name);
    if (!group.empty()) {
        Group &named = named_group(container.groups, group, container.name);
        return {&named.limits, path + "/" + named.name};
    }
    return {&container.limits, path};
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
    const LimitTarget target = limit_target(command, options);
    auto &limits = *target.limits;
    const auto found = std::find_if(limits.begin(), limits.end(),
                                    [&](const Limit &limit) { return limit.kind == kind; });
    const std::string value = set ? checked_value(kind, command.words[2]) : std::string();
    if (!set && found == limits.end()) {
        throw Refusal(kNotFound, "no " + kind + " limit there to lift");
    }
    // The kernel first: a value it refuses is not recorded.
    if (command.cgroups().exists(target.cgroup)) {
        command.cgroups().set_limit(target.cgroup, kind, value);
    }
    if (!set) {
        limits.erase(found);
    } else if (found != limits.end()) {
        found->value = value;
    } else {
        limits.push_back(Limit{kind, value});
    }
    command.changed = true;
}

std::string process_usage(pid_t pid, const std::string &kind) {
    ProcessFigures figures;
    if (!read_process_figures(pid, figures)) {
        throw Refusal(kNotFound, "no process " + std::to_string(pid));
    }
    if (kind == "cpu") {
        return std::to_string(figures.cpu_milliseconds);
    }
    if (kind == "mem") {
        return std::to_string(figures.resident_kib);
    }
    if (kind == "memsw") {
        return std::to_string(figures.resident_kib + figures.swap_kib);
    }
    return figures.cores;
}

std::string usage_of(Command &command, const std::string &kind, const Options &options) {
    const bool system = command.is_system();
    if (options.has("-pid") && options.has("-vpid")) {
        throw Refusal(kUsage, "give -pid or -vpid, not both");
    }
    const Container *container =
        options.has("-n") ? &named_container(command, options.required("-n")) : nullptr;
    if (options.has("-pid") || options.has("-vpid")) {
        const bool virtual_number = options.has("-vpid");
        const int number =
            checked_number(options.required(virtual_number ? "-vpid" : "-pid"), "process number");
        if (number <= 0) {
            throw Refusal(kUsage, "the process number must be above 0");
        }
        if (virtual_number && container == nullptr) {
            throw Refusal(kUsage, "-vpid needs the container (-n)");
        }
        const pid_t pid =
            virtual_number ? host_pid_of(command, system, *container, number) : number;
        return process_usage(pid, kind);
    }
    std::string path;
    if (options.has("-a")) {
        const std::string &app = options.required("-a");
        if (command.state->application.containers.count(app) == 0) {
            throw Refusal(kNotFound, "no application container '" + app + "'");
        }
        path = container_cgroup(command, false, app);
    } else if (options.has("-g")) {
        const std::string &group = options.required("-g");
        if (container != nullptr) {
            auto &groups = named_container(command, container->name).groups;
            path = container_cgroup(command, system, container->name) + "/" +
                   named_group(groups, group, container->name).name;
        } else {
            path = Cgroups::free_group_root(state_tag(command.directory)) + "/" +
                   named_group(command.domain->groups, group, "").name;
        }
    } else if (container != nullptr) {
        path = container_cgroup(command, system, container->name);
    } else {
        throw Refusal(kUsage, "usage needs a container, a control group or a process");
    }
    if (!command.cgroups().exists(path)) {
        throw Refusal(kWrongState, "nothing runs in cgroup " + path);
    }
    return command.cgroups().usage(path, kind);
}

void usage(Command &command) {
    const std::string kind = kind_of(command);
    const Options options =
        command.is_system()
            ? Options(command.words, 2,
                      {{"-n", true}, {"-a", true}, {"-pid", true}, {"-vpid", true}})
            : Options(command.words, 2,
                      {{"-n", true}, {"-g", true}, {"-pid", true}, {"-vpid", true}});
    command.out = usage_of(command, kind, options) + "\n";
}

// Kinds in the order the kernel takes them: memory before memory plus swap.
void set_all(const Cgroups &cgroups, const std::string &path, const std::vector<Limit> &limits) {
    for (const char *kind : kKinds) {
        for (const Limit &limit : limits) {
            if (limit.kind == kind) {
                cgroups.set_limit(path, limit.kind, limit.value);
            }
        }
    }
}

}  // namespace

void apply_cgroup_records(Command &command, bool system, const Container &container) {
    const Cgroups &cgroups = command.cgroups();
    const std::string path = container_cgroup(command, system, container.name);
    set_all(cgroups, path, container.limits);
    for (const Group &group : container.groups) {
        cgroups.make(path + "/" + group.name);
        set_all(cgroups, path + "/" + group.name, group.limits);
    }
}

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

std::string checked_limit(const std::string &kind, const std::string &value) {
    if (std::find(std::begin(kKinds), std::end(kKinds), kind) == std::end(kKinds)) {
        throw Refusal(kUsage, "no limit of kind '" + kind + "'");
    }
    return checked_value(kind, value);
}

}  // namespace zor
