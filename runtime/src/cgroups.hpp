// The kernel's control groups as the runtime lays them out and uses them, on the cgroup v1
// layout (one hierarchy per controller, a cgroup2 beside them or not) and on a pure v2 layout.
//
// Layout: a container's cgroup is "/zor.<state>.<s|a>:ns,:/<name>" in every hierarchy, where
// <state> tells state directories apart and s/a system from application containers. The text
// ":ns," and the name after the last ":/" let a process inside find its container's name in
// the first line of /proc/self/cgroup. Control groups of a container are directories below
// its cgroup; control groups of no container live under "/zor.<state>.g".
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zor {

struct Hierarchy {
    std::string mount;                     // /sys/fs/cgroup/memory, /sys/fs/cgroup/unified, ...
    bool unified = false;                  // cgroup2
    std::vector<std::string> controllers;  // v1: memory, cpu, ...; name=systemd counts as none
};

class Cgroups {
public:
    // Reads the mounted hierarchies; refuses with kHostFailure when none is mounted.
    Cgroups();

    // True when the controllers live in cgroup2 (no v1 controller hierarchy is mounted).
    bool pure_v2() const { return pure_v2_; }
    const std::vector<Hierarchy> &hierarchies() const { return hierarchies_; }

    // Paths (relative to each hierarchy's mount) of the layout described above.
    static std::string container_path(const std::string &state_id, bool system,
                                      const std::string &name);
    static std::string free_group_root(const std::string &state_id);

    // Makes path in every hierarchy (v1 cpuset: with the parent's processors and memory
    // nodes, without which no process may join); refuses with kHostFailure.
    void make(const std::string &path) const;
    // Removes path and everything below it in every hierarchy; processes must have left.
    // Returns false when a directory stayed.
    bool remove(const std::string &path) const;
    // Removes path's parent in every hierarchy where it is empty (the runtime's own top
    // cgroups, once their last container or group has gone).
    void remove_parent_if_empty(const std::string &path) const;
    // True when path exists in the hierarchy of controller (or in any, for "").
    bool exists(const std::string &path, const std::string &controller = "") const;
    // The processes in path (not below it).
    std::vector<pid_t> processes(const std::string &path) const;
    // Kills (SIGKILL) every process in path and below it, and waits (bounded) until they have
    // gone; true when none is left.
    bool kill_all(const std::string &path) const;
    // Moves pid into path in every hierarchy where path exists.
    void move(pid_t pid, const std::string &path) const;
    // Moves pid to where origin says (mount point to path), as cgroup_paths of it gave.
    static void move_back(pid_t pid, const std::map<std::string, std::string> &origin);
    // Mount point to cgroup path of pid in every hierarchy; empty when pid is gone.
    std::map<std::string, std::string> cgroup_paths(pid_t pid) const;

    // Sets (or, with an empty value, lifts) a limit of kind cpu, core, mem or memsw on path:
    // cpu in percent of one processor, core a cpuset text, mem and memsw in MiB.
    void set_limit(const std::string &path, const std::string &kind,
                   const std::string &value) const;
    // What the kernel counts for path: cpu in ms, mem and memsw in KiB, core the processors.
    std::string usage(const std::string &path, const std::string &kind) const;

    // The file of a controller below path, as the host sees it ("" when the controller is not
    // mounted). Tests read limits through it.
    std::string file(const std::string &path, const std::string &controller,
                     const std::string &name) const;

private:
    std::vector<Hierarchy> hierarchies_;
    bool pure_v2_ = false;
    const Hierarchy *hierarchy_of(const std::string &controller) const;
    std::string read(const std::string &path, const std::string &controller,
                     const std::string &name) const;
    void write(const std::string &path, const std::string &controller, const std::string &name,
               const std::string &value) const;
};

// The cgroup hierarchies that a /proc/PID/mountinfo text lists, each mount point once.
std::vector<Hierarchy> hierarchies_in_mountinfo(const std::string &mountinfo);

// A short stable tag of a state directory, for cgroup paths.
std::string state_tag(const std::string &directory);

}  // namespace zor
