// Loopback peers for tests of migration: free and taken ports, and a TCP proxy on 127.0.0.1
// that forwards one connection to a port of this host, both ways, keeps what went forward,
// and can invert one byte of the forward stream in transit, so that a damaged transfer is a
// real one between real programs.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace transfer_test {

// A port on which nothing listens at the moment.
int free_port();

// True when something listens on port (IPv4 or IPv6), as /proc/net shows it.
bool listening(int port);

// A socket that listens on every address at a port of the kernel's choice but never accepts.
class MuteListener {
public:
    MuteListener();
    ~MuteListener();
    MuteListener(const MuteListener &) = delete;
    MuteListener &operator=(const MuteListener &) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

class ByteProxy {
public:
    // Listens at once on a port the kernel chooses; forwards to target_port. flip_at: the
    // offset in the forward stream whose byte is inverted; hold_after: how many bytes go
    // forward before the rest is held back (negative: none).
    explicit ByteProxy(int target_port, long long flip_at = -1, long long hold_after = -1);
    ~ByteProxy();
    ByteProxy(const ByteProxy &) = delete;
    ByteProxy &operator=(const ByteProxy &) = delete;

    int port() const { return port_; }
    // How many bytes have gone forward so far.
    std::size_t forwarded_size();
    // Waits for the connection to end both ways, then returns the forward stream as sent.
    std::string forwarded();

private:
    int listener_ = -1;
    int port_ = 0;
    int target_port_;
    long long flip_at_;
    long long hold_after_;
    std::size_t forwarded_size_ = 0;
    int stop_[2] = {-1, -1};
    std::mutex mutex_;
    std::string forwarded_;
    std::thread thread_;
    void run();
};

}  // namespace transfer_test
