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
#include "options.hpp"
#include "refusal.hpp"
#include "scope_guard.hpp"
#include "stream_socket.hpp"
#include "transfer.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

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

// The receiver's pictures are incoming/<name>.<pid>, until the container runs or the receiver
// gives up; one whose receiver was killed is removed by the next zor-target.

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

// What is left of a container once its program runs elsewhere: runc's instance (killed
// frozen, so that it never runs again beside the copy), its cgroups, its folder, its record.
void remove_sent_container(Command &command, Container &container) {
    const std::string name = container.name;
    command.reference(name).remove_from_host(container, Ending::kFrozen);
    command.domain().containers.erase(name);
    command.changed = true;
}

}  // namespace

void run_migrate(Command &command) {
    const Options &options = command.options();
    Container &container = command.named_container();
    const std::string &host = options.required(ZOR_OPTION_DESTINATION);
    const int port = checked_port(options.required(ZOR_OPTION_PORT));
    if (host.empty()) {
        throw Refusal(kUsage, "the -d value is empty");
    }
    const ContainerRef reference = command.reference(container.name);
    if (reference.status() != 1) {
        throw Refusal(kWrongState, "container '" + container.name + "' is not running");
    }
    command.host.criu();
    const Milliseconds timeout = seconds_from(kTimeoutVariable, kDefaultTimeoutSeconds);
    const std::string picture = reference.outgoing_picture();
    remove_tree(picture);
    // Offered before the dump: a receiver that refuses costs the container no frozen moment.
    Sender sender(connect_to(host, port, timeout));
    sender.offer({container.name, container_to_json(container)});
    dump_paused(command.host, reference, container, picture);
    try {
        // Until the receiver lets it go, the container is this host's: it runs here again.
        ScopeGuard kept([&] {
            remove_tree(picture);
            command.host.runc().resume(reference.runc_id());
        });
        sender.send_folder(picture);
        sender.await_running(kRunningWait);
        sender.commit();
        kept.dismiss();
    } catch (const Refusal &refusal) {
        throw Refusal(kMigrationFailure, refusal, "the container runs here as before");
    }
    remove_sent_container(command, container);
}

void clear_outgoing_picture(const ContainerRef &reference) {
    remove_tree(reference.outgoing_picture());
}

namespace {

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

// Creates on this machine the directory and root filesystem of a container that arrives with
// record (as create would from the same options and base) without starting it; refuses
// kNotFound when its base image is missing here, kWrongState when the name is taken. The
// record's snapshots, checkpoints, bindings and registered processes stay behind.
Container &adopt_container(Command &command, const Container &record) {
    const std::string &name = record.name;
    if (command.domain().containers.count(name) != 0) {
        throw Refusal(kWrongState, "container '" + name + "' exists here already");
    }
    Container container = record;
    container.snapshots.clear();
    container.checkpoints.clear();
    container.registered.clear();
    for (Group &group : container.groups) {
        group.bound.clear();
    }
    require_base(command, container);
    return add_container(command, container);
}

// Takes the container in: adopts its record and restores it, under the state lock. On
// failure nothing of it is left here.
void adopt_and_restore(Command &command, const Container &record, const std::string &picture) {
    const StateLock lock(command.host.directory(), StateLock::Kind::kExclusive, kLockSeconds);
    command.load();
    // adopt_container refuses a name taken meanwhile, so what is recorded under the name
    // after a failure is what this receiver began to make.
    const bool taken = command.domain().containers.count(record.name) != 0;
    ScopeGuard adopted([&] {
        if (!taken && command.domain().containers.count(record.name) != 0) {
            remove_container_directory(command.reference(record.name).directory());
            command.domain().containers.erase(record.name);
            command.save_now();
        }
    });
    Container &container = adopt_container(command, record);
    // The picture holds an overlay's upper folder or a whole tree, as the sender's root
    // filesystem was; the two cannot stand in for each other.
    if (container.overlay != record.overlay) {
        const auto kind = [](bool overlay) { return overlay ? "an overlay" : "a copy"; };
        throw Refusal(kMigrationFailure, std::string("the root filesystem is ") +
                                             kind(record.overlay) + " there but would be " +
                                             kind(container.overlay) + " here");
    }
    restore_picture(command.host, command.reference(record.name), container, picture);
    adopted.dismiss();
    command.save_now();
}

// Takes away again a container that this receiver restored but whose sender did not let go.
void remove_received_container(Command &command, const std::string &name) {
    const StateLock lock(command.host.directory(), StateLock::Kind::kExclusive, kLockSeconds);
    command.load();
    Container &container = command.named_container(name);
    command.reference(name).remove_from_host(container, Ending::kAtOnce);
    command.domain().containers.erase(name);
    command.save_now();
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
                                      : reason_to_refuse(command.host.directory(), record);
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
        throw Refusal(kMigrationFailure, refusal);
    }
    try {
        receiver.report_running();
        receiver.await_commit();
    } catch (const Refusal &refusal) {
        remove_received_container(command, name);
        throw Refusal(kMigrationFailure, refusal,
                      "the sender kept the container, so it was removed here");
    }
}

}  // namespace

void run_receive(Command &command) {
    const Options &options = command.options();
    const std::string &name = checked_name(options.required(ZOR_OPTION_NAME), "container");
    const int port = checked_port(options.required(ZOR_OPTION_PORT));
    const Milliseconds timeout = seconds_from(kTimeoutVariable, kDefaultTimeoutSeconds);
    const Milliseconds wait = seconds_from(kWaitVariable, kDefaultWaitSeconds);
    const std::string &directory = command.host.directory();
    {
        // Made under the lock, as every command makes the state directory.
        const StateLock lock(directory, StateLock::Kind::kShared, kLockSeconds);
    }
    command.host.criu();
    // Said at once rather than to the sender that comes: the state file is replaced whole, so
    // a look without the lock reads one version of it.
    if (load_state(directory).system.containers.count(name) != 0) {
        throw Refusal(kExists, "container '" + name + "' exists here already");
    }
    Listener listener(port);
    const std::string incoming = command.host.layout().incoming_directory();
    remove_abandoned_pictures(incoming);
    std::error_code error;
    fs::create_directories(incoming, error);
    // What is received (setuid files among it) is out of other users' reach.
    fs::permissions(incoming, fs::perms::owner_all, error);
    const std::string holder = incoming + "/" + name + "." + std::to_string(getpid());
    const std::string picture = holder + "/picture";
    remove_tree(holder);
    if (!fs::create_directory(holder, error)) {
        throw Refusal(kStateFailure, "cannot make " + holder + ": " + error.message());
    }
    // What was received goes whether the container runs here now or not.
    ScopeGuard received([&] {
        remove_tree(holder);
        rmdir(incoming.c_str());
    });
    Receiver receiver(listener.accept(wait, timeout));
    receive(command, receiver, name, picture);
}

}  // namespace zor
