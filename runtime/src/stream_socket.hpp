// TCP connections for moving a container between machines. Every read, write, connect and
// accept is bounded in time, so that a peer that goes silent or vanishes turns into a refusal
// (kMigrationFailure) instead of a command that hangs; a whole conversation can be bounded as
// well (a deadline). Once secured (tls_channel.hpp), a channel reads and writes through its
// TLS session.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace zor {

using Milliseconds = std::chrono::milliseconds;
using Deadline = std::chrono::steady_clock::time_point;
using TlsSession = std::unique_ptr<SSL, void (*)(SSL *)>;

// One connected stream socket. Owns its descriptor.
class Channel {
public:
    // Takes fd (a connected stream socket); every later operation waits at most timeout for
    // the peer to make progress.
    Channel(int fd, Milliseconds timeout);
    ~Channel();
    Channel(Channel &&other) noexcept;
    Channel &operator=(Channel &&other) noexcept;
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    // Writes all of data; refuses when the peer is gone or takes no bytes for the timeout.
    void write_all(const void *data, std::size_t size);
    // Reads exactly size bytes; refuses when the stream ends first or stays silent for the
    // timeout.
    void read_exact(void *data, std::size_t size);
    // Reads what has come, at most size bytes, waiting up to the timeout for the first;
    // returns 0 when the peer has closed its end.
    std::size_t read_some(void *data, std::size_t size);
    // The bound of each wait from now on.
    void set_timeout(Milliseconds timeout) { timeout_ = timeout; }
    Milliseconds timeout() const { return timeout_; }
    // No wait goes past deadline; what is the refusal's message when it passes.
    void set_deadline(Deadline deadline, const std::string &what);
    // Ends this side's stream (TLS: with its close_notify); the peer reads the end of it.
    void close_write();
    // Ends this side's stream and reads what the peer still sends, at most for linger, so
    // that the last thing sent (an alert) is not lost to the reset that closing a socket with
    // unread bytes causes.
    void close_gently(Milliseconds linger) const;
    int fd() const { return fd_; }
    // The peer's address and port, for messages.
    std::string peer() const;

    // From now on reads and writes go through session, whose handshake is done; the
    // channel owns it.
    void use_tls(TlsSession session);
    SSL *tls() const { return tls_.get(); }
    // Waits, within the channel's bounds, until fd is ready for events; refuses when the
    // timeout or the deadline passes first (said as "no answer from the peer for ..." or
    // "the peer took nothing for ...", by events).
    void wait(short events) const;

private:
    int fd_ = -1;
    Milliseconds timeout_;
    Deadline deadline_ = Deadline::max();
    std::string deadline_text_;
    TlsSession tls_{nullptr, SSL_free};
};

// A listening socket on every address of this machine (IPv6 and IPv4) at one port.
class Listener {
public:
    // Refuses with kPortTaken when something else listens on port, kUsage for a port outside
    // 1..65535 (0 is allowed only with any_port: the kernel chooses, for tests).
    explicit Listener(int port, bool any_port = false);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Waits at most wait for one peer; its Channel then has io_timeout.
    Channel accept(Milliseconds wait, Milliseconds io_timeout) const;
    // The port it listens on.
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Connects to host (a name or a numeric address) at port, trying each address the resolver
// gives; a closed port fails at once, a silent one after timeout.
Channel connect_to(const std::string &host, int port, Milliseconds timeout);

}  // namespace zor
