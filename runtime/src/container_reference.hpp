// The one home of the state directory's layout and of a container's teardown.
//
// Layout of a state directory D (this file is the only one that spells it):
//   D/state.json, D/lock                 the records and their lock (state_store.cpp)
//   D/runc/                              runc's root: one instance per started container
//   D/criu-checks                        the CRIU binaries that passed `criu check`
//   D/images/minimal/rootfs              the built-in base image
//   D/images/<sys|app>/<base>/rootfs     base images made by commit
//   D/containers/<sys|app>/<name>/       a container: config.json, rootfs/, upper/ and work/
//                                        of an overlay, runc.log, restore-work/
//       snapshots/<tag>/                 a snapshot's changes
//       checkpoints/<tag>/               a checkpoint's picture (checkpoints.hpp)
//       outgoing/                        the picture a migration sends
//   D/incoming/<name>.<pid>/             what a zor-target receives
// A container's cgroup and runc id are named from D's tag, its domain and its name
// (cgroups.hpp, runc.hpp).
#pragma once

#include "state_store.hpp"

#include <sys/types.h>

#include <string>

namespace zor {

class Host;

// Where everything of one state directory lives, beyond a single container.
class StateLayout {
public:
    explicit StateLayout(std::string directory) : directory_(std::move(directory)) {}

    const std::string &directory() const { return directory_; }
    std::string runc_root() const { return directory_ + "/runc"; }
    // The root filesystem of the built-in base images (host adds the host's folders to it).
    std::string minimal_image() const { return directory_ + "/images/minimal/rootfs"; }
    // A base image's folder (its root filesystem is rootfs/ inside); not for built-in ones.
    std::string image_directory(Domain::Kind kind, const std::string &base) const;
    // The folder holding the containers of a domain.
    std::string containers_directory(Domain::Kind kind) const;
    // The cgroup of a control group of no container.
    std::string free_group_cgroup(const std::string &group) const;
    // Where zor-target keeps what it receives.
    std::string incoming_directory() const { return directory_ + "/incoming"; }

private:
    std::string directory_;
};

// How a container's programs end when it is stopped or taken down.
enum class Ending {
    kGraceful,  // SIGTERM, then SIGKILL after the grace period (stop, destroy)
    kAtOnce,    // SIGKILL at once: programs that are being replaced (restart, failed restore)
    kFrozen,    // killed as they are, frozen, never to run again (a migrated container)
};

// A container of one domain, by name: where its files, cgroup and runc instance are, what
// runc says of it, and how everything it has on the host is taken away.
class ContainerRef {
public:
    ContainerRef(const Host &host, Domain::Kind kind, std::string name);

    const Host &host() const { return host_; }
    const std::string &name() const { return name_; }
    Domain::Kind kind() const { return kind_; }
    bool is_system() const { return kind_ == Domain::Kind::kSystem; }

    std::string directory() const;
    std::string rootfs() const { return directory() + "/rootfs"; }
    // The cgroup path (relative to each hierarchy's mount), and that of one of its groups.
    std::string cgroup() const;
    std::string group_cgroup(const std::string &group) const { return cgroup() + "/" + group; }
    std::string runc_id() const;
    std::string snapshot_directory(const std::string &tag) const;
    std::string checkpoint_directory(const std::string &tag) const;
    // The picture a migration sends, beside the root filesystem, so that a sender killed
    // after the dump leaves it where resume, destroy and the next migrate take it away.
    std::string outgoing_picture() const { return directory() + "/outgoing"; }
    // The root filesystem of the base image the container was made from (the built-in one
    // is made on first use).
    std::string base_image(const Container &container) const;

    // Status number from runc's own state: 0 stopped, 1 running, 2 suspended.
    int status() const;
    // The main process on the host; refuses with kWrongState when the container does not run.
    pid_t main_pid() const;

    // Ends the container's programs as ending says and removes runc's instance; the processes
    // bound to its groups go back where they came from first (runc removes the container's
    // cgroups with it). Returns true when container's record changed (its bindings).
    bool stop(Container &container, Ending ending) const;
    // stop, then removes the container's cgroup (and the runtime's top cgroup once empty);
    // refuses with kHostFailure when the cgroup stays.
    void take_down(Container &container, Ending ending) const;
    // take_down, then the container's folder: nothing of it is left on the host but its
    // record, which the caller erases.
    void remove_from_host(Container &container, Ending ending) const;

private:
    const Host &host_;
    Domain::Kind kind_;
    std::string name_;
};

}  // namespace zor
