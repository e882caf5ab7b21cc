// Choosing the verb, holding the lock for the whole command, saving what changed.
#include "stateful_mode.hpp"

#include "descriptor_write.hpp"
#include "migration.hpp"
#include "refusal.hpp"
#include "state_store.hpp"
#include "verbs.hpp"

#include <unistd.h>

#include <cstdio>
#include <exception>

namespace standin {

namespace {

// A command waits this long for others on the same state to finish.
constexpr int kLockSeconds = 60;

using Verb = void (*)(Command &);

struct VerbEntry {
    const char *verb;
    Verb run;
    bool reads_only;
};

constexpr VerbEntry kVerbs[] = {
    {"search", container_verb, true},   {"info", container_verb, true},
    {"status", container_verb, true},   {"getpid", container_verb, true},
    {"start", container_verb, false},   {"stop", container_verb, false},
    {"suspend", container_verb, false}, {"resume", container_verb, false},
    {"share", container_verb, false},   {"unshare", container_verb, false},
    {"list", record_verb, true},        {"remove", record_verb, false},
    {"save", record_verb, false},       {"load", record_verb, false},
    {"commit", record_verb, false},     {"checkpoint", record_verb, false},
    {"restart", record_verb, false},    {"limit", resource_verb, false},
    {"unlimit", resource_verb, false},  {"usage", resource_verb, true},
    {"bind", group_verb, false},        {"unbind", group_verb, false},
    {"register", group_verb, false},    {"unregister", group_verb, false},
    {"pidlist", group_verb, true},      {"migrate", migrate_verb, false},
};

VerbEntry entry_for(const std::vector<std::string> &words) {
    if (words.empty()) {
        throw Refusal(kUsage, "no verb given");
    }
    const std::string &verb = words[0];
    // create and destroy take a container with -n, or a control group with -g or -c.
    if (verb == "create" || verb == "destroy") {
        const bool group = words.size() > 1 && (words[1] == "-g" || words[1] == "-c");
        return {verb.c_str(), group ? group_verb : container_verb, false};
    }
    for (const VerbEntry &entry : kVerbs) {
        if (verb == entry.verb) {
            return entry;
        }
    }
    throw Refusal(kUsage, "unknown verb '" + verb + "'");
}

int run(const Invocation &invocation) {
    if (invocation.program == "zor-target") {
        return receive_container(invocation);
    }
    const VerbEntry entry = entry_for(invocation.args);
    const std::string directory = state_directory();
    const StateLock lock(directory,
                         entry.reads_only ? StateLock::Kind::kShared : StateLock::Kind::kExclusive,
                         kLockSeconds);
    State state = load_state(directory);
    Command command;
    command.program = invocation.program;
    command.words = invocation.args;
    command.directory = directory;
    command.state = &state;
    command.domain = invocation.program == "zor-app" ? &state.application : &state.system;
    if (entry.run == migrate_verb && !command.is_system()) {
        throw Refusal(kUsage, "unknown verb 'migrate'");
    }
    entry.run(command);
    if (command.changed) {
        save_state(directory, state);
    }
    write_all(STDOUT_FILENO, command.out);
    return command.exit_status;
}

}  // namespace

int answer_stateful(const Invocation &invocation) {
    try {
        return run(invocation);
    } catch (const Refusal &refusal) {
        std::fprintf(stderr, "%s: %s\n", invocation.program.c_str(), refusal.what());
        return refusal.status();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s: %s\n", invocation.program.c_str(), error.what());
        return kStateFailure;
    }
}

}  // namespace standin
