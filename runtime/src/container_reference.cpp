// Where a container lives, what runc says of it, and how it is taken down.
#include "container_reference.hpp"

#include "cgroups.hpp"
#include "command.hpp"
#include "container_network.hpp"
#include "filesystems.hpp"
#include "refusal.hpp"
#include "runc.hpp"

#include <signal.h>

#include <chrono>
#include <thread>
#include <utility>

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

const char *domain_folder(Domain::Kind kind) {
    return kind == Domain::Kind::kSystem ? "sys" : "app";
}

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

}  // namespace

std::string StateLayout::image_directory(Domain::Kind kind, const std::string &base) const {
    return directory_ + "/images/" + domain_folder(kind) + "/" + base;
}

std::string StateLayout::containers_directory(Domain::Kind kind) const {
    return directory_ + "/containers/" + domain_folder(kind);
}

std::string StateLayout::free_group_cgroup(const std::string &group) const {
    return Cgroups::free_group_root(state_tag(directory_)) + "/" + group;
}

ContainerRef::ContainerRef(const Host &host, Domain::Kind kind, std::string name)
    : host_(host), kind_(kind), name_(std::move(name)) {}

std::string ContainerRef::directory() const {
    return host_.layout().containers_directory(kind_) + "/" + name_;
}

std::string ContainerRef::cgroup() const {
    return Cgroups::container_path(state_tag(host_.directory()), is_system(), name_);
}

std::string ContainerRef::runc_id() const {
    return zor::runc_id(is_system(), name_);
}

std::string ContainerRef::snapshot_directory(const std::string &tag) const {
    return directory() + "/snapshots/" + tag;
}

std::string ContainerRef::checkpoint_directory(const std::string &tag) const {
    return directory() + "/checkpoints/" + tag;
}

std::string ContainerRef::base_image(const Container &container) const {
    if (container.base_is_builtin) {
        return minimal_image(host_.layout().minimal_image());
    }
    return host_.layout().image_directory(kind_, container.base) + "/rootfs";
}

int ContainerRef::status() const {
    const RuncInstance instance = host_.runc().state(runc_id());
    if (instance.status == "running") {
        return 1;
    }
    return instance.status == "paused" ? 2 : 0;
}

pid_t ContainerRef::main_pid() const {
    const RuncInstance instance = host_.runc().state(runc_id());
    if (instance.status != "running" && instance.status != "paused") {
        throw Refusal(kWrongState, "container '" + name_ + "' is not running");
    }
    return instance.pid;
}

bool ContainerRef::stop(Container &container, Ending ending) const {
    const Runc &runc = host_.runc();
    const std::string id = runc_id();
    bool changed = false;
    for (Group &group : container.groups) {
        for (const Binding &binding : group.bound) {
            Cgroups::move_back(binding.pid, binding.origin);
        }
        if (!group.bound.empty()) {
            group.bound.clear();
            changed = true;
        }
    }
    // Killed at once or frozen, its programs' connections must not be closed towards their
    // peers: a restored copy, or the copy that runs elsewhere, carries them on.
    if (ending != Ending::kGraceful) {
        release_container_network(*this, container);
    }
    if (ending != Ending::kFrozen) {
        RuncInstance instance = runc.state(id);
        if (instance.status == "paused") {
            runc.resume(id);
            instance = runc.state(id);
        }
        if (instance.status == "running" && ending == Ending::kAtOnce) {
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
    }
    const RuncInstance left = runc.state(id);
    if (left.exists || left.partial) {
        runc.remove(id, true);
    }
    release_container_network(*this, container);
    // What a start that was killed half-way can leave in the cgroup: runc's init process,
    // which no runc instance names any longer.
    const std::string path = cgroup();
    if (host_.cgroups().exists(path) && !host_.cgroups().kill_all(path)) {
        throw Refusal(kHostFailure, "processes in cgroup " + path + " do not end");
    }
    return changed;
}

void ContainerRef::take_down(Container &container, Ending ending) const {
    stop(container, ending);
    const std::string path = cgroup();
    if (!host_.cgroups().remove(path)) {
        throw Refusal(kHostFailure, "cannot remove cgroup " + path);
    }
    host_.cgroups().remove_parent_if_empty(path);
}

void ContainerRef::remove_from_host(Container &container, Ending ending) const {
    take_down(container, ending);
    remove_container_directory(directory());
}

}  // namespace zor
