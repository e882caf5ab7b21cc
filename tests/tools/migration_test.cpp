// Migration between two state directories ("machines") over loopback TCP: what arrives,
// what stays, and that a refused or broken transfer loses nothing on either side.
#include "encoding.hpp"
#include "migration.hpp"
#include "runtime_support.hpp"
#include "standin_harness.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace {

using runtime_test::process_ended;
using runtime_test::Ran;
using runtime_test::run;

class Migration : public ::testing::Test {
protected:
    void SetUp() override {
        tools_.use_runtime();
        other_ = "ZOR_STANDIN_STATE=" + tools_.state_directory("other").string() + " ";
        port_ = runtime_test::free_port();
        ASSERT_GT(port_, 0);
    }

    std::string ok(const std::string &command) {
        const Ran ran = run(command);
        EXPECT_EQ(ran.exit_status, 0) << command << ": " << ran.err;
        return ran.out;
    }

    // Starts zor-target on the other machine; the future yields how it ended.
    std::future<Ran> receiver(const std::string &name) {
        return std::async(std::launch::async, run,
                          other_ + "zor-target -n " + name + " -p " + std::to_string(port_));
    }

    Ran migrate(const std::string &name) {
        return run("zor-sys migrate -n " + name + " -d 127.0.0.1 -p " + std::to_string(port_));
    }

    pid_t pid_of(const std::string &prefix, const std::string &name) {
        return static_cast<pid_t>(std::atoi(ok(prefix + "zor-sys getpid -n " + name).c_str()));
    }

    standin::Session tools_;
    std::string other_;
    int port_ = 0;
};

TEST_F(Migration, MovesARunningContainerWithItsRecords) {
    ok("zor-sys create -n web -m 64 && zor-sys start -n web && zor-sys save -n web -t s1");
    ok("zor-sys limit --cpu 50 -n web && zor-sys create -g g1 -n web && zor-sys share -n web");
    const pid_t before = pid_of("", "web");
    auto received = receiver("web");
    const Ran sent = migrate("web");
    EXPECT_EQ(sent.exit_status, 0) << sent.err;
    const Ran done = received.get();
    EXPECT_EQ(done.exit_status, 0) << done.err;

    EXPECT_EQ(ok("zor-sys list"), "");
    EXPECT_TRUE(process_ended(before));
    EXPECT_EQ(ok(other_ + "zor-sys list"), "web\n");
    EXPECT_EQ(run(other_ + "zor-sys status -n web").exit_status, 1);
    const pid_t after = pid_of(other_, "web");
    EXPECT_NE(after, before);
    EXPECT_FALSE(process_ended(after));
    const std::string info = ok(other_ + "zor-sys info -n web");
    EXPECT_EQ(info.substr(0, info.find('\n')), "TYPE 100");
    EXPECT_NE(info.find("LIMIT cpu 50\n"), std::string::npos) << info;
    EXPECT_NE(info.find("SHARED yes\n"), std::string::npos) << info;
    EXPECT_NE(ok(other_ + "zor-sys list --snapshot -n web").find(" s1 "), std::string::npos);
    EXPECT_EQ(run(other_ + "zor-sys create -g g1 -n web").exit_status, 103);
    // The sender's groups of the container went with it.
    ok("zor-sys create -n web && zor-sys create -g g1 -n web");
}

TEST_F(Migration, ArrivesInTheStateItLeft) {
    struct Case {
        std::string prepare;
        int status;
    };
    const Case cases[] = {
        {"zor-sys create -n web", 0},
        {"zor-sys create -n web && zor-sys start -n web && zor-sys suspend -n web", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.prepare);
        ok(c.prepare);
        auto received = receiver("web");
        EXPECT_EQ(migrate("web").exit_status, 0);
        EXPECT_EQ(received.get().exit_status, 0);
        EXPECT_EQ(run(other_ + "zor-sys status -n web").exit_status, c.status);
        ok(other_ + "zor-sys stop -n web 2>/dev/null; " + other_ + "zor-sys destroy -n web");
        port_ = runtime_test::free_port();
    }
}

TEST_F(Migration, AReceiverThatHasTheNameRefusesAndTheSenderKeepsItsCopy) {
    ok(other_ + "zor-sys create -n web");
    ok("zor-sys create -n web -m 64 && zor-sys start -n web");
    const pid_t before = pid_of("", "web");
    auto received = receiver("web");
    const Ran sent = migrate("web");
    EXPECT_EQ(sent.exit_status, 106);
    EXPECT_NE(sent.err.find("refused"), std::string::npos) << sent.err;
    EXPECT_EQ(received.get().exit_status, 103);
    EXPECT_EQ(pid_of("", "web"), before);
    EXPECT_EQ(ok("zor-sys info -n web").substr(0, 9), "TYPE 100\n");
    EXPECT_EQ(ok(other_ + "zor-sys info -n web").substr(0, 7), "TYPE 1\n");
}

TEST_F(Migration, AReceiverWaitingForAnotherContainerRefuses) {
    ok("zor-sys create -n web");
    auto received = receiver("db");
    EXPECT_EQ(migrate("web").exit_status, 106);
    EXPECT_EQ(received.get().exit_status, 106);
    EXPECT_EQ(ok("zor-sys list"), "web\n");
    EXPECT_EQ(ok(other_ + "zor-sys list"), "");
}

TEST_F(Migration, NoReceiverMeansAFailureWithinItsBoundAndNothingLost) {
    ok("zor-sys create -n web && zor-sys start -n web");
    const auto start = std::chrono::steady_clock::now();
    const Ran sent = migrate("web");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(sent.exit_status, 106);
    EXPECT_LT(took, std::chrono::seconds(20)) << "the sender gives up in bounded time";
    EXPECT_EQ(run("zor-sys status -n web").exit_status, 1);
}

// Connects to the receiver (which may still be starting), sends bytes, and closes.
std::string send_raw(int port, const std::string &bytes) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
            const ssize_t sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            shutdown(fd, SHUT_WR);
            std::string reply;
            char block[256];
            ssize_t got = 0;
            while ((got = recv(fd, block, sizeof block, 0)) > 0) {
                reply.append(block, static_cast<std::size_t>(got));
            }
            close(fd);
            return sent == static_cast<ssize_t>(bytes.size()) ? reply : "short send";
        }
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "no receiver";
}

std::string frame(const std::string &name, const std::string &payload, std::size_t length,
                  std::uint64_t checksum) {
    char sum[24];
    std::snprintf(sum, sizeof sum, "%016llx", static_cast<unsigned long long>(checksum));
    return "ZOR-MIGRATE 1\nNAME " + standin::encode(name) + "\nRUN 0\nLENGTH " +
           std::to_string(length) + "\nCHECKSUM " + sum + "\n\n" + payload;
}

TEST_F(Migration, ABrokenTransferCreatesNothing) {
    const std::string good = "container web 1 0 0 0\n";
    const std::uint64_t sum = standin::frame_checksum(good);
    struct Case {
        const char *what;
        std::string bytes;
    };
    const Case cases[] = {
        {"nothing at all", ""},
        {"garbage", "GET / HTTP/1.0\r\n\r\n"},
        {"the header only", "ZOR-MIGRATE 1\nNAME web\n"},
        {"a payload cut short", frame("web", good.substr(0, 5), good.size(), sum)},
        {"a wrong checksum", frame("web", good, good.size(), sum ^ 1U)},
        {"a flipped byte", frame("web", "container wec 1 0 0 0\n", good.size(), sum)},
        {"damaged records", frame("web", "nonsense\n", 9, standin::frame_checksum("nonsense\n"))},
        {"an absurd length", frame("web", good, 1ULL << 40U, sum)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        port_ = runtime_test::free_port();
        auto received = receiver("web");
        const std::string reply = send_raw(port_, c.bytes);
        EXPECT_EQ(reply.rfind("REFUSED ", 0), 0u) << reply;
        const Ran done = received.get();
        EXPECT_EQ(done.exit_status, 106) << done.err;
        EXPECT_EQ(ok(other_ + "zor-sys list"), "");
    }
    // The same frame, whole and sound, is taken.
    auto received = receiver("web");
    EXPECT_EQ(send_raw(port_, frame("web", good, good.size(), sum)), "ACCEPTED\n");
    EXPECT_EQ(received.get().exit_status, 0);
    EXPECT_EQ(ok(other_ + "zor-sys list"), "web\n");
}

}  // namespace
