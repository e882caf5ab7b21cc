// How the runtime's tools refuse a command. A Refusal keeps apart what the exit status says
// (the kind of refusal), the errno of the system call that failed (0 when none), the message,
// and the refusal it wraps, if any; only the edge (main) prints it, as one line on standard
// error.
#pragma once

#include "zor_contract.h"

#include <exception>
#include <memory>
#include <string>

namespace zor {

// Exit statuses. Every refusal is ZOR_LOWEST_REFUSAL (101) or above, so that a refused status
// query can never be read as a container's status number (0 to ZOR_HIGHEST_STATUS).
enum ExitStatus : int {
    kUsage = ZOR_LOWEST_REFUSAL,  // unknown verb, missing, repeated or unexpected option, bad value
    kNotFound = 102,              // no such container, snapshot, base image, group, limit, process
    kExists = 103,                // the thing to be created exists already
    kWrongState = 104,            // not running, already running, not suspended, still in use
    kStateFailure = 105,          // the state directory cannot be read, written or locked
    kMigrationFailure = 106,      // a migration refused, broken, timed out or not restored
    kHostFailure = 107,           // runc missing or unusable, or the kernel refused what was asked
    kNeedsCheckpointer = 108,     // checkpoints and migration: no working CRIU on this host
    kPortTaken = 109,             // zor-target: something else listens on the port already
    kUnsafeState = 110            // the state directory, its record or lock is a link, or is
                                  // not the runtime user's alone (owner, group/other write)
};

class Refusal : public std::exception {
public:
    // A refusal of its own; with error_number, the line ends in ": " and strerror's text.
    Refusal(int status, std::string message, int error_number = 0);
    // A refusal of kind status caused by cause, which it keeps whole (status, errno and all).
    // The line is the cause's line, then "; " and note when note is not empty: the cause says
    // what failed, the note what that meant for the command.
    Refusal(int status, const Refusal &cause, std::string note = std::string());

    int status() const { return status_; }
    // The errno of the failed call (0: none), of this refusal or else of the first cause with one.
    int error_number() const;
    // This refusal's own message, without its cause or errno text.
    const std::string &message() const { return message_; }
    // The refusal this one wraps, or nullptr.
    const Refusal *cause() const { return cause_.get(); }
    // The whole line as the tool prints it.
    const char *what() const noexcept override { return line_.c_str(); }

private:
    int status_;
    int error_number_;
    std::string message_;
    std::shared_ptr<const Refusal> cause_;
    std::string line_;
};

}  // namespace zor
