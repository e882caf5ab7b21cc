// The verbs of the stateful stand-ins. Each works on the records of its tool's domain,
// under the lock that the dispatcher holds, and either succeeds (writing what it prints
// into out) or throws a Refusal.
#pragma once

#include "state_store.hpp"

#include <string>
#include <vector>

namespace standin {

struct Command {
    std::string program;             // zor-sys, zor-app or zor-target
    std::vector<std::string> words;  // the verb and what follows it
    std::string directory;           // the state directory
    State *state = nullptr;
    Domain *domain = nullptr;  // the program's records within state
    std::string out;           // printed on standard output on success
    bool changed = false;      // the state must be saved
    int exit_status = 0;       // status query: the status number

    bool is_system() const { return program != "zor-app"; }
};

// The container a command names with -n; refuses with kNotFound.
Container &named_container(Command &command, const std::string &name);

// search, info, create, destroy, start, stop, status, getpid, suspend, resume, share, unshare
void container_verb(Command &command);
// list, remove, save, load, commit, checkpoint, restart
void record_verb(Command &command);
// limit, unlimit, usage
void resource_verb(Command &command);
// create -g / -c, destroy -g, bind, unbind, register, unregister, pidlist
void group_verb(Command &command);

// Status number of a container as the status verb answers it.
int container_status(const Container &container);

}  // namespace standin
