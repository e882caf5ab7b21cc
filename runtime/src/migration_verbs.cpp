// Live migration: `zor-sys migrate` freezes and dumps a running container and sends its
// picture to a `zor-target` on another machine (transfer.hpp), which restores it there. The
// sender removes its copy only once the receiver has said that the container runs; on any
// failure the sender resumes its copy and the receiver keeps nothing, so that the container
// exists exactly once whatever happens.
//
// The sender holds its state lock for the whole migration (its container is frozen anyway).
// The receiver holds none while it waits and receives, so that other commands on its state go
// on; it locks only to adopt and restore the container.
//
// Both sides talk only through mutual TLS 1.3 with a machine of their trust list
// (tls_channel.hpp). The receiver drops, and logs on standard error, every connection that
// fails the handshake (a stranger, a port scan, garbage, a peer that stalls), telling it
// nothing, and goes on waiting for its sender until its wait ends. A trusted sender's failure
// ends zor-target, as before.
#include "capability_set.hpp"
#include "checkpoints.hpp"
#include "container_network.hpp"
#include "filesystems.hpp"
#include "freeze_record.hpp"
#include "machine_identity.hpp"
#include "options.hpp"
#include "picture_checks.hpp"
#include "received_record.hpp"
#include "refusal.hpp"
#include "scope_guard.hpp"
#include "stream_socket.hpp"
#include "tls_channel.hpp"
#include "transfer.hpp"
#include "trust_list.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
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
// The bound of a whole migration, from the handshake to the commit (ZOR_MIGRATION_DEADLINE),
// so that a peer that sends one byte now and then cannot hold either side forever.
constexpr char kDeadlineVariable[] = "ZOR_MIGRATION_DEADLINE";
constexpr int kDefaultDeadlineSeconds = 3600;
// The bound of one TLS handshake at the receiver: short, so that a connection that stalls
// before it proves who it is does not keep the real sender waiting past its own timeout.
constexpr Milliseconds kHandshakeBound(10000);
// How long a dropped peer is given to read the alert that refuses it.
constexpr Milliseconds kLinger(1000);
// What the receiver's disk must keep free while a picture comes (ZOR_TARGET_RESERVE, MiB).
constexpr char kReserveVariable[] = "ZOR_TARGET_RESERVE";
constexpr int kDefaultReserveMiB = 256;
constexpr Milliseconds kRunningWait(120000);
// Like the dispatcher's: how long the receiver waits for other commands on its state.
constexpr int kLockSeconds = 60;

// The receiver's pictures are incoming/<name>.<pid>, until the container runs or the receiver
// gives up; one whose receiver was killed is removed by the next zor-target.

// The number in variable, above 0, or fallback when it is unset.
int number_from(const char *variable, int fallback, const char *unit) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *text = std::getenv(variable);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    const int number = checked_number(text, variable);
    if (number <= 0) {
        throw Refusal(kUsage, std::string(variable) + " must be a number of " + unit + " above 0");
    }
    return number;
}

Milliseconds seconds_from(const char *variable, int fallback) {
    return Milliseconds(number_from(variable, fallback, "seconds") * 1000LL);
}

Deadline deadline_after(Milliseconds span) {
    return std::chrono::steady_clock::now() + span;
}

std::string deadline_text(Milliseconds span) {
    return "the migration passed its time limit of " + std::to_string(span.count() / 1000) + " s";
}

}  // namespace

void remove_sent_container(Command &command, Container &container) {
    const std::string name = container.name;
    const ContainerRef reference = command.reference(name);
    reference.take_down(container, Ending::kFrozen);
    // The record goes before the folder, whose "committed" freeze record is what tells a
    // later command, should this one be killed in between, that the folder is to go too. The
    // other order left a record without its files: a stopped container that cannot start.
    command.domain().containers.erase(name);
    command.save_now();
    command.changed = false;
    remove_container_directory(reference.directory());
}

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
    const Milliseconds limit = seconds_from(kDeadlineVariable, kDefaultDeadlineSeconds);
    const std::string &directory = command.host.directory();
    const MachineIdentity identity = machine_identity(directory);
    const std::vector<std::string> trusted = trusted_machines(directory);
    // The receiver proves who it is before it hears the container's name.
    Channel channel = connect_to(host, port, timeout);
    const Deadline deadline = deadline_after(limit);
    secure_channel(channel, TlsRole::kSender, identity, trusted,
                   std::min(deadline, deadline_after(timeout)));
    channel.set_deadline(deadline, deadline_text(limit));
    // Offered before the dump: a receiver that refuses costs the container no frozen moment.
    Sender sender(std::move(channel));
    sender.offer({container.name, container_to_json(container)});
    // Off the segment from before the dump until it runs there: the frozen copy here must not
    // acknowledge what its peers send meanwhile, which the copy there would never see.
    hold_container_network(reference, container, true);
    ScopeGuard held([&] { hold_container_network(reference, container, false); });
    dump_paused(command.host, reference, container, picture);
    try {
        // Until the receiver lets it go, the container is this host's: it runs here again,
        // back on the segment.
        ScopeGuard kept([&] {
            remove_tree(picture);
            hold_container_network(reference, container, false);
            resume_after_dump(command.host, reference);
        });
        held.dismiss();
        sender.send_folder(picture);
        sender.await_running(kRunningWait);
        FreezeRecord::mark_handed_over(reference.directory());
        sender.commit();
        FreezeRecord::mark_committed(reference.directory());
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
    std::string network = network_refusal(directory, state, record);
    if (!network.empty()) {
        return network;
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
    const std::string network = network_refusal(command.host.directory(), command.state, record);
    if (!network.empty()) {
        throw Refusal(kMigrationFailure, network);
    }
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
            check_received_record(record);
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
        // CRIU restores what the images say; they must say what this machine would allow.
        check_picture(picture + "/images", container_capability_mask());
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

// The next connection within end; refuses when none comes.
Channel next_peer(const Listener &listener, Deadline end, Milliseconds wait, Milliseconds timeout) {
    const auto left =
        std::chrono::duration_cast<Milliseconds>(end - std::chrono::steady_clock::now());
    try {
        if (left.count() > 0) {
            return listener.accept(left, timeout);
        }
    } catch (const Refusal &refusal) {
        if (refusal.status() != kMigrationFailure) {
            throw;
        }
    }
    throw Refusal(kMigrationFailure, "no trusted sender came to port " +
                                         std::to_string(listener.port()) + " within " +
                                         std::to_string(wait.count() / 1000) + " s");
}

// Accepts connections until one is a machine of the trust list that finishes the handshake;
// drops every other, logging it, until wait has passed since the start.
Channel await_trusted_sender(const Command &command, const Listener &listener,
                             const MachineIdentity &identity, Milliseconds wait,
                             Milliseconds timeout) {
    const Deadline end = deadline_after(wait);
    for (;;) {
        Channel channel = next_peer(listener, end, wait, timeout);
        const std::string peer = channel.peer();
        try {
            // Read anew for each peer: a machine trusted while this one waits is taken.
            secure_channel(channel, TlsRole::kReceiver, identity,
                           trusted_machines(command.host.directory()),
                           deadline_after(std::min(timeout, kHandshakeBound)));
            return channel;
        } catch (const Refusal &refusal) {
            if (refusal.status() != kMigrationFailure) {
                throw;
            }
            std::fprintf(stderr, "%s: dropped a connection from %s: %s\n", ZOR_TOOL_TARGET,
                         peer.c_str(), refusal.what());
            channel.close_gently(kLinger);
        }
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
    const Milliseconds limit = seconds_from(kDeadlineVariable, kDefaultDeadlineSeconds);
    const std::uint64_t reserve =
        static_cast<std::uint64_t>(number_from(kReserveVariable, kDefaultReserveMiB, "MiB")) << 20U;
    const MachineIdentity identity = machine_identity(directory);
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
    Channel channel = await_trusted_sender(command, listener, identity, wait, timeout);
    channel.set_deadline(deadline_after(limit), deadline_text(limit));
    Receiver receiver(std::move(channel));
    receiver.set_disk_reserve(reserve);
    receive(command, receiver, name, picture);
}

}  // namespace zor
