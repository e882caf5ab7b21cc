// One command of the runtime's tools, in three parts: what the invocation says (the tool, its
// verb's table entry, the words and the options they give), what the host has (the state
// directory and the runc, cgroups and CRIU found there on first use), and the command's own
// run (the records it works on, what it prints, whether the records changed).
#pragma once

#include "cgroups.hpp"
#include "container_reference.hpp"
#include "options.hpp"
#include "runc.hpp"
#include "state_store.hpp"
#include "verb_table.hpp"
#include "zor_contract.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zor {

// What the invocation says.
class Invocation {
public:
    Invocation(unsigned tool, const VerbEntry &entry, std::vector<std::string> words);

    unsigned tool() const { return tool_; }
    const VerbEntry &entry() const { return *entry_; }
    // The verb and what follows it, as given.
    const std::vector<std::string> &words() const { return words_; }
    // The word at index, or "" past the end.
    std::string word(std::size_t index) const;
    // zor-sys and zor-target work on system containers, zor-app on application ones.
    Domain::Kind domain() const {
        return tool_ == kApplicationTool ? Domain::Kind::kApplication : Domain::Kind::kSystem;
    }
    bool is_system() const { return domain() == Domain::Kind::kSystem; }
    // The options, parsed on first use as the verb's entry allows; a verb checks what comes
    // before them (a limit's kind, root for checkpoints) first. Refuses with kUsage.
    const Options &options() const;

private:
    unsigned tool_;
    const VerbEntry *entry_;
    std::vector<std::string> words_;
    mutable std::optional<Options> options_;
};

// What the host has: the state directory and the programs and kernel interfaces the verbs
// drive, each found (or made) on first use.
class Host {
public:
    // The state directory that state_directory() names.
    Host() = default;
    explicit Host(std::string directory) : directory_(std::move(directory)) {}

    // The state directory (absolute), made on first use.
    const std::string &directory() const;
    // runc and the cgroups (a refusal when missing).
    const Runc &runc() const;
    const Cgroups &cgroups() const;
    // The CRIU that runc drives (absolute path); refuses with kNeedsCheckpointer, in one line
    // saying why, when no working CRIU can be had.
    const std::string &criu() const;
    // Where everything of this state directory lives.
    StateLayout layout() const { return StateLayout(directory()); }

private:
    mutable std::string directory_;
    mutable std::unique_ptr<Runc> runc_;
    mutable std::unique_ptr<Cgroups> cgroups_;
    mutable std::string criu_;
};

// One command's run, under the lock that the dispatcher holds: the records of the state
// directory, and what the command prints.
class Command {
public:
    Command(const Invocation &invocation, Host &on) : call(invocation), host(on) {}
    Command(const Command &) = delete;
    Command &operator=(const Command &) = delete;

    const Invocation &call;
    Host &host;
    State state;           // the records, as read under the lock
    std::string out;       // printed on standard output on success
    bool changed = false;  // the state must be saved
    int exit_status = 0;   // status query: the status number

    bool is_system() const { return call.is_system(); }
    const Options &options() const { return call.options(); }
    // The records of the tool's domain within state.
    Domain &domain() { return state.domain(call.domain()); }
    // Reads the records again (under a lock the caller holds).
    void load();
    // Saves the records now, in the middle of a verb, so that a command killed later leaves
    // a record of what it has begun to make.
    void save_now() const;

    // The container called name in the tool's domain; refuses with kNotFound.
    Container &named_container(const std::string &name);
    // The container that option -n names.
    Container &named_container() { return named_container(options().required(ZOR_OPTION_NAME)); }
    // Where the container called name of the tool's domain lives, and how it is taken down.
    ContainerRef reference(const std::string &name) const { return {host, call.domain(), name}; }
};

}  // namespace zor
