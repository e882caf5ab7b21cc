// The stateful stand-ins' records: every container, snapshot, checkpoint, base image and
// control group of one state directory, kept in one line-based text file that is replaced
// whole (written to a temporary file, then renamed) so that a crash never leaves half a
// record. A lock file serialises the commands that run at the same time.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace standin {

// Names the state directory; unset or empty: ${TMPDIR:-/tmp}/zor-standin-<uid>.
constexpr char kStateVariable[] = "ZOR_STANDIN_STATE";

// A container's main process, identified by its number and its start time (in clock ticks
// after boot, as /proc shows it), so that a number the kernel has given to another process
// since is never taken for it.
struct MainProcess {
    pid_t pid = 0;
    unsigned long long start_time = 0;
};

struct Limit {
    std::string app;    // the application container it applies to ("" for none)
    std::string group;  // the control group it applies to ("" for none)
    std::string kind;   // cpu, core, mem or memsw
    std::string value;
};

// What a snapshot or checkpoint keeps of a container.
struct Record {
    std::string name;
    unsigned long id = 0;
    long long created = 0;  // seconds since the epoch
    int run_state = 0;      // checkpoints: the status number when it was taken
    bool shared = false;
    std::vector<Limit> limits;
};

struct Container {
    std::string name;
    int type = 0;
    std::vector<std::pair<std::string, std::string>> options;  // as given to create
    bool shared = false;
    MainProcess main;  // pid 0: none started
    std::vector<Limit> limits;
    std::vector<Record> snapshots;
    std::vector<Record> checkpoints;
    std::vector<std::pair<int, int>> registered;  // pid, vpid
};

struct Base {
    std::string name;
    std::string container;
    std::string snapshot;
    long long created = 0;
};

struct Group {
    std::string container;  // "" for a group of no container
    std::string name;
    std::vector<int> bound;  // process numbers
};

// The records of one tool: zor-sys (and zor-target, which receives system containers) or
// zor-app. The two tools' names do not meet.
struct Domain {
    std::map<std::string, Container> containers;
    std::vector<Base> bases;
    std::vector<Group> groups;
    unsigned long next_id = 1;
};

struct State {
    Domain system;
    Domain application;
};

// Removes the container name and its control groups from domain; base images made from it
// stay.
void remove_container(Domain &domain, const std::string &name);

// The state directory this process uses.
std::string state_directory();

// Holds the lock of a state directory from construction to destruction; creates the
// directory when it is missing. Waits at most wait_seconds for a holder to finish, then
// refuses with kStateFailure.
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

// One container, with the groups that belong to it, as the lines of the state file; and
// back. The migration sends exactly this text.
std::string container_text(const Container &container, const std::vector<Group> &groups);
bool parse_container_text(const std::string &text, Container &container,
                          std::vector<Group> &groups);

}  // namespace standin
