// The facility end to end: registration, delivery on the relay thread, unregistration, the
// commands for the kernel interface and the log lines at the syslog socket.
#define KESTAL_TERMINATION_STATE
#include <kestal.h>

#include "callback_table.hpp"
#include "child_process.hpp"
#include "private_log_socket.hpp"
#include "proc_kestal.hpp"
#include "termination_channels.hpp"
#include "termination_support.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestal::test::announce_text;
using kestal::test::CommandFile;
using kestal::test::Event;
using kestal::test::installed_action;
using kestal::test::PrivateLogSocket;
using kestal::test::Probe;
using kestal::test::probe_callback;
using kestal::test::withdraw_text;

class Termination : public testing::Test {
protected:
    void SetUp() override {
        KESTAL_REQUIRE_LOG_SOCKET();
        ASSERT_FALSE(kestal::termination::any_registered());
        kestal_log_set_format("%msg%");
        PrivateLogSocket::instance().clear();
    }
    void TearDown() override {
        for (kestal_termination_callback *record : records_) {
            (void)kestal_termination_unregister_callback(record);
        }
        EXPECT_FALSE(kestal::termination::any_registered());
        kestal_log_set_format("%msg%");
        kestal::termination::select_channel(kestal::termination::kSemChannel);
    }

    // Registers and remembers the record for unregistration at the end of the test.
    kestal_termination_callback *add(int signo, kestal_termination_fn callback, void *data) {
        kestal_termination_callback *record =
            kestal_termination_register_callback(signo, callback, data);
        if (record != nullptr) {
            records_.push_back(record);
        }
        return record;
    }
    // Unregisters a record that add() returned.
    int remove(kestal_termination_callback *record) {
        records_.erase(std::remove(records_.begin(), records_.end(), record), records_.end());
        return kestal_termination_unregister_callback(record);
    }

    static std::vector<std::string> messages() {
        std::vector<std::string> texts;
        for (const auto &record : PrivateLogSocket::instance().take()) {
            texts.push_back(record.message);
        }
        return texts;
    }

    CommandFile commands_;
    std::vector<kestal_termination_callback *> records_;
};

const std::vector<std::string> kRegistered = {"event=KESTAL Register\n"};
const std::vector<std::string> kUnregistered = {"event=KESTAL Unregister\n"};

TEST_F(Termination, FirstRegistrationAnnouncesLogsAndReturnsTheRecord) {
    Probe probe;
    kestal_termination_callback *record = add(SIGUSR1, probe_callback, &probe);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->signo, SIGUSR1);
    EXPECT_EQ(record->callback, &probe_callback);
    EXPECT_EQ(record->data, &probe);
    EXPECT_EQ(commands_.take(), announce_text());
    EXPECT_EQ(messages(), kRegistered);
    EXPECT_EQ(probe.calls.load(), 0);
}

TEST_F(Termination, LogLinesNameTheirSourceAndAreInformational) {
    kestal_log_set_format("%file%|%func%|%faci%.%lvl%|%msg%");
    Probe probe;
    kestal_termination_callback *record = add(SIGUSR1, probe_callback, &probe);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(remove(record), 0);
    const auto records = PrivateLogSocket::instance().take();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].priority, LOG_LOCAL5 | LOG_INFO);
    EXPECT_EQ(records[0].message,
              "termination|kestal_termination_register_callback|local5.info|"
              "event=KESTAL Register\n");
    EXPECT_EQ(records[1].priority, LOG_LOCAL5 | LOG_INFO);
    EXPECT_EQ(records[1].message,
              "termination|kestal_termination_unregister_callback|local5.info|"
              "event=KESTAL Unregister\n");
}

TEST_F(Termination, TheHandlerIsInstalledWithAnEmptyMaskAndRestart) {
    Probe probe;
    ASSERT_NE(add(SIGUSR2, probe_callback, &probe), nullptr);
    const struct sigaction action = installed_action(SIGUSR2);
    EXPECT_NE(action.sa_handler, SIG_DFL);
    EXPECT_NE(action.sa_handler, SIG_IGN);
    EXPECT_NE(action.sa_flags & SA_RESTART, 0);
    EXPECT_EQ(action.sa_flags & SA_SIGINFO, 0);
    EXPECT_TRUE(sigisemptyset(&action.sa_mask));
}

class Delivery : public Termination, public testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        Termination::SetUp();
        kestal::termination::select_channel(GetParam());
    }
};

TEST_P(Delivery, ASignalRunsTheCallbackOnTheRelayThread) {
    Probe probe;
    ASSERT_NE(add(SIGUSR1, probe_callback, &probe), nullptr);
    ASSERT_EQ(raise(SIGUSR1), 0);
    ASSERT_TRUE(probe.called.wait());
    EXPECT_EQ(probe.calls.load(), 1);
    EXPECT_EQ(probe.last_signo.load(), SIGUSR1);
    EXPECT_EQ(probe.last_data.load(), &probe);
    EXPECT_FALSE(pthread_equal(probe.thread, pthread_self())) << "ran on the signalled thread";
    EXPECT_TRUE(pthread_equal(probe.thread, tid));
}

TEST_P(Delivery, TwoSignalsArrivingTogetherEachReachTheirOwnCallback) {
    // The relay is held in a callback while two other signals arrive, so both are waiting
    // when it next looks.
    struct Gate {
        Event entered;
        Event release;
    } gate;
    auto hold = [](int, void *data) {
        auto *g = static_cast<Gate *>(data);
        g->entered.post();
        (void)g->release.wait();
    };
    Probe first;
    Probe second;
    ASSERT_NE(add(SIGHUP, hold, &gate), nullptr);
    ASSERT_NE(add(SIGUSR2, probe_callback, &first), nullptr);
    ASSERT_NE(add(SIGRTMIN + 1, probe_callback, &second), nullptr);
    ASSERT_EQ(raise(SIGHUP), 0);
    ASSERT_TRUE(gate.entered.wait());
    ASSERT_EQ(raise(SIGUSR2), 0);
    ASSERT_EQ(raise(SIGRTMIN + 1), 0);
    gate.release.post();
    ASSERT_TRUE(first.called.wait());
    ASSERT_TRUE(second.called.wait());
    EXPECT_EQ(first.last_signo.load(), SIGUSR2);
    EXPECT_EQ(second.last_signo.load(), SIGRTMIN + 1);
    EXPECT_EQ(first.calls.load(), 1);
    EXPECT_EQ(second.calls.load(), 1);
}

TEST_P(Delivery, SignalsRaisedInARowAreAllDelivered) {
    Probe probe;
    ASSERT_NE(add(SIGRTMIN + 2, probe_callback, &probe), nullptr);
    constexpr int kSignals = 200;
    for (int i = 0; i < kSignals; ++i) {
        ASSERT_EQ(raise(SIGRTMIN + 2), 0);
    }
    EXPECT_TRUE(kestal::test::wait_until([&] { return probe.calls.load() >= kSignals; }))
        << probe.calls.load();
    EXPECT_EQ(probe.calls.load(), kSignals);
}

std::string channel_name(const testing::TestParamInfo<int> &info) {
    return commufunc[info.param].name;
}

INSTANTIATE_TEST_SUITE_P(BothChannels, Delivery,
                         testing::Values(kestal::termination::kPipeChannel,
                                         kestal::termination::kSemChannel),
                         channel_name);

// A child forked while the pipe channel runs must not pass its signals into the parent's
// pipe: the child's number would reach the parent's relay, ahead of the parent's own next one.
TEST_F(Termination, AForkedChildsSignalNeverReachesTheParentsRelay) {
    kestal::termination::select_channel(kestal::termination::kPipeChannel);
    Probe inherited;
    Probe own;
    ASSERT_NE(add(SIGUSR1, probe_callback, &inherited), nullptr);
    ASSERT_NE(add(SIGUSR2, probe_callback, &own), nullptr);
    ASSERT_EQ(raise(SIGUSR2), 0);  // the relay is past its start before the fork
    ASSERT_TRUE(own.called.wait());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        (void)raise(SIGUSR1);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(raise(SIGUSR2), 0);
    ASSERT_TRUE(kestal::test::wait_until([&] { return own.calls.load() == 2; }));
    EXPECT_EQ(inherited.calls.load(), 0);
}

TEST_F(Termination, ASecondRegistrationWritesNoCommandAndBothCallbacksRun) {
    Probe one;
    Probe two;
    ASSERT_NE(add(SIGUSR1, probe_callback, &one), nullptr);
    EXPECT_EQ(commands_.take(), announce_text());
    ASSERT_NE(add(SIGUSR2, probe_callback, &two), nullptr);
    EXPECT_EQ(commands_.take(), "");
    EXPECT_EQ(messages(), (std::vector<std::string>{kRegistered[0], kRegistered[0]}));
    raise(SIGUSR1);
    raise(SIGUSR2);
    ASSERT_TRUE(one.called.wait());
    ASSERT_TRUE(two.called.wait());
    EXPECT_EQ(one.last_signo.load(), SIGUSR1);
    EXPECT_EQ(two.last_signo.load(), SIGUSR2);
}

class OutOfRange : public Termination, public testing::WithParamInterface<int> {};

TEST_P(OutOfRange, IsRefusedAfterTheAnnouncementWhenNothingIsRegistered) {
    const int signo = GetParam();
    Probe probe;
    EXPECT_EQ(kestal_termination_register_callback(signo, probe_callback, &probe), nullptr);
    EXPECT_EQ(commands_.take(), announce_text());
    EXPECT_EQ(messages(), std::vector<std::string>{});
}

TEST_P(OutOfRange, IsRefusedWithoutACommandWhileACallbackIsRegistered) {
    Probe registered;
    ASSERT_NE(add(SIGUSR1, probe_callback, &registered), nullptr);
    (void)commands_.take();
    (void)messages();
    Probe probe;
    EXPECT_EQ(kestal_termination_register_callback(GetParam(), probe_callback, &probe), nullptr);
    EXPECT_EQ(commands_.take(), "");
    EXPECT_EQ(messages(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Numbers, OutOfRange, testing::Values(0, -1, SIGRTMAX + 1, 100000));

TEST_F(Termination, UnregisteringTheOnlyRecordRestoresTheDefaultAndWithdraws) {
    Probe probe;
    kestal_termination_callback *record = add(SIGUSR1, probe_callback, &probe);
    ASSERT_NE(record, nullptr);
    (void)commands_.take();
    (void)messages();
    EXPECT_EQ(remove(record), 0);
    const struct sigaction action = installed_action(SIGUSR1);
    EXPECT_EQ(action.sa_handler, SIG_DFL);
    constexpr unsigned kFlags = SA_RESTART | SA_SIGINFO | SA_NODEFER | SA_RESETHAND | SA_ONSTACK;
    EXPECT_EQ(static_cast<unsigned>(action.sa_flags) & kFlags, 0u);
#if !defined(KESTAL_TSAN)  // ThreadSanitizer reports a full mask for every default action
    EXPECT_TRUE(sigisemptyset(&action.sa_mask));
#endif
    EXPECT_EQ(messages(), kUnregistered);
    EXPECT_EQ(commands_.take(), withdraw_text());
    EXPECT_EQ(sem, nullptr) << "the channel is released with the relay";
}

TEST_F(Termination, AReplacedRecordIsOnlyFreed) {
    Probe older;
    Probe newer;
    kestal_termination_callback *old_record = add(SIGUSR1, probe_callback, &older);
    kestal_termination_callback *new_record = add(SIGUSR1, probe_callback, &newer);
    ASSERT_NE(old_record, nullptr);
    ASSERT_NE(new_record, nullptr);
    (void)commands_.take();
    (void)messages();
    EXPECT_EQ(remove(old_record), 0);
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(commands_.take(), "");
    EXPECT_NE(installed_action(SIGUSR1).sa_handler, SIG_DFL);
    raise(SIGUSR1);
    ASSERT_TRUE(newer.called.wait());
    EXPECT_EQ(older.calls.load(), 0);
    EXPECT_EQ(remove(new_record), 0);
    EXPECT_EQ(messages(), kUnregistered);
    EXPECT_EQ(commands_.take(), withdraw_text());
}

TEST_F(Termination, UnregisteringNullWithNothingRegisteredWithdraws) {
    EXPECT_EQ(kestal_termination_unregister_callback(nullptr), 0);
    EXPECT_EQ(commands_.take(), withdraw_text());
    EXPECT_EQ(messages(), std::vector<std::string>{});
}

TEST_F(Termination, UnregisteringNullWhileRegisteredKeepsTheCallbacksRunning) {
    Probe probe;
    ASSERT_NE(add(SIGUSR2, probe_callback, &probe), nullptr);
    (void)commands_.take();
    EXPECT_EQ(kestal_termination_unregister_callback(nullptr), 0);
    EXPECT_EQ(commands_.take(), "");
    raise(SIGUSR2);
    EXPECT_TRUE(probe.called.wait());
}

TEST_F(Termination, UnregistrationThatLeavesCallbacksKeepsTheRelay) {
    Probe going;
    Probe staying;
    kestal_termination_callback *record = add(SIGUSR1, probe_callback, &going);
    ASSERT_NE(add(SIGUSR2, probe_callback, &staying), nullptr);
    ASSERT_NE(record, nullptr);
    (void)commands_.take();
    EXPECT_EQ(remove(record), 0);
    EXPECT_EQ(commands_.take(), "");
    raise(SIGUSR2);
    ASSERT_TRUE(staying.called.wait());
    EXPECT_EQ(staying.last_signo.load(), SIGUSR2);
    EXPECT_EQ(going.calls.load(), 0);
}

TEST_F(Termination, StoppingTheRelayLetsARunningCallbackComplete) {
    struct Work {
        Event entered;
        Event release;
        std::atomic<bool> completed{false};
    } work;
    auto slow = [](int, void *data) {
        auto *w = static_cast<Work *>(data);
        w->entered.post();
        // sem_timedwait is a cancellation point: a relay stopped by cancellation ends here.
        (void)w->release.wait();
        w->completed.store(true);
    };
    ASSERT_NE(add(SIGUSR1, slow, &work), nullptr);
    raise(SIGUSR1);
    ASSERT_TRUE(work.entered.wait());

    Probe probe;
    std::atomic<bool> registered{false};
    kestal_termination_callback *second = nullptr;
    std::thread registrar([&] {
        second = kestal_termination_register_callback(SIGUSR2, probe_callback, &probe);
        registered.store(true);
    });
    // Give the registration time to reach the stop; it cannot return before the callback.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(registered.load()) << "the relay was stopped in the middle of a callback";
    EXPECT_FALSE(work.completed.load());
    work.release.post();
    registrar.join();
    EXPECT_TRUE(work.completed.load());
    ASSERT_NE(second, nullptr);
    records_.push_back(second);
    raise(SIGUSR2);
    EXPECT_TRUE(probe.called.wait());
}

TEST_F(Termination, ACallbackMayUnregisterItsOwnRecord) {
    struct SelfRemoval {
        kestal_termination_callback *record = nullptr;
        int result = -7;
        Event done;
    } removal;
    auto remove_self = [](int, void *data) {
        auto *r = static_cast<SelfRemoval *>(data);
        r->result = kestal_termination_unregister_callback(r->record);
        r->done.post();
    };
    Probe staying;
    removal.record = kestal_termination_register_callback(SIGUSR1, remove_self, &removal);
    ASSERT_NE(removal.record, nullptr);
    ASSERT_NE(add(SIGUSR2, probe_callback, &staying), nullptr);
    (void)messages();
    raise(SIGUSR1);
    ASSERT_TRUE(removal.done.wait());
    EXPECT_EQ(removal.result, 0);
    EXPECT_EQ(messages(), kUnregistered);
    EXPECT_EQ(installed_action(SIGUSR1).sa_handler, SIG_DFL);
    raise(SIGUSR2);
    ASSERT_TRUE(staying.called.wait());
    EXPECT_FALSE(pthread_equal(staying.thread, pthread_self()));
}

TEST_F(Termination, AMissingInterfaceDoesNotStopRegistration) {
    kestal::termination::set_proc_kestal_path("/nonexistent-kestal-interface");
    testing::internal::CaptureStderr();
    Probe probe;
    kestal_termination_callback *record = add(SIGUSR1, probe_callback, &probe);
    ASSERT_NE(record, nullptr);
    raise(SIGUSR1);
    EXPECT_TRUE(probe.called.wait());
    EXPECT_EQ(remove(record), -1) << "the withdrawal could not be written";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(messages(), (std::vector<std::string>{kRegistered[0], kUnregistered[0]}));
}

TEST_F(Termination, AFailedWriteIsReportedAndRegistrationGoesOn) {
    kestal::termination::set_proc_kestal_path("/dev/full");
    testing::internal::CaptureStderr();
    Probe probe;
    kestal_termination_callback *record = add(SIGUSR1, probe_callback, &probe);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(remove(record), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "write: No space left on device\nwrite: No space left on device\n");
}

TEST_F(Termination, ARegistrationWhoseChannelCannotBeMadeReturnsNull) {
    kestal::termination::select_channel(kestal::termination::kPipeChannel);
    (void)get_container_name();  // looked up now, while it can still open its file
    testing::internal::CaptureStderr();
    // With every descriptor taken, the pipe cannot be made.
    std::vector<int> taken;
    for (int fd; (fd = dup(STDIN_FILENO)) >= 0;) {
        taken.push_back(fd);
    }
    Probe probe;
    kestal_termination_callback *record =
        kestal_termination_register_callback(SIGUSR1, probe_callback, &probe);
    const bool registered = kestal::termination::any_registered();
    for (const int fd : taken) {
        close(fd);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pipe: Too many open files\n");
    EXPECT_EQ(record, nullptr);
    EXPECT_FALSE(registered);
    EXPECT_EQ(installed_action(SIGUSR1).sa_handler, SIG_DFL);
    EXPECT_EQ(pipefd, nullptr);
    EXPECT_EQ(messages(), std::vector<std::string>{});
}

// The commands carry the container name. The name is looked up once per process, so the test
// runs in a fresh program: a child binds a control-group file of the test's own over its
// /proc/<pid>/cgroup, in a mount namespace of its own, and executes this test program again.
constexpr const char *kNameVariable = "KESTAL_TEST_CONTAINER_NAME";
constexpr const char *kCommandsVariable = "KESTAL_TEST_COMMAND_FILE";

TEST(FreshProcess, CommandsCarryTheWholeContainerName) {
    const char *name = std::getenv(kNameVariable);
    const char *commands = std::getenv(kCommandsVariable);
    if (name == nullptr || commands == nullptr) {
        GTEST_SKIP() << "runs only in the program started by ContainerName";
    }
    KESTAL_REQUIRE_LOG_SOCKET();
    kestal::termination::set_proc_kestal_path(commands);
    ASSERT_STREQ(get_container_name(), name);
    const std::string pid = std::to_string(getpid());
    Probe probe;
    kestal_termination_callback *record =
        kestal_termination_register_callback(SIGUSR1, probe_callback, &probe);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(kestal::test::read_file(commands), std::string(name) + " " + pid);
    kestal::test::write_file(commands, "");
    EXPECT_EQ(kestal_termination_unregister_callback(record), 0);
    EXPECT_EQ(kestal::test::read_file(commands), "-d " + std::string(name) + " " + pid);
    kestal::termination::set_proc_kestal_path(nullptr);
}

struct NameCase {
    const char *label;
    std::string name;
};

void PrintTo(const NameCase &c, std::ostream *os) {
    *os << c.label;
}

class ContainerName : public testing::TestWithParam<NameCase> {};

TEST_P(ContainerName, IsWrittenWholeInBothCommands) {
    KESTAL_REQUIRE_LOG_SOCKET();
    const std::string &name = GetParam().name;
    kestal::test::ScratchDir dir;
    const std::string cgroup = dir.file("cgroup");
    const std::string commands = dir.file("kestal");
    kestal::test::write_file(cgroup, ":ns::/" + name + "\n1:cpu:/\n");
    kestal::test::write_file(commands, "");
    const auto child = kestal::test::run_in_child([&] {
        const std::string own = "/proc/" + std::to_string(getpid()) + "/cgroup";
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(cgroup.c_str(), own.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            std::perror("namespace");
            return 126;
        }
        setenv(kNameVariable, name.c_str(), 1);
        setenv(kCommandsVariable, commands.c_str(), 1);
        execl("/proc/self/exe", "/proc/self/exe", "--gtest_filter=FreshProcess.*",
              static_cast<char *>(nullptr));
        std::perror("execl");
        return 127;
    });
    EXPECT_EQ(child.exit_code(), 0) << child.out << child.err;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test"), std::string::npos) << child.out;
}

INSTANTIATE_TEST_SUITE_P(
    Names, ContainerName,
    testing::Values(NameCase{"short", "web01"}, NameCase{"forty characters", std::string(40, 'w')},
                    // The lookup reads 255 characters of the line, and ":ns::/" is the
                    // shortest line that names a container: 249 is the longest name it gives.
                    NameCase{"longest the lookup gives", std::string(249, 'l')}));

}  // namespace
