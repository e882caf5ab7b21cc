// How the runtime's tools refuse a command: the exit status says what kind of refusal it is,
// the message goes to standard error as one line.
#pragma once

#include <stdexcept>
#include <string>

namespace zor {

// Exit statuses. Every refusal is 101 or above, so that a refused status query can never be
// read as a container's status number (0 to 100).
enum ExitStatus : int {
    kUsage = 101,              // unknown verb, missing, repeated or unexpected option, bad value
    kNotFound = 102,           // no such container, snapshot, base image, group, limit, process
    kExists = 103,             // the thing to be created exists already
    kWrongState = 104,         // not running, already running, not suspended, still in use
    kStateFailure = 105,       // the state directory cannot be read, written or locked
    kMigrationFailure = 106,   // a migration refused, broken, timed out or not restored
    kHostFailure = 107,        // runc missing or unusable, or the kernel refused what was asked
    kNeedsCheckpointer = 108,  // checkpoints and migration: no working CRIU on this host
    kPortTaken = 109,          // zor-target: something else listens on the port already
    kUnsafeState = 110         // the state directory, its record or lock is a link, or is
                               // not the runtime user's alone (owner, group/other write)
};

class Refusal : public std::runtime_error {
public:
    Refusal(int status, const std::string &message)
        : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

}  // namespace zor
