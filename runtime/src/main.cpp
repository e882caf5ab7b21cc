// The runtime's tools: one program, installed under the names zor-sys (system containers),
// zor-app (application containers) and zor-target (the receiving side of a migration), that
// acts by the name it was started with. Each command holds the state directory's lock while
// it runs, reads the records, asks runc and the kernel, and saves the records if it changed
// them.
#include "bundle.hpp"
#include "freeze_record.hpp"
#include "refusal.hpp"
#include "state_store.hpp"
#include "verbs.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <string>

namespace {

using zor::Command;
using zor::Refusal;

// A command waits this long for others on the same state to finish.
constexpr int kLockSeconds = 60;

using Verb = void (*)(Command &);

struct VerbEntry {
    const char *verb;
    Verb run;
    bool reads_only;
};

constexpr VerbEntry kVerbs[] = {
    {"search", zor::container_verb, true},   {"info", zor::container_verb, true},
    {"status", zor::container_verb, true},   {"getpid", zor::container_verb, true},
    {"start", zor::container_verb, false},   {"stop", zor::container_verb, false},
    {"suspend", zor::container_verb, false}, {"resume", zor::container_verb, false},
    {"share", zor::container_verb, false},   {"unshare", zor::container_verb, false},
    {"list", zor::record_verb, true},        {"remove", zor::record_verb, false},
    {"save", zor::record_verb, false},       {"load", zor::record_verb, false},
    {"commit", zor::record_verb, false},     {"checkpoint", zor::record_verb, false},
    {"restart", zor::record_verb, false},    {"limit", zor::resource_verb, false},
    {"unlimit", zor::resource_verb, false},  {"usage", zor::resource_verb, true},
    {"bind", zor::group_verb, false},        {"unbind", zor::group_verb, false},
    {"register", zor::group_verb, false},    {"unregister", zor::group_verb, false},
    {"pidlist", zor::group_verb, true},      {"migrate", zor::migration_verb, false},
    {"trust", zor::trust_verb, false},
};

VerbEntry entry_for(const std::vector<std::string> &words) {
    if (words.empty()) {
        throw Refusal(zor::kUsage, "no verb given");
    }
    const std::string &verb = words[0];
    // create and destroy take a container with -n, or a control group with -g or -c.
    if (verb == "create" || verb == "destroy") {
        const bool group = words.size() > 1 && (words[1] == "-g" || words[1] == "-c");
        return {verb.c_str(), group ? zor::group_verb : zor::container_verb, false};
    }
    for (const VerbEntry &entry : kVerbs) {
        if (verb == entry.verb) {
            return entry;
        }
    }
    throw Refusal(zor::kUsage, "unknown verb '" + verb + "'");
}

void write_all(const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return;
        }
        done += static_cast<std::size_t>(wrote);
    }
}

int run(const std::string &program, const std::vector<std::string> &words) {
    Command command;
    command.program = program;
    command.words = words;
    if (program == "zor-target") {
        // It waits for a sender without the state lock; it locks only to adopt the container.
        return zor::receive_migration(command);
    }
    const VerbEntry entry = entry_for(words);
    if (entry.run == zor::migration_verb && !command.is_system()) {
        throw Refusal(zor::kUsage, "unknown verb 'migrate'");
    }
    command.directory = zor::state_directory();
    if (zor::has_any_freeze_record(command)) {
        // Settled under the exclusive lock, whatever the verb takes: thawing and restoring
        // change the containers.
        const zor::StateLock lock(command.directory, zor::StateLock::Kind::kExclusive,
                                  kLockSeconds);
        zor::State state = zor::load_state(command.directory);
        command.state = &state;
        command.domain = command.is_system() ? &state.system : &state.application;
        zor::settle_abandoned_freezes(command);
        if (command.changed) {
            zor::save_state(command.directory, state);
        }
        command.changed = false;
    }
    const zor::StateLock lock(
        command.directory,
        entry.reads_only ? zor::StateLock::Kind::kShared : zor::StateLock::Kind::kExclusive,
        kLockSeconds);
    zor::State state = zor::load_state(command.directory);
    command.state = &state;
    command.domain = command.is_system() ? &state.system : &state.application;
    entry.run(command);
    if (command.changed) {
        zor::save_state(command.directory, state);
    }
    write_all(command.out);
    return command.exit_status;
}

}  // namespace

int main(int argc, char **argv) {
    std::string program = argc > 0 ? argv[0] : "";
    program = program.substr(program.rfind('/') + 1);
    if (argc >= 2 && std::string(argv[1]) == zor::kLoopbackHookWord) {
        return zor::run_loopback_hook(std::vector<std::string>(argv + 2, argv + argc));
    }
    if (program != "zor-sys" && program != "zor-app" && program != "zor-target") {
        std::fprintf(stderr, "%s: start this program as zor-sys, zor-app or zor-target\n",
                     program.c_str());
        return zor::kUsage;
    }
    const std::vector<std::string> words(argv + 1, argv + argc);
    try {
        return run(program, words);
    } catch (const Refusal &refusal) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), refusal.what());
        return refusal.status();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
        return zor::kStateFailure;
    }
}
