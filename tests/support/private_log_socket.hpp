// A syslog socket of the test's own: /dev/log inside a private mount namespace.
//
// The test process (as root) makes itself a mount namespace, lays a fresh /dev over the real
// one with just the device nodes a test needs bound in, and binds a datagram socket at
// /dev/log. glibc's syslog() then talks to the test, and children started by the test inherit
// the same socket. The machine's real /dev is never written to.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestal::test {

// One datagram as glibc sent it, split into its parts.
struct SyslogRecord {
    std::string raw;        // the whole datagram, e.g. "<174>Dec  8 03:29:40 prog[2818]: hi\n"
    int priority = -1;      // the number between "<" and ">"
    std::string timestamp;  // "Dec  8 03:29:40"
    std::string tag;        // identity, with "[pid]" when the log was opened with LOG_PID
    std::string message;    // the text after "tag: ", newline included
};

// Parses one datagram; priority stays -1 when it does not have the syslog header form.
SyslogRecord parse_syslog_record(const std::string &raw);

class PrivateLogSocket {
public:
    // Makes the namespace and the socket. Call once from main(), before any thread starts
    // (a mount namespace is per thread until then). Records why when it cannot.
    static void setup();
    static bool available();
    static const std::string &unavailable_reason();

    // The collector: a thread reads every datagram as it arrives, so a sender never blocks
    // on a full socket queue.
    static PrivateLogSocket &instance();

    // Waits until every datagram sent before this call has been collected, then returns and
    // clears all collected records.
    std::vector<SyslogRecord> take();
    // Drops everything collected so far.
    void clear() { (void)take(); }

    // With keep off, datagrams are read and dropped, so benchmarks can drain without storing.
    void set_keep_records(bool keep);
    // With spinning on, the reader polls instead of sleeping between datagrams, so a sender
    // never pays for waking it: a benchmark then measures the sender's own cost steadily.
    void set_spinning(bool spin) { spinning_.store(spin); }

private:
    PrivateLogSocket();
    void run();

    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<SyslogRecord> records_;
    unsigned long markers_seen_ = 0;
    unsigned long markers_sent_ = 0;
    bool keep_records_ = true;
    bool reader_ready_ = false;
    std::atomic<bool> spinning_{false};
    std::thread reader_;
};

}  // namespace kestal::test

// Skips the current test, with the reason, when the private log socket could not be made.
#define KESTAL_REQUIRE_LOG_SOCKET()                                                 \
    do {                                                                            \
        if (!::kestal::test::PrivateLogSocket::available()) {                       \
            GTEST_SKIP() << "private /dev/log unavailable: "                        \
                         << ::kestal::test::PrivateLogSocket::unavailable_reason(); \
        }                                                                           \
    } while (0)
