// Control groups with the processes bound to them, and the processes registered with an
// application container.
#include "main_process.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <algorithm>

namespace standin {

namespace {

// The group option: zor-sys introduces the group with -g, zor-app with -c in some verbs and
// -g in others; both letters mean the same here.
std::string group_name(const Options &options) {
    if (options.has("-g") && options.has("-c")) {
        throw Refusal(kUsage, "give the control group with -g or -c, not both");
    }
    if (!options.has("-g") && !options.has("-c")) {
        throw Refusal(kUsage, "option -g is missing");
    }
    return checked_name(options.has("-g") ? options.required("-g") : options.required("-c"),
                        "control group");
}

// The process a command names with -pid or -vpid; it must exist. Containers here have no
// process namespace of their own, so a virtual process number is the process number.
int process_number(const Options &options) {
    if (options.has("-pid") == options.has("-vpid")) {
        throw Refusal(kUsage, "give exactly one of -pid and -vpid");
    }
    const int pid =
        checked_number(options.has("-pid") ? options.required("-pid") : options.required("-vpid"),
                       "process number");
    ProcessStat stat;
    if (pid <= 0 || !read_process_stat(pid, stat) || stat.state == 'Z' || stat.state == 'X') {
        throw Refusal(kNotFound, "no process " + std::to_string(pid));
    }
    return pid;
}

std::string owner_of(Command &command, const Options &options) {
    return options.has("-n") ? named_container(command, options.required("-n")).name
                             : std::string();
}

std::string group_text(const std::string &owner, const std::string &name) {
    return "control group '" + name + "'" +
           (owner.empty() ? std::string() : " of container '" + owner + "'");
}

std::vector<Group>::iterator find_group(Command &command, const std::string &owner,
                                        const std::string &name) {
    auto &groups = command.domain->groups;
    return std::find_if(groups.begin(), groups.end(), [&](const Group &group) {
        return group.container == owner && group.name == name;
    });
}

Group &named_group(Command &command, const std::string &owner, const std::string &name) {
    const auto found = find_group(command, owner, name);
    if (found == command.domain->groups.end()) {
        throw Refusal(kNotFound, "no " + group_text(owner, name));
    }
    return *found;
}

void create_group(Command &command) {
    const Options options(command.words, 1, {{"-g", true}, {"-c", true}, {"-n", true}});
    const std::string name = group_name(options);
    const std::string owner = owner_of(command, options);
    if (find_group(command, owner, name) != command.domain->groups.end()) {
        throw Refusal(kExists, group_text(owner, name) + " exists already");
    }
    command.domain->groups.push_back(Group{owner, name, {}});
    command.changed = true;
}

void destroy_group(Command &command) {
    const Options options(command.words, 1, {{"-g", true}, {"-c", true}, {"-n", true}});
    const std::string name = group_name(options);
    const std::string owner = owner_of(command, options);
    const Group &group = named_group(command, owner, name);
    if (!group.bound.empty()) {
        throw Refusal(kWrongState, group_text(owner, name) + " still has " +
                                       std::to_string(group.bound.size()) + " bound process(es)");
    }
    command.domain->groups.erase(find_group(command, owner, name));
    command.changed = true;
}

void bind(Command &command, bool bind) {
    const Options options(
        command.words, 1,
        {{"-g", true}, {"-c", true}, {"-n", true}, {"-pid", true}, {"-vpid", true}});
    const std::string name = group_name(options);
    const std::string owner = owner_of(command, options);
    Group &group = named_group(command, owner, name);
    if (!bind && (options.has("-pid") == options.has("-vpid"))) {
        throw Refusal(kUsage, "give exactly one of -pid and -vpid");
    }
    // Unbinding needs no living process: one that has ended must still leave its group.
    const int pid = bind ? process_number(options)
                         : checked_number(options.has("-pid") ? options.required("-pid")
                                                              : options.required("-vpid"),
                                          "process number");
    const auto found = std::find(group.bound.begin(), group.bound.end(), pid);
    if (bind && found != group.bound.end()) {
        throw Refusal(kExists,
                      "process " + std::to_string(pid) + " is bound to " + group_text(owner, name));
    }
    if (!bind && found == group.bound.end()) {
        throw Refusal(kNotFound, "process " + std::to_string(pid) + " is not bound to " +
                                     group_text(owner, name));
    }
    if (bind) {
        group.bound.push_back(pid);
    } else {
        group.bound.erase(found);
    }
    command.changed = true;
}

void registration(Command &command, bool add) {
    const Options options(command.words, 1, {{"-n", true}, {"-pid", true}, {"-vpid", true}});
    Container &container = named_container(command, options.required("-n"));
    if (options.has("-pid") == options.has("-vpid")) {
        throw Refusal(kUsage, "give exactly one of -pid and -vpid");
    }
    const int pid = add ? process_number(options)
                        : checked_number(options.has("-pid") ? options.required("-pid")
                                                             : options.required("-vpid"),
                                         "process number");
    auto &registered = container.registered;
    const auto found =
        std::find_if(registered.begin(), registered.end(),
                     [&](const std::pair<int, int> &pair) { return pair.first == pid; });
    const std::string what =
        "process " + std::to_string(pid) + " with container '" + container.name + "'";
    if (add && found != registered.end()) {
        throw Refusal(kExists, what + " is registered already");
    }
    if (!add && found == registered.end()) {
        throw Refusal(kNotFound, what + " is not registered");
    }
    if (add) {
        registered.emplace_back(pid, pid);
    } else {
        registered.erase(found);
    }
    command.changed = true;
}

void pidlist(Command &command) {
    const Options options(command.words, 1, {{"-n", true}});
    const Container &container = named_container(command, options.required("-n"));
    for (const auto &pair : container.registered) {
        command.out += std::to_string(pair.first) + "," + std::to_string(pair.second) + "\n";
    }
}

}  // namespace

void group_verb(Command &command) {
    const std::string &verb = command.words[0];
    const bool application = !command.is_system();
    if (verb == "create") {
        create_group(command);
    } else if (verb == "destroy") {
        destroy_group(command);
    } else if (verb == "bind" || verb == "unbind") {
        bind(command, verb == "bind");
    } else if (application && (verb == "register" || verb == "unregister")) {
        registration(command, verb == "register");
    } else if (application && verb == "pidlist") {
        pidlist(command);
    } else {
        throw Refusal(kUsage, "unknown verb '" + verb + "'");
    }
}

}  // namespace standin
