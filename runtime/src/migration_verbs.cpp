// Live migration: `zor-sys migrate` freezes and dumps a running container and sends its
// picture to a `zor-target` on another machine (transfer.hpp), which restores it there. The
// sender removes its copy only once the receiver has said that the container runs; on any
// failure the sender resumes its copy and the receiver keeps nothing, so that the container
// exists exactly once whatever happens.
//
// The sender holds its state lock for the whole migration (its container is frozen anyway).
// The receiver holds none while it waits and receives, so that other commands on its state go
// on; it locks only to adopt and restore the container.
#include "checkpoints.hpp"
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "stream_socket.hpp"
#include "transfer.hpp"
#include "verbs.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace zor {

namespace {

namespace fs = std::filesystem;

// The bound of connecting and of each read and write, in seconds (ZOR_MIGRATION_TIMEOUT);
// how long zor-target waits for a sender (ZOR_TARGET_WAIT); how long the sender waits, after
// the last frame, for the receiver to say that the container runs.
constexpr char kTimeoutVariable[] = "ZOR_MIGRATION_TIMEOUT";
constexpr char kWaitVariable[] = "ZOR_TARGET_WAIT";
constexpr int kDefaultTimeoutSeconds = 30;
constexpr int kDefaultWaitSeconds = 600;
constexpr Milliseconds kRunningWait(120000);
// Like the dispatcher's: how long the receiver waits for other commands on its state.
constexpr int kLockSeconds = 60;

// The sender's picture, beside the container's root filesystem, so that a sender killed after
// the dump leaves it where resume, destroy and the next migrate take it away.
constexpr char kOutgoing[] = "/outgoing";
// The receiver's pictures: incoming/<name>.<pid>, until the container runs or the receiver
// gives up; one whose receiver was killed is removed by the next zor-target.
constexpr char kIncoming[] = "/incoming";

Milliseconds seconds_from(const char *variable, int fallback) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *text = std::getenv(variable);
    if (text == nullptr || *text == '\0') {
        return Milliseconds(fallback * 1000LL);
    }
    const int seconds = checked_number(text, variable);
    if (seconds <= 0) {
        throw Refusal(kUsage, std::string(variable) + " must be a number of seconds above 0");
    }
    return Milliseconds(seconds * 1000LL);
}

int checked_port(const Options &options) {
    const int port = checked_number(options.required("-p"), "-p value");
    if (port <= 0 || port > 65535) {
        throw Refusal(kUsage, "the -p value must be a port number, 1 to 65535");
    }
    return port;
}

}  // namespace

void remove_sent_container(Command &command, Container &container) {
    const std::string id = container_runc_id(true, container.name);
    for (Group &group : container.groups) {
        for (const Binding &binding : group.bound) {
            Cgroups::move_back(binding.pid, binding.origin);
        }
    }
    command.runc().remove(id, true);
    const std::string cgroup = container_cgroup(command, true, container.name);
    if (command.cgroups().exists(cgroup) && !command.cgroups().kill_all(cgroup)) {
        throw Refusal(kHostFailure, "processes in cgroup " + cgroup + " do not end");
    }
    if (!command.cgroups().remove(cgroup)) {
        throw Refusal(kHostFailure, "cannot remove cgroup " + cgroup);
    }
    command.cgroups().remove_parent_if_empty(cgroup);
    remove_container_directory(container_directory(command, true, container.name));
    command.domain->containers.erase(container.name);
    command.changed = true;
}

namespace {

void migrate(Command &command) {
    const Options options(command.words, 1, {{"-n", true}, {"-d", true}, {"-p", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::string &host = options.required("-d");
    const int port = checked_port(options);
    if (host.empty()) {
        throw Refusal(kUsage, "the -d value is empty");
    }
    if (container_status(command, true, container) != 1) {
        throw Refusal(kWrongState, "container '" + container.name + "' is not running");
    }
    command.criu();
    const Milliseconds timeout = seconds_from(kTimeoutVariable, kDefaultTimeoutSeconds);
    const std::string picture = container_directory(command, true, container.name) + kOutgoing;
    remove_tree(picture);
    // Offered before the dump: a receiver that refuses costs the container no frozen moment.
    Sender sender(connect_to(host, port, timeout));
    sender.offer({container.name, container_to_json(container)});
    dump_paused(command, true, container, picture);
    try {
        sender.send_folder(picture);
        sender.await_running(kRunningWait);
        FreezeRecord::mark_handed_over(container_directory(command, true, container.name));
        sender.commit();
        FreezeRecord::mark_committed(container_directory(command, true, container.name));
    } catch (const Refusal &refusal) {
        remove_tree(picture);
        resume_after_dump(command, true, container);
        throw Refusal(kMigrationFailure,
                      refusal.what() + std::string("; the container runs here as before"));
    } catch (...) {
        remove_tree(picture);
        resume_after_dump(command, true, container);
        throw;
    }
    remove_sent_container(command, container);
}

bool process_lives(pid_t pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

// Pictures of receivers that were killed: their folder names end in a process that is gone.
void remove_abandoned_pictures(const std::string &incoming) {
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(incoming, error)) {
        const std::string name = entry.path().filename().string();
        const std::string pid = name.substr(name.rfind('.') + 1);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            !process_lives(static_cast<pid_t>(std::strtol(pid.c_str(), nullptr, 10)))) {
            remove_tree(entry.path().string());
        }
    }
}

// Why the receiver cannot take record, from a look at its state without the lock (the state
// file is replaced whole, so a read is always of one version); "" when it can. Checked again
// under the lock when the container is adopted.
std::string reason_to_refuse(const std::string &directory, const Container &record) {
    const State state = load_state(directory);
    if (state.system.containers.count(record.name) != 0) {
        return "container '" + record.name + "' exists here already";
    }
    if (!record.base_is_builtin) {
        for (const Base &base : state.system.bases) {
            if (base.name == record.base) {
                return "";
            }
        }
        return "no base image '" + record.base + "' here";
    }
    return "";
}

// Takes the container in: adopts its record and restores it, under the state lock. On
// failure nothing of it is left here.
void adopt_and_restore(Command &command, const Container &record, const std::string &picture) {
    const StateLock lock(command.directory, StateLock::Kind::kExclusive, kLockSeconds);
    State state = load_state(command.directory);
    command.state = &state;
    command.domain = &state.system;
    // adopt_container refuses a name taken meanwhile, so what is recorded under the name
    // after a failure is what this receiver began to make.
    const bool taken = state.system.containers.count(record.name) != 0;
    try {
        Container &container = adopt_container(command, true, record);
        // The picture holds an overlay's upper folder or a whole tree, as the sender's root
        // filesystem was; the two cannot stand in for each other.
        if (container.overlay != record.overlay) {
            const auto kind = [](bool overlay) { return overlay ? "an overlay" : "a copy"; };
            throw Refusal(kMigrationFailure, std::string("the root filesystem is ") +
                                                 kind(record.overlay) + " there but would be " +
                                                 kind(container.overlay) + " here");
        }
        restore_picture(command, true, container, picture);
    } catch (...) {
        if (!taken && state.system.containers.count(record.name) != 0) {
            remove_container_directory(container_directory(command, true, record.name));
            state.system.containers.erase(record.name);
            save_state(command.directory, state);
        }
        throw;
    }
    save_state(command.directory, state);
}

// Takes away again a container that this receiver restored but whose sender did not let go.
void remove_received_container(Command &command, const std::string &name) {
    const StateLock lock(command.directory, StateLock::Kind::kExclusive, kLockSeconds);
    State state = load_state(command.directory);
    command.state = &state;
    command.domain = &state.system;
    Container &container = named_container(command, name);
    stop_container(command, true, container, true);
    const std::string cgroup = container_cgroup(command, true, name);
    command.cgroups().remove(cgroup);
    command.cgroups().remove_parent_if_empty(cgroup);
    remove_container_directory(container_directory(command, true, name));
    state.system.containers.erase(name);
    save_state(command.directory, state);
}

void receive(Command &command, Receiver &receiver, const std::string &name,
             const std::string &picture) {
    const Offer offer = receiver.receive_offer();
    std::string why;
    Container record;
    if (offer.name != name) {
        why = "this receiver waits for container '" + name + "', not '" + offer.name + "'";
    } else {
        try {
            record = container_from_json(offer.record);
            why = record.name != name ? "the record is of another container"
                                      : reason_to_refuse(command.directory, record);
        } catch (const Refusal &refusal) {
            why = refusal.what();
        }
    }
    if (!why.empty()) {
        receiver.refuse(why);
        throw Refusal(kMigrationFailure, "refused the sender: " + why);
    }
    receiver.accept();
    try {
        receiver.receive_folder(picture);
        adopt_and_restore(command, record, picture);
    } catch (const Refusal &refusal) {
        try {
            receiver.report_failure(refusal.what());
        } catch (const Refusal &) {
            // The sender has gone; the refusal below is what matters.
        }
        throw Refusal(kMigrationFailure, refusal.what());
    }
    try {
        receiver.report_running();
        receiver.await_commit();
    } catch (const Refusal &refusal) {
        remove_received_container(command, name);
        throw Refusal(kMigrationFailure,
                      refusal.what() +
                          std::string("; the sender kept the container, so it was removed here"));
    }
}

}  // namespace

void migration_verb(Command &command) {
    if (!command.is_system()) {
        throw Refusal(kUsage, "unknown verb 'migrate'");
    }
    migrate(command);
}

void clear_outgoing_picture(Command &command, const Container &container) {
    remove_tree(container_directory(command, true, container.name) + kOutgoing);
}

int receive_migration(Command &command) {
    const Options options(command.words, 0, {{"-n", true}, {"-p", true}});
    const std::string &name = checked_name(options.required("-n"), "container");
    const int port = checked_port(options);
    const Milliseconds timeout = seconds_from(kTimeoutVariable, kDefaultTimeoutSeconds);
    const Milliseconds wait = seconds_from(kWaitVariable, kDefaultWaitSeconds);
    command.directory = state_directory();
    {
        // Made under the lock, as every command makes the state directory.
        const StateLock lock(command.directory, StateLock::Kind::kShared, kLockSeconds);
    }
    command.criu();
    // Said at once rather than to the sender that comes: the state file is replaced whole, so
    // a look without the lock reads one version of it.
    if (load_state(command.directory).system.containers.count(name) != 0) {
        throw Refusal(kExists, "container '" + name + "' exists here already");
    }
    Listener listener(port);
    const std::string incoming = command.directory + kIncoming;
    remove_abandoned_pictures(incoming);
    std::error_code error;
    fs::create_directories(incoming, error);
    const std::string holder = incoming + "/" + name + "." + std::to_string(getpid());
    const std::string picture = holder + "/picture";
    remove_tree(holder);
    if (!fs::create_directory(holder, error)) {
        throw Refusal(kStateFailure, "cannot make " + holder + ": " + error.message());
    }
    try {
        Receiver receiver(listener.accept(wait, timeout));
        receive(command, receiver, name, picture);
    } catch (...) {
        remove_tree(holder);
        rmdir(incoming.c_str());
        throw;
    }
    remove_tree(holder);
    rmdir(incoming.c_str());
    return 0;
}

}  // namespace zor
