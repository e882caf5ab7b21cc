// The sending and the receiving side of a migration.
#include "migration.hpp"

#include "encoding.hpp"
#include "main_process.hpp"
#include "options.hpp"
#include "refusal.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <thread>

namespace standin {

namespace {

constexpr char kMagic[] = "ZOR-MIGRATE 1";
constexpr int kConnectSeconds = 10;  // the receiver may still be starting
constexpr int kAcceptSeconds = 30;   // the receiver waits this long for a sender
constexpr int kReplySeconds = 30;    // the sender waits this long for the verdict
constexpr int kReadSeconds = 10;     // the receiver's patience with a silent sender
constexpr int kReceiverLockSeconds = 10;
constexpr std::size_t kMostPayload = 16U << 20U;
constexpr std::size_t kMostHeaderLine = 4096;

using Clock = std::chrono::steady_clock;

// A descriptor that closes itself.
class Socket {
public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    ~Socket() { reset(); }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

int remaining_ms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

bool send_all(int fd, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

// Reads until count bytes are in (or a newline, when line is set), each wait bounded by the
// deadline.
bool receive_some(int fd, std::string &into, std::size_t count, bool line,
                  Clock::time_point deadline) {
    while (into.size() < count) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, remaining_ms(deadline)) != 1) {
            return false;
        }
        char byte_block[4096];
        const std::size_t want = line ? 1 : std::min(sizeof byte_block, count - into.size());
        const ssize_t got = recv(fd, byte_block, want, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        into.append(byte_block, static_cast<std::size_t>(got));
        if (line && into.back() == '\n') {
            into.pop_back();
            return true;
        }
    }
    return !line;
}

bool receive_line(int fd, std::string &line, Clock::time_point deadline) {
    line.clear();
    return receive_some(fd, line, kMostHeaderLine, true, deadline);
}

int checked_port(const std::string &text) {
    const int port = checked_number(text, "port");
    if (port <= 0 || port > 65535) {
        throw Refusal(kUsage, "the port must be 1 to 65535, not " + text);
    }
    return port;
}

// One attempt to connect to one address, bounded by the deadline.
int connect_once(const addrinfo &address, Clock::time_point deadline) {
    Socket socket_fd(socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                            address.ai_protocol));
    if (socket_fd.get() < 0) {
        return -1;
    }
    if (connect(socket_fd.get(), address.ai_addr, address.ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            return -1;
        }
        pollfd writable{socket_fd.get(), POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        if (poll(&writable, 1, remaining_ms(deadline)) != 1 ||
            getsockopt(socket_fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return -1;
        }
    }
    const int flags = fcntl(socket_fd.get(), F_GETFL);
    fcntl(socket_fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return socket_fd.release();
}

int connect_to(const std::string &host, int port) {
    addrinfo hints{};  // a zero family takes addresses of any family
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    const std::string service = std::to_string(port);
    const int looked_up = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
    if (looked_up != 0) {
        throw Refusal(kMigrationFailure,
                      "cannot find the host '" + host + "': " + gai_strerror(looked_up));
    }
    const auto deadline = Clock::now() + std::chrono::seconds(kConnectSeconds);
    int fd = -1;
    while (fd < 0 && Clock::now() < deadline) {
        for (const addrinfo *address = addresses; address != nullptr && fd < 0;
             address = address->ai_next) {
            fd = connect_once(*address, deadline);
        }
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    freeaddrinfo(addresses);
    if (fd < 0) {
        throw Refusal(kMigrationFailure, "no receiver answered on " + host + " port " + service +
                                             " within " + std::to_string(kConnectSeconds) + " s");
    }
    return fd;
}

std::string checksum_text(std::uint64_t checksum) {
    char text[24];
    std::snprintf(text, sizeof text, "%016" PRIx64, checksum);
    return text;
}

struct Frame {
    std::string name;
    int run_state = 0;
    std::string payload;
};

// Reads and checks one frame; the reason why not, or "" when it is whole and sound.
std::string read_frame(int fd, Frame &frame) {
    const auto deadline = Clock::now() + std::chrono::seconds(kReadSeconds);
    std::string line;
    if (!receive_line(fd, line, deadline) || line != kMagic) {
        return "not a migration";
    }
    std::string header[4];
    const char *keys[] = {"NAME ", "RUN ", "LENGTH ", "CHECKSUM "};
    for (int at = 0; at < 4; ++at) {
        if (!receive_line(fd, line, deadline) || line.rfind(keys[at], 0) != 0) {
            return "a broken header";
        }
        header[at] = line.substr(std::strlen(keys[at]));
    }
    if (!receive_line(fd, line, deadline) || !line.empty()) {
        return "a broken header";
    }
    frame.name = decode(header[0]);
    char *end = nullptr;
    const unsigned long long length = std::strtoull(header[2].c_str(), &end, 10);
    if (header[2].empty() || *end != '\0' || length > kMostPayload) {
        return "a bad length";
    }
    frame.run_state = header[1] == "1" ? 1 : header[1] == "2" ? 2 : header[1] == "0" ? 0 : -1;
    if (frame.run_state < 0) {
        return "a bad run state";
    }
    if (!receive_some(fd, frame.payload, static_cast<std::size_t>(length), false, deadline)) {
        return "a transfer that ended early";
    }
    if (checksum_text(frame_checksum(frame.payload)) != header[3]) {
        return "a checksum that does not match";
    }
    return "";
}

// Makes the received container this machine's: fresh record numbers, and a fresh main
// process when it ran on the sender.
void adopt(Domain &domain, Container &container, const std::vector<Group> &groups, int run_state) {
    for (auto *records : {&container.snapshots, &container.checkpoints}) {
        for (Record &record : *records) {
            record.id = domain.next_id++;
        }
    }
    container.main = MainProcess{};
    container.registered.clear();  // process numbers of the other machine mean nothing here
    if (run_state != 0) {
        container.main = start_main_process();
        if (run_state == 2) {
            suspend_main_process(container.main);
        }
    }
    domain.containers.emplace(container.name, container);
    for (const Group &group : groups) {
        domain.groups.push_back(Group{group.container, group.name, {}});
    }
}

// Creates the received container in this machine's state and tells the sender; refuses
// (without a reply, which the caller sends) when the name is taken or the state cannot hold
// it. Once the sender has been told, the container is here and only here.
void create_received(int connection, Container &container, const std::vector<Group> &groups,
                     int run_state) {
    const std::string &name = container.name;
    const std::string directory = state_directory();
    const StateLock lock(directory, StateLock::Kind::kExclusive, kReceiverLockSeconds);
    State state = load_state(directory);
    if (state.system.containers.count(name) != 0) {
        throw Refusal(kExists, "a container '" + name + "' exists here already");
    }
    adopt(state.system, container, groups, run_state);
    const MainProcess started = state.system.containers[name].main;
    try {
        save_state(directory, state);
    } catch (const Refusal &) {
        end_main_process(started);
        throw;
    }
    if (!send_all(connection, "ACCEPTED\n")) {
        // The sender cannot learn that it arrived and keeps its copy; one copy is enough.
        end_main_process(started);
        state.system.containers.erase(name);
        state.system.groups.erase(
            std::remove_if(state.system.groups.begin(), state.system.groups.end(),
                           [&](const Group &group) { return group.container == name; }),
            state.system.groups.end());
        save_state(directory, state);
        throw Refusal(kMigrationFailure,
                      "the sender went away; container '" + name + "' stays with it");
    }
}

}  // namespace

std::uint64_t frame_checksum(const std::string &payload) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : payload) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

void migrate_verb(Command &command) {
    const Options options(command.words, 1, {{"-n", true}, {"-d", true}, {"-p", true}});
    Container &container = named_container(command, options.required("-n"));
    const std::string &host = options.required("-d");
    if (host.empty()) {
        throw Refusal(kUsage, "the destination is empty");
    }
    const int port = checked_port(options.required("-p"));
    const int run_state = container_status(container);
    const std::string payload = container_text(container, command.domain->groups);

    Socket connection(connect_to(host, port));
    std::string frame = std::string(kMagic) + "\n";
    frame += "NAME " + encode(container.name) + "\n";
    frame += "RUN " + std::to_string(run_state) + "\n";
    frame += "LENGTH " + std::to_string(payload.size()) + "\n";
    frame += "CHECKSUM " + checksum_text(frame_checksum(payload)) + "\n\n";
    frame += payload;
    std::string reply;
    const bool answered =
        send_all(connection.get(), frame) &&
        receive_line(connection.get(), reply, Clock::now() + std::chrono::seconds(kReplySeconds));
    if (!answered || (reply != "ACCEPTED" && reply.rfind("REFUSED", 0) != 0)) {
        throw Refusal(kMigrationFailure, "the receiver did not confirm; container '" +
                                             container.name + "' stays here");
    }
    if (reply != "ACCEPTED") {
        throw Refusal(kMigrationFailure, "the receiver refused container '" + container.name +
                                             "':" + reply.substr(7) + "; it stays here");
    }
    end_main_process(container.main);
    const std::string name = container.name;
    remove_container(*command.domain, name);
    command.changed = true;
}

int receive_container(const Invocation &invocation) {
    const Options options(invocation.args, 0, {{"-n", true}, {"-p", true}});
    const std::string &name = checked_name(options.required("-n"), "container");
    const int port = checked_port(options.required("-p"));

    Socket listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int yes = 1;
    setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener.get() < 0 ||
        bind(listener.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener.get(), 1) != 0) {
        throw Refusal(kMigrationFailure, "cannot listen on 127.0.0.1 port " + std::to_string(port) +
                                             ": " + std::strerror(errno));
    }
    pollfd incoming{listener.get(), POLLIN, 0};
    if (poll(&incoming, 1, kAcceptSeconds * 1000) != 1) {
        throw Refusal(kMigrationFailure,
                      "no sender came within " + std::to_string(kAcceptSeconds) + " s");
    }
    Socket connection(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    listener.reset();
    if (connection.get() < 0) {
        throw Refusal(kMigrationFailure, std::string("accept: ") + std::strerror(errno));
    }

    const auto refuse = [&](int status, const std::string &reason) {
        send_all(connection.get(), "REFUSED " + reason + "\n");
        return Refusal(status, "refused container '" + name + "': " + reason);
    };
    Frame frame;
    const std::string broken = read_frame(connection.get(), frame);
    if (!broken.empty()) {
        throw refuse(kMigrationFailure, broken);
    }
    Container container;
    std::vector<Group> groups;
    if (frame.name != name) {
        throw refuse(kMigrationFailure,
                     "expected container '" + name + "', not '" + frame.name + "'");
    }
    if (!parse_container_text(frame.payload, container, groups) || container.name != name) {
        throw refuse(kMigrationFailure, "damaged records");
    }

    try {
        create_received(connection.get(), container, groups, frame.run_state);
    } catch (const Refusal &refusal) {
        throw refuse(refusal.status(), refusal.what());
    }
    return 0;
}

}  // namespace standin
