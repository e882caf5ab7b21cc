// A signal storm: threads send thousands of signals of three kinds while another thread keeps
// registering and unregistering, so the relay is replaced all the time.
#include <kestal.h>

#include "callback_table.hpp"
#include "private_log_socket.hpp"
#include "termination_support.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestal::test::PrivateLogSocket;

constexpr int kKinds = 3;
constexpr long kMinReplacements = 400;
constexpr int kSenders = 3;
#if defined(KESTAL_TSAN)
constexpr int kSignalsPerSenderAndKind = 1000;
#else
constexpr int kSignalsPerSenderAndKind = 4000;
#endif

// Per kind: what the kernel accepted, what reached the handler, what reached the callback.
// Handlers on any thread read these, so even the numbers are atomic.
struct Kind {
    std::atomic<int> signo{0};
    std::atomic<long> sent{0};
    std::atomic<long> handled{0};
    std::atomic<long> called{0};
    std::atomic<long> foreign{0};  // calls with another kind's number
};

std::array<Kind, kKinds> kinds;
// The facility's handler for each kind, wrapped so that the test counts what arrived.
std::array<std::atomic<void (*)(int)>, kKinds> facility_handlers{};

void count_callback(int signo, void *data) {
    auto *kind = static_cast<Kind *>(data);
    if (signo != kind->signo) {
        kind->foreign.fetch_add(1);
    }
    kind->called.fetch_add(1);
}

void counting_handler(int signo) {
    for (int k = 0; k < kKinds; ++k) {
        if (kinds[static_cast<std::size_t>(k)].signo == signo) {
            kinds[static_cast<std::size_t>(k)].handled.fetch_add(1);
            facility_handlers[static_cast<std::size_t>(k)].load()(signo);
        }
    }
}

// Puts counting_handler in front of the handler the facility installed for signo.
void wrap_handler(std::size_t k) {
    struct sigaction action {};
    ASSERT_EQ(sigaction(kinds[k].signo, nullptr, &action), 0);
    ASSERT_NE(action.sa_handler, SIG_DFL);
    facility_handlers[k].store(action.sa_handler);
    action.sa_handler = counting_handler;
    ASSERT_EQ(sigaction(kinds[k].signo, &action, nullptr), 0);
}

bool any_kind_pending() {
    sigset_t set;
    sigpending(&set);
    for (const Kind &kind : kinds) {
        if (sigismember(&set, kind.signo) == 1) {
            return true;
        }
    }
    return false;
}

TEST(Storm, EveryDeliveredSignalReachesItsOwnCallbackWhileTheRelayIsReplaced) {
    KESTAL_REQUIRE_LOG_SOCKET();
    ASSERT_FALSE(kestal::termination::any_registered());
    kestal::test::CommandFile commands;
    PrivateLogSocket::instance().set_keep_records(false);

    // Real-time signals queue in the kernel, one delivery per signal sent.
    std::vector<kestal_termination_callback *> records;
    for (int k = 0; k < kKinds; ++k) {
        Kind &kind = kinds[static_cast<std::size_t>(k)];
        kind.signo = SIGRTMIN + 3 + k;
        records.push_back(kestal_termination_register_callback(kind.signo, count_callback, &kind));
        ASSERT_NE(records.back(), nullptr);
        wrap_handler(static_cast<std::size_t>(k));
    }

    // The churning thread uses SIGURG, whose default action is to ignore it, so the signals
    // sent while it has no callback do no harm.
    Kind churn;
    churn.signo = SIGURG;
    std::atomic<bool> sending{true};
    std::atomic<long> replacements{0};
    std::thread churner([&] {
        while (sending.load()) {
            kestal_termination_callback *first =
                kestal_termination_register_callback(SIGURG, count_callback, &churn);
            kestal_termination_callback *second =
                kestal_termination_register_callback(SIGURG, count_callback, &churn);
            (void)kestal_termination_unregister_callback(first);   // replaced: only freed
            (void)kestal_termination_unregister_callback(second);  // holds the slot
            replacements.fetch_add(4);
        }
    });

    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&] {
            // At least the quota, and on until the relay has been replaced often enough.
            for (int i = 0;
                 i < kSignalsPerSenderAndKind || (replacements.load() < kMinReplacements &&
                                                  std::chrono::steady_clock::now() < give_up);
                 ++i) {
                for (Kind &kind : kinds) {
                    const sigval value{i};
                    // The queue of pending real-time signals is bounded; a refused signal
                    // was not sent and is tried again.
                    while (sigqueue(getpid(), kind.signo, value) != 0) {
                        ASSERT_EQ(errno, EAGAIN);
                        sched_yield();
                    }
                    kind.sent.fetch_add(1);
                }
                if (i % 16 == 0) {
                    kill(getpid(), SIGURG);
                }
            }
        });
    }
    for (std::thread &sender : senders) {
        sender.join();
    }
    sending.store(false);
    churner.join();

    const bool settled = kestal::test::wait_until(
        [] {
            if (any_kind_pending()) {
                return false;
            }
            for (const Kind &kind : kinds) {
                if (kind.called.load() != kind.handled.load()) {
                    return false;
                }
            }
            return true;
        },
        std::chrono::seconds(60));

    for (const Kind &kind : kinds) {
        SCOPED_TRACE("signal " + std::to_string(kind.signo.load()));
        EXPECT_GE(kind.sent.load(), long{kSenders} * kSignalsPerSenderAndKind);
        EXPECT_EQ(kind.foreign.load(), 0);
        EXPECT_EQ(kind.called.load(), kind.handled.load()) << "signals lost on the way";
#if defined(KESTAL_TSAN)
        // ThreadSanitizer defers signals to its own points and may merge two of one number.
        EXPECT_GT(kind.handled.load(), 0);
        EXPECT_LE(kind.handled.load(), kind.sent.load());
#else
        EXPECT_EQ(kind.handled.load(), kind.sent.load()) << "the kernel queues each one";
#endif
    }
    EXPECT_TRUE(settled);
    EXPECT_EQ(churn.foreign.load(), 0);
    EXPECT_GE(replacements.load(), kMinReplacements);

    for (kestal_termination_callback *record : records) {
        EXPECT_EQ(kestal_termination_unregister_callback(record), 0);
    }
    EXPECT_FALSE(kestal::termination::any_registered());
    PrivateLogSocket::instance().set_keep_records(true);
}

}  // namespace
