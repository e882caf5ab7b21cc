// Both channel implementations, driven through the exported channel table.
#define KESTAL_TERMINATION_STATE
#include <kestal.h>

#include "callback_table.hpp"
#include "termination_channels.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using kestal::termination::kPipeChannel;
using kestal::termination::kSemChannel;

class Channels : public testing::TestWithParam<int> {
protected:
    void SetUp() override {
        // The facility must not own a channel while a test drives one by hand.
        ASSERT_FALSE(kestal::termination::any_registered());
        forget_pending();
    }
    void TearDown() override {
        (void)channel().finish();
        forget_pending();
    }

    static void forget_pending() {
        for (int signo = 1; signo <= kestal::termination::max_signal(); ++signo) {
            kestal::termination::discard_pending(signo);
        }
    }

    const kestal_termination_channel &channel() const { return commufunc[GetParam()]; }
    bool is_pipe() const { return GetParam() == kPipeChannel; }

    int send(int signo) const { return channel().send(&signo); }
    int receive() const {
        int signo = -7;
        EXPECT_NE(channel().recv(&signo), -1);
        return signo;
    }
};

std::string channel_name(const testing::TestParamInfo<int> &info) {
    return commufunc[info.param].name;
}

TEST(ChannelTable, NamesThePipeFirstAndTheSemaphoreSecond) {
    EXPECT_STREQ(commufunc[kPipeChannel].name, "pipe");
    EXPECT_STREQ(commufunc[kSemChannel].name, "sem");
    EXPECT_EQ(&kestal::termination::active_channel(), &commufunc[kSemChannel]);
}

TEST_P(Channels, DeliverEverySignalNumberSent) {
    ASSERT_EQ(channel().init(), 0);
    const std::vector<int> sent = {SIGUSR1, SIGTERM, SIGRTMIN + 2, SIGUSR1, SIGRTMAX};
    for (const int signo : sent) {
        EXPECT_NE(send(signo), -1);
    }
    std::vector<int> received;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        received.push_back(receive());
    }
    if (is_pipe()) {
        EXPECT_EQ(received, sent);  // in arrival order
    } else {
        std::vector<int> expected = sent;
        std::sort(expected.begin(), expected.end());
        std::sort(received.begin(), received.end());
        EXPECT_EQ(received, expected);
    }
    EXPECT_EQ(channel().finish(), 0);
}

TEST_P(Channels, PublishTheirStateWhileTheyExist) {
    ASSERT_EQ(channel().init(), 0);
    if (is_pipe()) {
        ASSERT_NE(pipefd, nullptr);
        EXPECT_GT(pipefd[0], 0);
        EXPECT_GT(pipefd[1], 0);
        EXPECT_EQ(sem, nullptr);
    } else {
        EXPECT_NE(sem, nullptr);
        EXPECT_EQ(pipefd, nullptr);
        send(SIGUSR2);
        EXPECT_EQ(signo_for_sem, SIGUSR2);
    }
    EXPECT_EQ(channel().finish(), 0);
    EXPECT_EQ(sem, nullptr);
    EXPECT_EQ(pipefd, nullptr);
}

TEST_P(Channels, RefuseToWorkWithoutAChannel) {
    EXPECT_EQ(send(SIGUSR1), -1);
    int signo = -7;
    EXPECT_EQ(channel().recv(&signo), -1);
    EXPECT_EQ(signo, -7) << "nothing is stored without a channel";
    // Finishing what does not exist: the semaphore says so, the pipe has nothing to do.
    EXPECT_EQ(channel().finish(), is_pipe() ? 0 : -1);
}

TEST_P(Channels, ASecondInitLeavesTheFirstChannelInPlace) {
    ASSERT_EQ(channel().init(), 0);
    const void *const first = is_pipe() ? static_cast<void *>(pipefd) : static_cast<void *>(sem);
    EXPECT_EQ(channel().init(), -1);
    EXPECT_EQ(is_pipe() ? static_cast<void *>(pipefd) : static_cast<void *>(sem), first);
    send(SIGHUP);
    EXPECT_EQ(receive(), SIGHUP);
}

TEST_P(Channels, AWakeUpWithoutASignalReceivesZero) {
    ASSERT_EQ(channel().init(), 0);
    EXPECT_NE(send(0), -1);
    EXPECT_EQ(receive(), 0);
}

TEST_P(Channels, SurviveSendersWhileBeingReplaced) {
    // A handler that still holds a channel being freed would post to freed memory or write
    // to a closed descriptor (reported as "Bad file descriptor").
    std::atomic<bool> stop{false};
    testing::internal::CaptureStderr();
    std::thread sender([&] {
        while (!stop.load()) {
            send(SIGRTMIN + 5);
        }
    });
    for (int round = 0; round < 1000; ++round) {
        ASSERT_EQ(channel().init(), 0);
        if (round % 2 == 0) {
            (void)receive();
        }
        ASSERT_EQ(channel().finish(), 0);
    }
    stop.store(true);
    sender.join();
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors.find("Bad file descriptor"), std::string::npos) << errors.substr(0, 400);
}

INSTANTIATE_TEST_SUITE_P(Both, Channels, testing::Values(kPipeChannel, kSemChannel), channel_name);

class SemChannel : public testing::Test {
protected:
    void TearDown() override {
        (void)commufunc[kSemChannel].finish();
        for (int signo = 1; signo <= kestal::termination::max_signal(); ++signo) {
            kestal::termination::discard_pending(signo);
        }
    }
    static int send(int signo) { return commufunc[kSemChannel].send(&signo); }
    static int receive() {
        int signo = -7;
        EXPECT_EQ(commufunc[kSemChannel].recv(&signo), 0);
        return signo;
    }
};

TEST_F(SemChannel, TwoSignalsBeforeAWakeUpAreBothReceived) {
    ASSERT_EQ(commufunc[kSemChannel].init(), 0);
    send(SIGUSR1);
    send(SIGUSR2);
    EXPECT_EQ(signo_for_sem, SIGUSR2);
    std::vector<int> received = {receive(), receive()};
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<int>{SIGUSR1, SIGUSR2}));
}

TEST_F(SemChannel, SignalsSentWithoutAChannelReachTheNextOne) {
    EXPECT_EQ(send(SIGTERM), -1);
    EXPECT_EQ(send(SIGTERM), -1);
    ASSERT_EQ(commufunc[kSemChannel].init(), 0);
    EXPECT_EQ(receive(), SIGTERM);
    EXPECT_EQ(receive(), SIGTERM);
}

TEST_F(SemChannel, ABusySignalDoesNotHoldBackAnother) {
    ASSERT_EQ(commufunc[kSemChannel].init(), 0);
    for (int i = 0; i < 50; ++i) {
        send(SIGHUP);
    }
    send(SIGRTMAX);
    // Numbers are taken in turn, so the one SIGRTMAX comes within a round of the numbers.
    bool seen = false;
    for (int i = 0; i < 3 && !seen; ++i) {
        seen = receive() == SIGRTMAX;
    }
    EXPECT_TRUE(seen);
}

TEST_F(SemChannel, OutOfRangeNumbersAreNotCounted) {
    ASSERT_EQ(commufunc[kSemChannel].init(), 0);
    send(kestal::termination::max_signal() + 1);
    send(-3);
    EXPECT_EQ(receive(), 0);
    EXPECT_EQ(receive(), 0);
}

TEST(PipeChannel, AFullPipeDropsTheNumberInsteadOfBlocking) {
    ASSERT_EQ(commufunc[kPipeChannel].init(), 0);
    testing::internal::CaptureStderr();
    int result = 0;
    int sent = 0;
    for (int signo = SIGUSR1; sent < (1 << 22) && result != -1; ++sent) {
        result = commufunc[kPipeChannel].send(&signo);
    }
    const std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errors, "write: Resource temporarily unavailable\n");
    int signo = 0;
    EXPECT_EQ(commufunc[kPipeChannel].recv(&signo), static_cast<int>(sizeof(int)));
    EXPECT_EQ(signo, SIGUSR1);
    EXPECT_EQ(commufunc[kPipeChannel].finish(), 0);
}

TEST(PipeChannel, ReceivingAfterTheWriteEndClosedEndsTheRelay) {
    ASSERT_EQ(commufunc[kPipeChannel].init(), 0);
    ASSERT_NE(pipefd, nullptr);
    close(pipefd[1]);
    pipefd[1] = 0;  // a descriptor of 0 counts as not open
    int signo = SIGUSR1;
    EXPECT_EQ(commufunc[kPipeChannel].send(&signo), -1);
    EXPECT_EQ(commufunc[kPipeChannel].recv(&signo), -1);
    EXPECT_EQ(commufunc[kPipeChannel].finish(), 0);
}

}  // namespace
