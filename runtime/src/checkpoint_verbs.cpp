// checkpoint and restart: a running container's programs kept with their memory, open files
// and root filesystem's changes, and brought back in place of what runs later.
#include "checkpoints.hpp"
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace zor {

namespace {

// What a restored container keeps of the record it was checkpointed with: its limits, sharing
// and control groups, whose bound processes are gone with the old programs.
void take_kept_settings(Container &container, const Container &kept) {
    container.limits = kept.limits;
    container.shared = kept.shared;
    container.groups = kept.groups;
    for (Group &group : container.groups) {
        group.bound.clear();
    }
}

// The tools run these without sudo: say at once what is missing rather than look for CRIU.
void require_root(const Command &command) {
    if (geteuid() != 0) {
        throw Refusal(kNeedsCheckpointer, command.call.word(0) +
                                              " needs root: CRIU dumps and restores processes "
                                              "only as root");
    }
}

}  // namespace

void run_checkpoint(Command &command) {
    require_root(command);
    const Options &options = command.options();
    Container &container = command.named_container();
    const std::string &tag = checked_name(options.required(ZOR_OPTION_TAG), "checkpoint");
    if (find_record(container.checkpoints, tag) != nullptr) {
        throw Refusal(kExists,
                      "container '" + container.name + "' has a checkpoint '" + tag + "' already");
    }
    const ContainerRef reference = command.reference(container.name);
    const std::string directory = reference.checkpoint_directory(tag);
    // What a checkpoint killed half-way left: its tag is not recorded.
    remove_tree(directory);
    dump_paused(command.host, reference, container, directory);
    resume_after_dump(command.host, reference);
    container.checkpoints.push_back(record_now(command, container, tag));
    command.changed = true;
}

// The running programs are stopped first; the limits and control groups become those of the
// checkpoint's moment, as a loaded snapshot's do. A running container is dumped first into a
// scratch folder, so that when the restore fails it is brought back running as it was.
void run_restart(Command &command) {
    require_root(command);
    const Options &options = command.options();
    Container &container = command.named_container();
    const std::string &tag = options.required(ZOR_OPTION_TAG);
    if (find_record(container.checkpoints, tag) == nullptr) {
        throw Refusal(kNotFound,
                      "container '" + container.name + "' has no checkpoint '" + tag + "'");
    }
    if (!container.complete) {
        throw Refusal(kWrongState,
                      "container '" + container.name + "' was not created completely; destroy it");
    }
    command.host.criu();
    const ContainerRef reference = command.reference(container.name);
    const std::string directory = reference.checkpoint_directory(tag);
    std::ifstream in(directory + "/record.json");
    std::stringstream text;
    text << in.rdbuf();
    const Container kept = container_from_json(text.str());
    const std::string home = reference.directory();
    // Where the running programs are kept until the restore is done; when this command is
    // killed before, the next one restores them from there (recover_killed_restart).
    const std::string fallback = restart_fallback_directory(home);
    remove_tree(fallback);
    const TreeRemover remove_fallback{fallback};
    const bool was_running = reference.status() == 1;
    if (was_running) {
        dump_paused(command.host, reference, container, fallback);
    }
    const Container before = container;
    reference.stop(container, Ending::kAtOnce);
    take_kept_settings(container, kept);
    // Recorded before the restore: the limits of what is restored.
    command.save_now();
    command.changed = true;
    try {
        restore_picture(command.host, reference, container, directory);
    } catch (const Refusal &failure) {
        if (!was_running) {
            throw;
        }
        container = before;
        for (Group &group : container.groups) {
            group.bound.clear();
        }
        command.save_now();
        restore_picture(command.host, reference, container, fallback);
        FreezeRecord::release_of(home);
        throw Refusal(failure.status(), failure, "the container runs as it did before");
    }
    FreezeRecord::release_of(home);
}

std::string restart_fallback_directory(const std::string &container_directory) {
    return container_directory + "/restarting";
}

void recover_killed_restart(Command &command, Container &container) {
    const ContainerRef reference = command.reference(container.name);
    const std::string fallback = restart_fallback_directory(reference.directory());
    const TreeRemover remove_fallback{fallback};
    std::ifstream in(fallback + "/record.json");
    // Without its record the dump was not finished: the programs were not stopped yet.
    if (!in || reference.status() != 0) {
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    const Container kept = container_from_json(text.str());
    reference.stop(container, Ending::kAtOnce);
    take_kept_settings(container, kept);
    command.changed = true;
    restore_picture(command.host, reference, container, fallback);
}

void run_remove_checkpoint(Command &command) {
    const Options &options = command.options();
    Container &container = command.named_container();
    const std::string &tag = options.required(ZOR_OPTION_TAG);
    auto &checkpoints = container.checkpoints;
    const Snapshot *found = find_record(checkpoints, tag);
    if (found == nullptr) {
        throw Refusal(kNotFound,
                      "container '" + container.name + "' has no checkpoint '" + tag + "'");
    }
    remove_tree(command.reference(container.name).checkpoint_directory(tag));
    checkpoints.erase(checkpoints.begin() + (found - checkpoints.data()));
    command.changed = true;
}

}  // namespace zor
