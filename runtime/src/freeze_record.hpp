// Who froze a container. A command that pauses a container to copy or dump it (save,
// checkpoint, restart, migrate) writes a freeze record into the container's folder first:
// its process number and the start time the kernel gives that process, so that a number the
// kernel hands to another process later is not taken for it. The record goes once the
// container runs again. A later command that finds a record whose process has gone thaws the
// container before anything else; a container the user suspended has no record and stays
// suspended.
#pragma once

#include "runc.hpp"
#include "verbs.hpp"

#include <sys/types.h>

#include <string>

namespace zor {

// A process as the kernel knows it: its number and its start time in clock ticks since boot.
struct ProcessIdentity {
    pid_t pid = 0;
    unsigned long long start = 0;
};

// This process.
ProcessIdentity this_process();
// True while the process lives (its number names a process started at the same moment).
bool is_alive(const ProcessIdentity &process);

// The freeze record of one container, written by the constructor (before the caller pauses
// it). release() removes it once the container runs again; a record not released stays, so
// that if the caller dies with the container frozen, the next command thaws it.
class FreezeRecord {
public:
    explicit FreezeRecord(const std::string &container_directory);
    ~FreezeRecord() = default;
    FreezeRecord(const FreezeRecord &) = delete;
    FreezeRecord &operator=(const FreezeRecord &) = delete;

    // A migrate is about to tell the receiver to keep the container (recorded by this
    // command in container_directory): from now on, a dead sender's frozen copy must not run
    // again, since another may run on the receiver.
    static void mark_handed_over(const std::string &container_directory);
    // The receiver has the commit: the copy here is to be removed, by the next command if
    // this one dies first.
    static void mark_committed(const std::string &container_directory);
    // The container runs again (or is gone): the record is removed.
    void release() const;
    // The same for the record of container_directory, written by an earlier FreezeRecord
    // of this command.
    static void release_of(const std::string &container_directory);

private:
    std::string path_;
};

// A running container paused, with its freeze record, for the life of this object.
class FrozenContainer {
public:
    FrozenContainer(const std::string &container_directory, const Runc &runc, std::string id);
    // Resumes the container unless thaw() did; when that fails, the record stays for the next
    // command (the failure that brought the caller here says more).
    ~FrozenContainer();
    FrozenContainer(const FrozenContainer &) = delete;
    FrozenContainer &operator=(const FrozenContainer &) = delete;

    // Resumes the container and removes the record; refuses as runc resume does.
    void thaw() const;

private:
    FreezeRecord record_;
    const Runc &runc_;
    std::string id_;
    mutable bool thawed_ = false;
};

// What settle_freeze did.
enum class Thaw {
    kNone,        // no record, or its process lives
    kThawed,      // frozen by a process that has gone: resumed
    kHandedOver,  // left suspended: a migrate that died had handed it over already
    kCommitted,   // a migrate that died had committed: the copy here is to be removed
};

// Looks for a freeze record in container_directory whose process has gone; thaws the
// container (runc id of runc) if it is still paused and removes the record. The caller holds
// the state lock.
Thaw settle_freeze(const std::string &container_directory, const Runc &runc, const std::string &id);

// True when a container of the command's domain has a freeze record; asked without the lock,
// so that only then does a command take the exclusive lock to settle them.
bool has_any_freeze_record(const Command &command);

// Settles the freeze records of every container of the command's domain before its verb
// runs, under the exclusive lock: thaws what a command that has gone left frozen, removes the
// picture a killed migrate left, restores what a killed restart had stopped, and says on
// standard error which container a migrate that died after handing it over left suspended.
void settle_abandoned_freezes(Command &command);

// True when container_directory holds a freeze record (alive or not).
bool has_freeze_record(const std::string &container_directory);

}  // namespace zor
