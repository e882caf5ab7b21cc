// Bounded waits on TCP sockets: each descriptor is non-blocking and every wait goes through
// poll with the channel's timeout.
#include "stream_socket.hpp"

#include "refusal.hpp"
#include "tls_channel.hpp"

#include <openssl/err.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

namespace zor {

namespace {

[[noreturn]] void fail(const std::string &what) {
    throw Refusal(kMigrationFailure, what);
}

std::string seconds_text(Milliseconds timeout) {
    const long long tenths = timeout.count() / 100;
    return std::to_string(tenths / 10) +
           (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : "") + " s";
}

void make_non_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        fail(std::string("cannot make a socket non-blocking: ") +
             std::generic_category().message(errno));
    }
}

// Waits until fd is ready for events; false when timeout passes first.
bool wait_for(int fd, short events, Milliseconds timeout) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = poll(&entry, 1, static_cast<int>(timeout.count()));
        if (ready > 0) {
            return true;
        }
        if (ready == 0) {
            return false;
        }
        if (errno != EINTR) {
            fail(std::string("cannot wait on a socket: ") + std::generic_category().message(errno));
        }
    }
}

void close_quietly(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

}  // namespace

Channel::Channel(int fd, Milliseconds timeout) : fd_(fd), timeout_(timeout) {
    make_non_blocking(fd_);
}

Channel::~Channel() {
    close_quietly(fd_);
}

Channel::Channel(Channel &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      timeout_(other.timeout_),
      deadline_(other.deadline_),
      deadline_text_(std::move(other.deadline_text_)),
      tls_(std::move(other.tls_)) {}

Channel &Channel::operator=(Channel &&other) noexcept {
    if (this != &other) {
        tls_.reset();
        close_quietly(fd_);
        fd_ = std::exchange(other.fd_, -1);
        timeout_ = other.timeout_;
        deadline_ = other.deadline_;
        deadline_text_ = std::move(other.deadline_text_);
        tls_ = std::move(other.tls_);
    }
    return *this;
}

void Channel::set_deadline(Deadline deadline, const std::string &what) {
    deadline_ = deadline;
    deadline_text_ = what;
}

void Channel::use_tls(TlsSession session) {
    tls_ = std::move(session);
}

std::string Channel::peer() const {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    if (getpeername(fd_, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        getnameinfo(reinterpret_cast<const sockaddr *>(&address), length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    }
    std::string text = host;
    // An IPv4 peer of the dual-stack listener, said as IPv4.
    if (text.rfind("::ffff:", 0) == 0 && text.find('.') != std::string::npos) {
        text.erase(0, 7);
    }
    return text + " port " + port;
}

void Channel::close_gently(Milliseconds linger) const {
    shutdown(fd_, SHUT_WR);
    const auto end = std::chrono::steady_clock::now() + linger;
    char sink[4096];
    std::size_t left = std::size_t{1} << 20;
    for (;;) {
        const ssize_t got = recv(fd_, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return;
        }
        if (got > 0) {
            left -= std::min(left, static_cast<std::size_t>(got));
            if (left == 0) {
                return;
            }
            continue;
        }
        const auto wait =
            std::chrono::duration_cast<Milliseconds>(end - std::chrono::steady_clock::now());
        if (wait.count() <= 0 || !wait_for(fd_, POLLIN, wait)) {
            return;
        }
    }
}

void Channel::wait(short events) const {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline_) {
        fail(deadline_text_);
    }
    const bool timeout_first = deadline_ - now > timeout_;
    const Milliseconds bound =
        timeout_first ? timeout_
                      : std::chrono::duration_cast<Milliseconds>(deadline_ - now) + Milliseconds(1);
    if (!wait_for(fd_, events, bound)) {
        if (!timeout_first) {
            fail(deadline_text_);
        }
        fail(events == POLLOUT ? "the peer took nothing for " + seconds_text(timeout_)
                               : "no answer from the peer for " + seconds_text(timeout_));
    }
}

void Channel::close_write() {
    if (tls_) {
        // Best effort: a peer that has gone needs no close_notify.
        SSL_shutdown(tls_.get());
    }
    shutdown(fd_, SHUT_WR);
}

void Channel::write_all(const void *data, std::size_t size) {
    const char *from = static_cast<const char *>(data);
    if (tls_) {
        while (size > 0) {
            std::size_t sent = 0;
            ERR_clear_error();
            const int done = SSL_write_ex(tls_.get(), from, size, &sent);
            if (done == 1) {
                from += sent;
                size -= sent;
                continue;
            }
            const int error = SSL_get_error(tls_.get(), done);
            if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
                wait(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN);
            } else {
                fail("the connection broke: " + tls_error_text(error));
            }
        }
        return;
    }
    while (size > 0) {
        // MSG_NOSIGNAL: a peer that has gone is an error to report, not a SIGPIPE that ends
        // the command before it can put the container back.
        const ssize_t sent = send(fd_, from, size, MSG_NOSIGNAL);
        if (sent > 0) {
            from += sent;
            size -= static_cast<std::size_t>(sent);
        } else if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait(POLLOUT);
        } else if (sent < 0 && errno != EINTR) {
            fail(std::string("the connection broke: ") + std::generic_category().message(errno));
        }
    }
}

std::size_t Channel::read_some(void *data, std::size_t size) {
    while (tls_) {
        std::size_t got = 0;
        ERR_clear_error();
        const int done = SSL_read_ex(tls_.get(), data, size, &got);
        if (done == 1) {
            return got;
        }
        const int error = SSL_get_error(tls_.get(), done);
        if (error == SSL_ERROR_ZERO_RETURN) {
            return 0;
        }
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            wait(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN);
        } else {
            fail("the connection broke: " + tls_error_text(error));
        }
    }
    for (;;) {
        const ssize_t got = recv(fd_, data, size, 0);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait(POLLIN);
        } else if (errno != EINTR) {
            fail(std::string("the connection broke: ") + std::generic_category().message(errno));
        }
    }
}

void Channel::read_exact(void *data, std::size_t size) {
    char *to = static_cast<char *>(data);
    while (size > 0) {
        const std::size_t got = read_some(to, size);
        if (got == 0) {
            fail("the peer closed the connection early");
        }
        to += got;
        size -= got;
    }
}

Listener::Listener(int port, bool any_port) {
    if (port < (any_port ? 0 : 1) || port > 65535) {
        throw Refusal(kUsage, "the port must be a number from 1 to 65535");
    }
    // One IPv6 socket that also takes IPv4 peers; a host without IPv6 gets an IPv4 one.
    fd_ = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool six = fd_ >= 0;
    if (!six) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    }
    if (fd_ < 0) {
        fail(std::string("cannot make a socket: ") + std::generic_category().message(errno));
    }
    const int on = 1;
    const int off = 0;
    // SO_REUSEADDR only lets the port be taken again while old connections linger in
    // TIME_WAIT; a port on which something listens is still refused.
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (six) {
        setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        any.sin6_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&address, &any, sizeof any);
        length = sizeof any;
    } else {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        any.sin_port = htons(static_cast<std::uint16_t>(port));
        std::memcpy(&address, &any, sizeof any);
        length = sizeof any;
    }
    if (bind(fd_, reinterpret_cast<const sockaddr *>(&address), length) != 0 ||
        listen(fd_, 1) != 0) {
        const int error = errno;
        close_quietly(fd_);
        fd_ = -1;
        if (error == EADDRINUSE) {
            throw Refusal(kPortTaken, "port " + std::to_string(port) + " is taken already");
        }
        fail("cannot listen on port " + std::to_string(port) + ": " +
             std::generic_category().message(error));
    }
    getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(six ? reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port
                      : reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    make_non_blocking(fd_);
}

Listener::~Listener() {
    close_quietly(fd_);
}

Channel Listener::accept(Milliseconds wait, Milliseconds io_timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            return {fd, io_timeout};
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            fail(std::string("cannot accept a connection: ") +
                 std::generic_category().message(errno));
        }
        const auto left =
            std::chrono::duration_cast<Milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !wait_for(fd_, POLLIN, left)) {
            fail("no sender came to port " + std::to_string(port_) + " within " +
                 seconds_text(wait));
        }
    }
}

Channel connect_to(const std::string &host, int port, Milliseconds timeout) {
    if (port < 1 || port > 65535) {
        throw Refusal(kUsage, "the port must be a number from 1 to 65535");
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int looked = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (looked != 0) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): gai_strerror returns static texts here
        fail("cannot find host '" + host + "': " + gai_strerror(looked));
    }
    std::string why = "no address";
    for (const addrinfo *at = found; at != nullptr; at = at->ai_next) {
        const int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            why = std::generic_category().message(errno);
            continue;
        }
        Channel channel(fd, timeout);
        int error = 0;
        if (connect(fd, at->ai_addr, at->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                error = ETIMEDOUT;
                if (wait_for(fd, POLLOUT, timeout)) {
                    socklen_t length = sizeof error;
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
                }
            }
        }
        if (error == 0) {
            freeaddrinfo(found);
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return channel;
        }
        why = error == ETIMEDOUT ? "no answer for " + seconds_text(timeout)
                                 : std::generic_category().message(error);
    }
    freeaddrinfo(found);
    fail("cannot connect to " + host + " port " + std::to_string(port) + ": " + why);
}

}  // namespace zor
