// The proxy is one poll loop over both directions; it gives up after a minute without
// traffic.
#include "loopback_support.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace transfer_test {

namespace {

constexpr int kIdleMilliseconds = 60000;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

}  // namespace

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool listening(int port) {
    char local[16];
    std::snprintf(local, sizeof local, ":%04X", static_cast<unsigned>(port));
    for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string slot, address, remote, state;
            fields >> slot >> address >> remote >> state;
            if (state == "0A" && address.size() > 5 &&
                address.compare(address.size() - 5, 5, local) == 0) {
                return true;
            }
        }
    }
    return false;
}

MuteListener::MuteListener() : fd_(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr *>(&address), length);
    listen(fd_, 1);
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin6_port);
}

MuteListener::~MuteListener() {
    close(fd_);
}

ByteProxy::ByteProxy(int target_port, long long flip_at, long long hold_after)
    : target_port_(target_port), flip_at_(flip_at), hold_after_(hold_after) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listener_ < 0 || pipe(stop_) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return;  // port() stays 0; the test's connection then fails
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
}

ByteProxy::~ByteProxy() {
    if (stop_[1] >= 0) {
        (void)!write(stop_[1], "x", 1);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int fd : {listener_, stop_[0], stop_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::size_t ByteProxy::forwarded_size() {
    const std::lock_guard<std::mutex> hold(mutex_);
    return forwarded_size_;
}

std::string ByteProxy::forwarded() {
    if (thread_.joinable()) {
        thread_.join();
    }
    const std::lock_guard<std::mutex> hold(mutex_);
    return forwarded_;
}

void ByteProxy::run() {
    pollfd waiting[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
    if (poll(waiting, 2, kIdleMilliseconds) <= 0 || waiting[1].revents != 0) {
        return;
    }
    const int near = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    const int far = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in target = loopback(target_port_);
    if (near < 0 || far < 0 ||
        connect(far, reinterpret_cast<const sockaddr *>(&target), sizeof target) != 0) {
        for (int fd : {near, far}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        return;
    }
    // from[i] goes to to[i]; direction 0 is forward.
    const std::array<int, 2> from = {near, far};
    const std::array<int, 2> to = {far, near};
    std::array<bool, 2> open = {true, true};
    long long offset = 0;
    std::array<char, 65536> buffer{};
    while (open[0] || open[1]) {
        const bool held = hold_after_ >= 0 && offset >= hold_after_;
        pollfd fds[3] = {{open[0] && !held ? from[0] : -1, POLLIN, 0},
                         {open[1] ? from[1] : -1, POLLIN, 0},
                         {stop_[0], POLLIN, 0}};
        if (poll(fds, 3, kIdleMilliseconds) <= 0 || fds[2].revents != 0) {
            break;
        }
        for (std::size_t way = 0; way < 2; ++way) {
            if (!open[way] || fds[way].revents == 0) {
                continue;
            }
            std::size_t room = buffer.size();
            if (way == 0 && hold_after_ >= 0) {
                room = std::min(room, static_cast<std::size_t>(hold_after_ - offset));
            }
            const ssize_t got = read(from[way], buffer.data(), room);
            if (got <= 0 && held) {
                // The receiver has gone while the sender's bytes are held: the sender must
                // learn it now, from a reset, not when its writes fill the buffers.
                open = {false, false};
                break;
            }
            if (got <= 0) {
                open[way] = false;
                shutdown(to[way], SHUT_WR);
                continue;
            }
            const auto size = static_cast<std::size_t>(got);
            if (way == 0) {
                if (flip_at_ >= offset && flip_at_ < offset + got) {
                    buffer[static_cast<std::size_t>(flip_at_ - offset)] ^= 0x01;
                }
                const std::lock_guard<std::mutex> hold(mutex_);
                forwarded_.append(buffer.data(), size);
                if (flip_at_ >= offset && flip_at_ < offset + got) {
                    forwarded_[static_cast<std::size_t>(flip_at_)] ^= 0x01;  // as sent
                }
                offset += got;
                forwarded_size_ = static_cast<std::size_t>(offset);
            }
            if (send(to[way], buffer.data(), size, MSG_NOSIGNAL) != got) {
                open = {false, false};
            }
        }
    }
    close(near);
    close(far);
}

}  // namespace transfer_test
