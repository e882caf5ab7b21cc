// The runtime's tools: one program, installed under the names zor-sys (system containers),
// zor-app (application containers) and zor-target (the receiving side of a migration), that
// acts by the name it was started with. The verb table (verb_table.cpp) says what each verb
// takes and which lock it holds; the command reads the records under that lock, asks runc and
// the kernel, and saves the records if it changed them. Refusals are printed here, and only
// here.
#include "bundle.hpp"
#include "command.hpp"
#include "freeze_record.hpp"
#include "refusal.hpp"
#include "state_store.hpp"
#include "verb_table.hpp"
#include "zor_contract.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>

namespace {

using zor::Command;
using zor::LockKind;

// A command waits this long for others on the same state to finish.
constexpr int kLockSeconds = 60;

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

int run(unsigned tool, const std::vector<std::string> &words) {
    const zor::VerbEntry &entry = zor::entry_for(tool, words);
    const zor::Invocation invocation(tool, entry, words);
    zor::Host host;
    Command command(invocation, host);
    if (entry.lock == LockKind::kNone) {
        entry.handler(command);
        return command.exit_status;
    }
    if (zor::has_any_freeze_record(command)) {
        // Settled under the exclusive lock, whatever the verb takes: thawing and restoring
        // change the containers.
        const zor::StateLock lock(host.directory(), zor::StateLock::Kind::kExclusive, kLockSeconds);
        command.load();
        zor::settle_abandoned_freezes(command);
        if (command.changed) {
            command.save_now();
        }
        command.changed = false;
    }
    const zor::StateLock lock(host.directory(),
                              entry.lock == LockKind::kShared ? zor::StateLock::Kind::kShared
                                                              : zor::StateLock::Kind::kExclusive,
                              kLockSeconds);
    command.load();
    entry.handler(command);
    if (command.changed) {
        command.save_now();
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
    const unsigned tool = zor::tool_named(program);
    if (tool == 0) {
        std::fprintf(stderr, "%s: start this program as %s, %s or %s\n", program.c_str(),
                     ZOR_TOOL_SYS, ZOR_TOOL_APP, ZOR_TOOL_TARGET);
        return zor::kUsage;
    }
    const std::vector<std::string> words(argv + 1, argv + argc);
    try {
        return run(tool, words);
    } catch (const zor::Refusal &refusal) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), refusal.what());
        return refusal.status();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.what());
        return zor::kStateFailure;
    }
}
