// checkpoint and restart: a running container's programs kept with their memory, open files
// and root filesystem's changes, and brought back in place of what runs later.
#include "checkpoints.hpp"
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace zor {

namespace {

void checkpoint(Command &command) {
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::string &tag = checked_name(options.required("-t"), "checkpoint");
    if (find_record(container.checkpoints, tag) != nullptr) {
        throw Refusal(kExists,
                      "container '" + container.name + "' has a checkpoint '" + tag + "' already");
    }
    const std::string directory = checkpoint_directory(command, true, container.name, tag);
    // What a checkpoint killed half-way left: its tag is not recorded.
    remove_tree(directory);
    dump_paused(command, true, container, directory);
    resume_after_dump(command, true, container);
    container.checkpoints.push_back(record_now(command, container, tag));
    command.changed = true;
}

// The running programs are stopped first; the limits and control groups become those of the
// checkpoint's moment, as a loaded snapshot's do. A running container is dumped first into a
// scratch folder, so that when the restore fails it is brought back running as it was.
void restart(Command &command) {
    const Options options(command.words, 1, {{"-n", true}, {"-t", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::string &tag = options.required("-t");
    if (find_record(container.checkpoints, tag) == nullptr) {
        throw Refusal(kNotFound,
                      "container '" + container.name + "' has no checkpoint '" + tag + "'");
    }
    if (!container.complete) {
        throw Refusal(kWrongState,
                      "container '" + container.name + "' was not created completely; destroy it");
    }
    command.criu();
    const std::string directory = checkpoint_directory(command, true, container.name, tag);
    std::ifstream in(directory + "/record.json");
    std::stringstream text;
    text << in.rdbuf();
    const Container kept = container_from_json(text.str());
    const std::string home = container_directory(command, true, container.name);
    // Where the running programs are kept until the restore is done; when this command is
    // killed before, the next one restores them from there (recover_killed_restart).
    const std::string fallback = restart_fallback_directory(home);
    remove_tree(fallback);
    const TreeRemover remove_fallback{fallback};
    const bool was_running = container_status(command, true, container) == 1;
    if (was_running) {
        dump_paused(command, true, container, fallback);
    }
    const Container before = container;
    stop_container(command, true, container, true);
    container.limits = kept.limits;
    container.shared = kept.shared;
    container.groups = kept.groups;
    for (Group &group : container.groups) {
        group.bound.clear();
    }
    // Recorded before the restore: the limits of what is restored.
    command.save_now();
    command.changed = true;
    try {
        restore_picture(command, true, container, directory);
    } catch (const Refusal &failure) {
        if (!was_running) {
            throw;
        }
        container = before;
        for (Group &group : container.groups) {
            group.bound.clear();
        }
        command.save_now();
        restore_picture(command, true, container, fallback);
        FreezeRecord::release_of(home);
        throw Refusal(failure.status(),
                      failure.what() + std::string("; the container runs as it did before"));
    }
    FreezeRecord::release_of(home);
}

}  // namespace

std::string restart_fallback_directory(const std::string &container_directory) {
    return container_directory + "/restarting";
}

void recover_killed_restart(Command &command, Container &container) {
    const std::string home = container_directory(command, true, container.name);
    const std::string fallback = restart_fallback_directory(home);
    const TreeRemover remove_fallback{fallback};
    std::ifstream in(fallback + "/record.json");
    // Without its record the dump was not finished: the programs were not stopped yet.
    if (!in || container_status(command, true, container) != 0) {
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    const Container kept = container_from_json(text.str());
    stop_container(command, true, container, true);
    container.limits = kept.limits;
    container.shared = kept.shared;
    container.groups = kept.groups;
    for (Group &group : container.groups) {
        group.bound.clear();
    }
    command.changed = true;
    restore_picture(command, true, container, fallback);
}

void checkpoint_verb(Command &command) {
    // The tools run these without sudo: say at once what is missing rather than look for CRIU.
    if (geteuid() != 0) {
        throw Refusal(kNeedsCheckpointer, command.words[0] +
                                              " needs root: CRIU dumps and restores processes "
                                              "only as root");
    }
    if (command.words[0] == "checkpoint") {
        checkpoint(command);
    } else {
        restart(command);
    }
}

}  // namespace zor
