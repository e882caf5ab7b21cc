#include "private_log_socket.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestal::test {

namespace {

constexpr const char *kLogPath = "/dev/log";
constexpr char kMarkerPrefix[] = "\x01kestal-test-marker";

bool setup_done = false;
std::string setup_failure = "setup() was not called";

std::string failure(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

sockaddr_un log_address() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kLogPath, sizeof address.sun_path - 1);
    return address;
}

// Lays a tmpfs over /dev holding only the nodes that tests and the programs they start use,
// bound in from the real /dev. Returns "" on success, else what failed.
std::string make_private_dev() {
    if (unshare(CLONE_NEWNS) != 0) {
        return failure("unshare(CLONE_NEWNS)");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failure("mount --make-rprivate /");
    }
    char staging[] = "/tmp/kestal-dev-XXXXXX";
    if (mkdtemp(staging) == nullptr) {
        return failure("mkdtemp");
    }
    std::string result;
    if (mount("tmpfs", staging, "tmpfs", 0, "mode=755") != 0) {
        result = failure("mount tmpfs");
    } else {
        for (const char *node : {"null", "zero", "full", "random", "urandom", "tty"}) {
            const std::string source = std::string("/dev/") + node;
            const std::string target = std::string(staging) + "/" + node;
            struct stat info {};
            if (stat(source.c_str(), &info) != 0) {
                continue;
            }
            if (FILE *placeholder = std::fopen(target.c_str(), "w"); placeholder != nullptr) {
                std::fclose(placeholder);
            }
            if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
                result = failure("bind /dev node");
                break;
            }
        }
        const char *const links[][2] = {{"fd", "/proc/self/fd"},
                                        {"stdin", "/proc/self/fd/0"},
                                        {"stdout", "/proc/self/fd/1"},
                                        {"stderr", "/proc/self/fd/2"}};
        for (const auto &link : links) {
            (void)symlink(link[1], (std::string(staging) + "/" + link[0]).c_str());
        }
        (void)mkdir((std::string(staging) + "/shm").c_str(), 01777);
        // CRIU (which the runtime's checkpoints run from here) checks for pseudo-terminals and
        // the tun device, and refuses to work without them.
        if (result.empty() && access("/dev/pts/ptmx", F_OK) == 0) {
            const std::string pts = std::string(staging) + "/pts";
            (void)mkdir(pts.c_str(), 0755);
            (void)symlink("pts/ptmx", (std::string(staging) + "/ptmx").c_str());
            if (mount("/dev/pts", pts.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
                result = failure("bind /dev/pts");
            }
        }
        if (result.empty() && access("/dev/net/tun", F_OK) == 0) {
            const std::string net = std::string(staging) + "/net";
            (void)mkdir(net.c_str(), 0755);
            if (FILE *placeholder = std::fopen((net + "/tun").c_str(), "w");
                placeholder != nullptr) {
                std::fclose(placeholder);
            }
            if (mount("/dev/net/tun", (net + "/tun").c_str(), nullptr, MS_BIND, nullptr) != 0) {
                result = failure("bind /dev/net/tun");
            }
        }
        if (result.empty() && mount(staging, "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            result = failure("bind private /dev");
        }
        (void)umount2(staging, MNT_DETACH);
    }
    (void)rmdir(staging);
    return result;
}

}  // namespace

SyslogRecord parse_syslog_record(const std::string &raw) {
    SyslogRecord record;
    record.raw = raw;
    if (raw.size() < 2 || raw[0] != '<') {
        return record;
    }
    const std::size_t close = raw.find('>');
    if (close == std::string::npos || close < 2) {
        return record;
    }
    const std::string number = raw.substr(1, close - 1);
    if (number.find_first_not_of("0123456789") != std::string::npos) {
        return record;
    }
    constexpr std::size_t kStampLength = 15;  // "Dec  8 03:29:40"
    const std::size_t stamp = close + 1;
    if (raw.size() < stamp + kStampLength + 1) {
        return record;
    }
    record.priority = std::atoi(number.c_str());
    record.timestamp = raw.substr(stamp, kStampLength);
    const std::size_t rest = stamp + kStampLength + 1;
    const std::size_t colon = raw.find(": ", rest);
    if (colon == std::string::npos) {
        record.message = raw.substr(rest);
        return record;
    }
    record.tag = raw.substr(rest, colon - rest);
    record.message = raw.substr(colon + 2);
    return record;
}

void PrivateLogSocket::setup() {
    if (setup_done) {
        return;
    }
    setup_done = true;
    if (geteuid() != 0) {
        setup_failure = "not running as root, so no private mount namespace can be made";
        return;
    }
    setup_failure = make_private_dev();
    if (setup_failure.empty()) {
        (void)instance();
    }
}

bool PrivateLogSocket::available() {
    return setup_done && setup_failure.empty();
}

const std::string &PrivateLogSocket::unavailable_reason() {
    return setup_failure;
}

PrivateLogSocket &PrivateLogSocket::instance() {
    // Never destroyed: the reader thread blocks in recv() for the life of the process.
    static PrivateLogSocket *socket = new PrivateLogSocket();
    return *socket;
}

PrivateLogSocket::PrivateLogSocket() {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = log_address();
    (void)unlink(kLogPath);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        std::perror("bind /dev/log");
        std::abort();
    }
    (void)chmod(kLogPath, 0666);
    reader_ = std::thread([this] { run(); });
    reader_.detach();
    // Tests fork right after set-up. A thread still starting holds the sanitizers' internal
    // locks for a moment, and a child forked then would inherit them locked and hang: wait
    // until the reader has made its buffer and goes on to block in recv().
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait(lock, [this] { return reader_ready_; });
}

void PrivateLogSocket::run() {
    std::vector<char> buffer(1 << 16);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reader_ready_ = true;
    }
    arrived_.notify_all();
    for (;;) {
        const bool spin = spinning_.load(std::memory_order_relaxed);
        const ssize_t received = recv(fd_, buffer.data(), buffer.size(), spin ? MSG_DONTWAIT : 0);
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return;
        }
        std::string raw(buffer.data(), static_cast<std::size_t>(received));
        std::lock_guard<std::mutex> lock(mutex_);
        if (raw.compare(0, sizeof kMarkerPrefix - 1, kMarkerPrefix) == 0) {
            ++markers_seen_;
            arrived_.notify_all();
        } else if (keep_records_) {
            records_.push_back(parse_syslog_record(raw));
        }
    }
}

std::vector<SyslogRecord> PrivateLogSocket::take() {
    unsigned long marker;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        marker = ++markers_sent_;
    }
    // A datagram sent now queues behind everything already sent to the socket, so once the
    // reader has seen it, all earlier lines have been collected.
    const int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = log_address();
    const std::string text = kMarkerPrefix + std::to_string(marker);
    (void)sendto(sender, text.data(), text.size(), 0, reinterpret_cast<const sockaddr *>(&address),
                 sizeof address);
    close(sender);

    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::seconds(10), [&] { return markers_seen_ >= marker; });
    std::vector<SyslogRecord> taken;
    taken.swap(records_);
    return taken;
}

void PrivateLogSocket::set_keep_records(bool keep) {
    std::lock_guard<std::mutex> lock(mutex_);
    keep_records_ = keep;
}

}  // namespace kestal::test
