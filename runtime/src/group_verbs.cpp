// Control groups as real cgroups below a container's (or under the runtime's own root for
// groups of no container), the processes bound to them, and the processes registered with an
// application container.
#include "options.hpp"
#include "process_figures.hpp"
#include "refusal.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

#include <algorithm>

namespace zor {

namespace {

// zor-sys introduces the group with -g, zor-app with -c in some verbs and -g in others; both
// letters mean the same here.
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

// A group with where its records and its cgroup are.
struct GroupPlace {
    Container *owner = nullptr;  // null for a group of no container
    std::vector<Group> *groups = nullptr;
    std::string name;
    std::string cgroup;

    std::string text() const {
        return "control group '" + name + "'" +
               (owner == nullptr ? std::string() : " of container '" + owner->name + "'");
    }
    Group *find() const {
        const auto found = std::find_if(groups->begin(), groups->end(),
                                        [&](const Group &group) { return group.name == name; });
        return found == groups->end() ? nullptr : &*found;
    }
    Group &named() const {
        Group *group = find();
        if (group == nullptr) {
            throw Refusal(kNotFound, "no " + text());
        }
        return *group;
    }
};

GroupPlace place_of(Command &command) {
    const Options &options = command.options();
    GroupPlace place;
    place.name = group_name(options);
    if (options.has(ZOR_OPTION_NAME)) {
        place.owner = &command.named_container();
        place.groups = &place.owner->groups;
        place.cgroup = command.reference(place.owner->name).group_cgroup(place.name);
    } else {
        place.groups = &command.domain().groups;
        place.cgroup = command.host.layout().free_group_cgroup(place.name);
    }
    return place;
}

// The host process a command names with -pid, or with -vpid inside the group's container.
pid_t named_process(Command &command, const Container *owner, bool must_live) {
    const Options &options = command.options();
    if (options.has("-pid") == options.has("-vpid")) {
        throw Refusal(kUsage, "give exactly one of -pid and -vpid");
    }
    const bool virtual_number = options.has("-vpid");
    const int number =
        checked_number(options.required(virtual_number ? "-vpid" : "-pid"), "process number");
    if (number <= 0) {
        throw Refusal(kUsage, "the process number must be above 0");
    }
    if (virtual_number) {
        if (owner == nullptr) {
            throw Refusal(kUsage, "-vpid needs the container (-n)");
        }
        return host_pid_of(command.host, command.reference(owner->name), number);
    }
    if (must_live && !process_alive(number)) {
        throw Refusal(kNotFound, "no process " + std::to_string(number));
    }
    return number;
}

}  // namespace

void run_create_group(Command &command) {
    const GroupPlace place = place_of(command);
    if (place.find() != nullptr) {
        throw Refusal(kExists, place.text() + " exists already");
    }
    // A container's groups exist in the kernel while it runs; start makes them again.
    const std::string parent = place.cgroup.substr(0, place.cgroup.rfind('/'));
    if (place.owner == nullptr || command.host.cgroups().exists(parent)) {
        command.host.cgroups().make(place.cgroup);
    }
    place.groups->push_back(Group{place.name, {}, {}});
    command.changed = true;
}

void run_destroy_group(Command &command) {
    const GroupPlace place = place_of(command);
    const Group &group = place.named();
    const std::size_t inside = command.host.cgroups().processes(place.cgroup).size();
    if (inside != 0) {
        throw Refusal(kWrongState,
                      place.text() + " still holds " + std::to_string(inside) + " process(es)");
    }
    if (!command.host.cgroups().remove(place.cgroup)) {
        throw Refusal(kHostFailure, "cannot remove cgroup " + place.cgroup);
    }
    if (place.owner == nullptr) {
        command.host.cgroups().remove_parent_if_empty(place.cgroup);
    }
    place.groups->erase(place.groups->begin() + (&group - place.groups->data()));
    command.changed = true;
}

namespace {

void bind(Command &command, bool bind) {
    const GroupPlace place = place_of(command);
    Group &group = place.named();
    // Unbinding needs no living process: one that has ended must still leave its group.
    const pid_t pid = named_process(command, place.owner, bind);
    const auto found = std::find_if(group.bound.begin(), group.bound.end(),
                                    [&](const Binding &binding) { return binding.pid == pid; });
    const std::string what = "process " + std::to_string(pid);
    if (bind) {
        if (found != group.bound.end()) {
            throw Refusal(kExists, what + " is bound to " + place.text());
        }
        if (!command.host.cgroups().exists(place.cgroup)) {
            throw Refusal(kWrongState, place.text() +
                                           " has no cgroup: the container is not "
                                           "running");
        }
        Binding binding{pid, command.host.cgroups().cgroup_paths(pid)};
        command.host.cgroups().move(pid, place.cgroup);
        group.bound.push_back(binding);
    } else {
        if (found == group.bound.end()) {
            throw Refusal(kNotFound, what + " is not bound to " + place.text());
        }
        Cgroups::move_back(pid, found->origin);
        group.bound.erase(found);
    }
    command.changed = true;
}

void registration(Command &command, bool add) {
    const Options &options = command.options();
    Container &container = command.named_container();
    if (options.has("-pid") == options.has("-vpid")) {
        throw Refusal(kUsage, "give exactly one of -pid and -vpid");
    }
    auto &registered = container.registered;
    const bool virtual_number = options.has("-vpid");
    const int number =
        checked_number(options.required(virtual_number ? "-vpid" : "-pid"), "process number");
    const std::string what = (virtual_number ? "virtual process " : "process ") +
                             std::to_string(number) + " of container '" + container.name + "'";
    if (!add) {
        const auto found = std::find_if(
            registered.begin(), registered.end(), [&](const std::pair<int, int> &pair) {
                return (virtual_number ? pair.second : pair.first) == number;
            });
        if (found == registered.end()) {
            throw Refusal(kNotFound, what + " is not registered");
        }
        registered.erase(found);
        command.changed = true;
        return;
    }
    const pid_t pid = named_process(command, &container, true);
    const pid_t vpid = virtual_number ? number : namespace_pid(pid);
    if (std::any_of(registered.begin(), registered.end(),
                    [&](const std::pair<int, int> &pair) { return pair.first == pid; })) {
        throw Refusal(kExists, what + " is registered already");
    }
    registered.emplace_back(pid, vpid);
    command.changed = true;
}

}  // namespace

void run_bind(Command &command) {
    bind(command, true);
}

void run_unbind(Command &command) {
    bind(command, false);
}

void run_register(Command &command) {
    registration(command, true);
}

void run_unregister(Command &command) {
    registration(command, false);
}

void run_pidlist(Command &command) {
    const Container &container = command.named_container();
    for (const auto &pair : container.registered) {
        command.out += std::to_string(pair.first) + "," + std::to_string(pair.second) + "\n";
    }
}

}  // namespace zor
