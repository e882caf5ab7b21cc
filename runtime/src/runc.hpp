// runc, the OCI runtime that runs the containers, with a state root of the runtime's own
// (runc --root), so that the runtime sees only its own instances and no other user of runc
// sees them.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace zor {

// Names the runc program to use; unset or empty: runc on PATH, then /usr/sbin/runc.
constexpr char kRuncVariable[] = "ZOR_RUNTIME_RUNC";

// An instance as runc reports it.
struct RuncInstance {
    bool exists = false;
    bool partial = false;  // runc's directory without a state: a create that was killed
    std::string status;    // created, running, paused, stopped
    pid_t pid = 0;         // the main process on the host (0 when stopped)
};

class Runc {
public:
    // Refuses with kHostFailure, in one line, when there is no runc.
    explicit Runc(std::string root);

    RuncInstance state(const std::string &id) const;
    // Creates the instance from bundle, its standard streams on /dev/null; the main process
    // waits for start(). runc's own messages go to log.
    void create(const std::string &id, const std::string &bundle, const std::string &log) const;
    void start(const std::string &id) const;
    // create and start in one (runc run --detach).
    void run(const std::string &id, const std::string &bundle, const std::string &log) const;
    // Sends a signal to the main process; false when it could not (it has ended, say).
    bool kill(const std::string &id, int signal) const;
    // Removes the instance (force: whatever it runs is killed first). Quiet when it is gone.
    void remove(const std::string &id, bool force) const;
    void pause(const std::string &id) const;
    void resume(const std::string &id) const;
    // Dumps the instance's process tree with CRIU (criu: its absolute path) into images,
    // leaving it as it was (a paused instance stays paused). CRIU writes dump.log into work.
    // Refuses with kHostFailure, giving CRIU's last error.
    void checkpoint(const std::string &id, const std::string &criu, const std::string &images,
                    const std::string &work) const;
    // Makes the instance anew from bundle and the images of a checkpoint, running, its
    // standard streams on /dev/null. CRIU writes restore.log into work. Refuses with
    // kHostFailure, giving CRIU's last error.
    void restore(const std::string &id, const std::string &criu, const std::string &bundle,
                 const std::string &images, const std::string &work) const;
    // The ids of every instance under the root.
    std::vector<std::string> list() const;

    const std::string &program() const { return program_; }
    const std::string &root() const { return root_; }

private:
    std::string program_;
    std::string root_;
    void run_checked(const std::vector<std::string> &words, const char *what) const;
    void create_or_run(const char *how, const std::string &id, const std::string &bundle,
                       const std::string &log) const;
};

// What the runtime reads of the state.json that runc keeps for an instance.
struct RuncStateFile {
    int pid = 0;                                      // the init process
    unsigned long long start = 0;                     // its start time after boot, in clock ticks
    std::map<std::string, std::string> cgroup_paths;  // controller ("" for v2) to directory
};

// Parses runc's state.json text; false when it is not one (damaged, or a field of the wrong
// type), so that the caller asks runc itself.
bool parse_runc_state_file(const std::string &text, RuncStateFile &file);

// The runc instance id of a container: "s-" or "a-" and the name, with each byte outside
// [A-Za-z0-9_.-] written as "+XX", since runc takes only those characters.
std::string runc_id(bool system, const std::string &name);

}  // namespace zor
