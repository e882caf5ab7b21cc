// The runtime's records: every container, snapshot, base image and control group of one state
// directory, kept in one JSON file that is replaced whole (written to a temporary file, then
// renamed), so that a command killed at any point leaves the old or the new record, never half
// of one. A lock file serialises the commands that run at the same time. What the kernel and
// runc hold (processes, cgroups, mounts) is always asked of them, never of this record.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zor {

// Names the state directory; unset or empty: /var/lib/zor-runtime for root, else
// ${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}/zor-runtime-<uid>.
constexpr char kStateVariable[] = "ZOR_RUNTIME_STATE";

struct Limit {
    std::string kind;   // cpu, core, mem or memsw
    std::string value;  // as given: percent, cpuset text, MiB
};

// A process moved into a control group, with the cgroup it came from in each hierarchy
// (mount point to path), so that unbinding puts it back.
struct Binding {
    int pid = 0;
    std::map<std::string, std::string> origin;
};

struct Group {
    std::string name;
    std::vector<Limit> limits;
    std::vector<Binding> bound;
};

struct Snapshot {
    std::string name;
    unsigned long id = 0;
    long long created = 0;  // seconds since the epoch
    bool shared = false;
    std::vector<Limit> limits;
};

struct Container {
    std::string name;
    int type = 0;
    std::vector<std::pair<std::string, std::string>> options;  // as given to create
    std::string base;                                          // base image name
    bool base_is_builtin = true;                               // minimal, not a committed one
    std::string command;       // main process, run with /bin/sh -c; "" for the default
    std::string hostname;      // "" for the container's name
    int port = 0;              // application containers: handed over as PORT
    long long pids_limit = 0;  // pids=N of -f; 0 for the default
    bool overlay = false;      // root filesystem is an overlay (else a copy)
    bool shared = false;
    bool complete = true;  // false while create builds the root filesystem
    std::vector<Limit> limits;
    std::vector<Snapshot> snapshots;
    // Checkpoints (system containers only): the same record as a snapshot, their pictures in
    // the container's checkpoints/<tag>/ folder.
    std::vector<Snapshot> checkpoints;
    std::vector<Group> groups;
    std::vector<std::pair<int, int>> registered;  // pid, vpid
    // Its place on the host's network: an eth0 with this address and MAC, and the host ports
    // published to its ports. Records made before containers had a network have none.
    bool network = false;
    std::string address;  // A.B.C.D
    std::string mac;
    std::vector<std::pair<int, int>> published;  // host port, container port
};

struct Base {
    std::string name;
    long long created = 0;
};

// The records of one tool: zor-sys or zor-app. The two tools' names do not meet.
struct Domain {
    std::map<std::string, Container> containers;
    std::vector<Base> bases;
    std::vector<Group> groups;  // control groups of no container
    unsigned long next_id = 1;
};

struct State {
    Domain system;
    Domain application;
};

// The state directory this process uses (absolute).
std::string state_directory();

// Holds the lock of a state directory from construction to destruction; creates the directory
// when it is missing. Waits at most wait_seconds for a holder to finish, then refuses with
// kStateFailure. The kernel drops the lock of a process that dies, so a killed command never
// blocks the next.
class StateLock {
public:
    enum class Kind { kShared, kExclusive };
    StateLock(const std::string &directory, Kind kind, int wait_seconds);
    ~StateLock();
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;

private:
    int fd_ = -1;
};

// Reads the state of directory (empty when it has none yet); refuses a damaged file.
State load_state(const std::string &directory);

// Replaces the state of directory whole.
void save_state(const std::string &directory, const State &state);

// One container's record as JSON text, in the form the state file keeps it, and back;
// container_from_json refuses with kStateFailure when the text is damaged.
std::string container_to_json(const Container &container);
Container container_from_json(const std::string &text);

}  // namespace zor
