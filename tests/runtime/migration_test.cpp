// Live migration between two state directories of this host (two machines to the runtime)
// over 127.0.0.1, checked through the program that moves: a container whose main process
// counts in a shell variable and writes the count into its root filesystem. Only memory
// carries the count across; a fresh process would start again at 1. Every fault must leave
// the container exactly once, running (thawed by the next command when the fault froze it), and
// nothing of the migration behind on either side.
#include "loopback_support.hpp"
#include "machine_identity.hpp"
#include "real_runtime_fixture.hpp"
#include "refusal.hpp"
#include "stream_socket.hpp"
#include "tls_channel.hpp"
#include "transfer.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using real_runtime::first_line;
using real_runtime::Ran;
using transfer_test::free_port;
using transfer_test::listening;
using transfer_test::MuteListener;

constexpr char kCounter[] =
    "command=trap 'exit 0' TERM; i=0; while true; do i=$((i+1)); echo $i >/count.new; mv "
    "/count.new /count; sleep 0.05; done\n";

template <typename Condition>
bool wait_until(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A tool run in the background, its standard error kept in a file.
class Background {
public:
    Background(const std::string &command, const std::string &err) : err_(err) {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, STDERR_FILENO);
            const int null = open("/dev/null", O_RDWR);
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            execl("/bin/sh", "sh", "-c", ("exec " + command).c_str(), nullptr);
            _exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            finish();
        }
    }
    pid_t pid() const { return pid_; }
    // The exit status (-signal when killed).
    int finish() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    }
    std::string err() const { return first_line(err_); }

private:
    pid_t pid_ = -1;
    std::string err_;
};

class RuntimeMigration : public real_runtime::RealRuntimeTest {
protected:
    void SetUp() override {
        RealRuntimeTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        require_criu();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        char pattern[] = "/tmp/zor-runtime-receiver-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        receiver_ = pattern;
        ASSERT_TRUE(real_runtime::introduce(state_, receiver_));
    }

    void TearDown() override {
        if (!receiver_.empty()) {
            real_runtime::clear(receiver_);
            EXPECT_EQ(real_runtime::leftovers(receiver_), std::vector<std::string>{});
        }
        RealRuntimeTest::TearDown();
    }

    Ran there(const std::string &words) const {
        return real_runtime::shell("ZOR_RUNTIME_STATE=" + receiver_ + " zor-sys " + words);
    }

    // zor-target for name on a free port, in state (the receiver's by default), once it
    // listens.
    std::unique_ptr<Background> target(const std::string &name, int &port,
                                       const std::string &state = "",
                                       const std::string &environment = "") {
        port = free_port();
        auto started = std::make_unique<Background>(
            "env " + environment + "ZOR_RUNTIME_STATE=" + (state.empty() ? receiver_ : state) +
                " zor-target -n " + name + " -p " + std::to_string(port),
            state_ + "/target.err");
        EXPECT_TRUE(wait_until([&] { return listening(port); }, std::chrono::seconds(10)));
        return started;
    }

    std::unique_ptr<Background> migrate(const std::string &name, int port,
                                        const std::string &prefix = "") {
        return std::make_unique<Background>(
            prefix + "zor-sys migrate -n " + name + " -d 127.0.0.1 -p " + std::to_string(port),
            state_ + "/migrate.err");
    }

    long count_at(const std::string &rootfs) {
        return std::atol(first_line(rootfs + "/count").c_str());
    }

    std::string rootfs_of(const Ran &info) const {
        const std::size_t at = info.out.find("\nROOTFS ");
        return at == std::string::npos
                   ? std::string("/nonexistent")
                   : info.out.substr(at + 8, info.out.find('\n', at + 1) - at - 8);
    }

    // Waits (at most 10 s) until the count in rootfs is above value; returns it.
    long wait_above(const std::string &rootfs, long value) {
        long now = 0;
        wait_until([&] { return (now = count_at(rootfs)) > value; }, std::chrono::seconds(10));
        EXPECT_GT(now, value) << rootfs << " does not count";
        return now;
    }

    // The container is here alone, running and counting on from at least last, with nothing
    // of a migration left on either side.
    void expect_here_once(const std::string &name, long last) {
        EXPECT_EQ(sys("status -n " + name).exit_status, 1);
        EXPECT_EQ(there("search -n " + name).exit_status, 102);
        const std::string rootfs = rootfs_of(sys("info -n " + name));
        EXPECT_GE(wait_above(rootfs, last), last);
        EXPECT_FALSE(fs::exists(fs::path(rootfs).parent_path() / "outgoing"));
        EXPECT_FALSE(fs::exists(receiver_ + "/incoming"));
        EXPECT_EQ(real_runtime::leftovers(receiver_), std::vector<std::string>{});
    }

    std::string receiver_;
};

TEST_F(RuntimeMigration, TheCountGoesOnAtTheReceiver) {
    ASSERT_EQ(sys("create -n mover -f " + configuration("mover", kCounter)).exit_status, 0);
    ASSERT_EQ(sys("limit --mem 96 -n mover").exit_status, 0);
    ASSERT_EQ(sys("start -n mover").exit_status, 0);
    const pid_t old_main = main_of("mover");
    const long before = wait_above(rootfs_of(sys("info -n mover")), 20);
    int port = 0;
    auto receiving = target("mover", port);
    const Ran moved = sys("migrate -n mover -d 127.0.0.1 -p " + std::to_string(port));
    ASSERT_EQ(moved.exit_status, 0) << moved.err << receiving->err();
    EXPECT_EQ(receiving->finish(), 0) << receiving->err();
    // Gone here, with its processes; running there, from the count it had.
    EXPECT_EQ(sys("search -n mover").exit_status, 102);
    EXPECT_TRUE(wait_until([&] { return kill(old_main, 0) != 0; }, std::chrono::seconds(5)));
    const Ran info = there("info -n mover");
    ASSERT_EQ(info.exit_status, 0);
    EXPECT_EQ(std::atoll(first_line(real_runtime::container_file(receiver_, true, "mover", "memory",
                                                                 "memory.limit_in_bytes"))
                             .c_str()),
              96LL << 20);
    // CRIU's network lock is gone from the restored container.
    const Ran locked = there("getpid -n mover");
    EXPECT_NE(
        real_runtime::shell("nsenter --net=/proc/" + locked.out.substr(0, locked.out.find('\n')) +
                            "/ns/net iptables -w -S CRIU")
            .exit_status,
        0);
    const std::string rootfs = rootfs_of(info);
    const long arrived = count_at(rootfs);
    EXPECT_GE(arrived, before);
    wait_above(rootfs, arrived + 5);
    EXPECT_FALSE(fs::exists(receiver_ + "/incoming"));
}

TEST_F(RuntimeMigration, FaultsLeaveTheContainerOnceAndRunning) {
    ASSERT_EQ(sys("create -n stays -f " + configuration("stays", kCounter)).exit_status, 0);
    ASSERT_EQ(sys("start -n stays").exit_status, 0);
    const std::string rootfs = rootfs_of(sys("info -n stays"));
    const std::string picture = fs::path(rootfs).parent_path().string() + "/outgoing/record.json";
    const struct {
        const char *name;
        // Runs the fault; returns what the failed migrate said.
        std::function<std::string()> fault;
        const char *said;
    } cases[] = {
        {"nothing listens",
         [&] { return sys("migrate -n stays -d 127.0.0.1 -p " + std::to_string(free_port())).err; },
         "refused"},
        {"a listener that never answers",
         [&] {
             const MuteListener mute;
             return real_runtime::shell(
                        "ZOR_MIGRATION_TIMEOUT=1 zor-sys migrate -n stays -d "
                        "127.0.0.1 -p " +
                        std::to_string(mute.port()))
                 .err;
         },
         "no answer"},
        {"a receiver that waits for another container",
         [&] {
             int port = 0;
             auto receiving = target("other", port);
             const Ran ran = sys("migrate -n stays -d 127.0.0.1 -p " + std::to_string(port));
             EXPECT_EQ(receiving->finish(), 106) << receiving->err();
             return ran.err;
         },
         "refused: this receiver waits for container 'other', not 'stays'"},
        {"a corrupted frame",
         [&] {
             // TLS catches the flipped byte before the frames' own checksum can.
             int port = 0;
             auto receiving = target("stays", port);
             const transfer_test::ByteProxy proxy(port, 100000);
             const Ran ran =
                 sys("migrate -n stays -d 127.0.0.1 -p " + std::to_string(proxy.port()));
             EXPECT_EQ(receiving->finish(), 106) << receiving->err();
             EXPECT_NE(receiving->err().find("bad record mac"), std::string::npos)
                 << receiving->err();
             return std::to_string(ran.exit_status) + " " + ran.err;
         },
         "106 zor-sys: "},
        {"a receiver this machine does not trust",
         [&] {
             // The stranger trusts the sender, but the sender's memory must not go to it.
             const std::string stranger = receiver_ + "-stranger";
             const real_runtime::Ran shown = real_runtime::shell(
                 "zor-sys trust show | ZOR_RUNTIME_STATE=" + stranger + " xargs zor-sys trust add");
             EXPECT_EQ(shown.exit_status, 0) << shown.err;
             int port = 0;
             auto receiving = target("stays", port, stranger);
             const Ran ran = sys("migrate -n stays -d 127.0.0.1 -p " + std::to_string(port));
             // It drops the sender that refused it and waits on, until it is ended.
             EXPECT_TRUE(wait_until(
                 [&] { return receiving->err().find("dropped a connection") != std::string::npos; },
                 std::chrono::seconds(10)));
             kill(receiving->pid(), SIGTERM);
             receiving->finish();
             EXPECT_FALSE(fs::exists(stranger + "/containers/sys/stays"));
             real_runtime::clear(stranger);
             return std::to_string(ran.exit_status) + " " + ran.err;
         },
         "106 zor-sys: the peer's certificate SHA256:"},
        {"the receiver killed mid-transfer",
         [&] {
             // The proxy holds the stream back after 100000 bytes: the receiver has the
             // first part of the picture when it dies.
             int port = 0;
             auto receiving = target("stays", port);
             transfer_test::ByteProxy proxy(port, -1, 100000);
             auto sending = migrate("stays", proxy.port());
             EXPECT_TRUE(wait_until([&] { return proxy.forwarded_size() == 100000; },
                                    std::chrono::seconds(10)));
             EXPECT_TRUE(fs::exists(receiver_ + "/incoming/stays." +
                                    std::to_string(receiving->pid()) + "/picture"));
             kill(receiving->pid(), SIGKILL);
             EXPECT_EQ(receiving->finish(), -SIGKILL);
             EXPECT_EQ(sending->finish(), 106);
             // The next receiver clears what the killed one left, and takes the container in;
             // it comes back here the same way.
             auto again = target("stays", port);
             EXPECT_EQ(sys("migrate -n stays -d 127.0.0.1 -p " + std::to_string(port)).exit_status,
                       0);
             EXPECT_EQ(again->finish(), 0) << again->err();
             auto back = target("stays", port, state_);
             EXPECT_EQ(
                 there("migrate -n stays -d 127.0.0.1 -p " + std::to_string(port)).exit_status, 0);
             EXPECT_EQ(back->finish(), 0) << back->err();
             return sending->err();
         },
         "zor-sys: the connection broke"},
        {"the sender killed after its dump",
         [&] {
             int port = 0;
             auto receiving = target("stays", port);
             auto sending = migrate("stays", port);
             EXPECT_TRUE(wait_until([&] { return fs::exists(picture); }, std::chrono::seconds(10)));
             kill(sending->pid(), SIGKILL);
             EXPECT_EQ(sending->finish(), -SIGKILL);
             EXPECT_EQ(receiving->finish(), 106) << receiving->err();
             // Frozen at the dump by a command that has gone: the next command thaws it.
             EXPECT_EQ(sys("status -n stays").exit_status, 1);
             return receiving->err();
         },
         "zor-target: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const long last = wait_above(rootfs, count_at(rootfs));
        const std::string said = c.fault();
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        expect_here_once("stays", last);
    }
}

// What a peer hears back, until it closes or 10 s pass; "" when the receiver refuses it.
std::string answer_to(zor::Channel &channel, const std::string &bytes) {
    std::string heard;
    try {
        channel.write_all(bytes.data(), bytes.size());
        char buffer[4096];
        for (std::size_t got; (got = channel.read_some(buffer, sizeof buffer)) > 0;) {
            heard.append(buffer, got);
        }
    } catch (const zor::Refusal &refusal) {
        heard += std::string("\nrefused: ") + refusal.what();
    }
    return heard;
}

// Strangers at the receiver's port before its sender: a port scan's garbage, a TLS peer whose
// certificate no one here trusts, and one that connects and says nothing. Each is dropped and
// logged, hears no name, and the real sender then moves the container.
TEST_F(RuntimeMigration, StrangersAreDroppedAndTheSenderStillComes) {
    ASSERT_EQ(sys("create -n mover -f " + configuration("mover", kCounter)).exit_status, 0);
    ASSERT_EQ(sys("start -n mover").exit_status, 0);
    const std::string stranger = receiver_ + "-stranger";
    ASSERT_EQ(mkdir(stranger.c_str(), 0700), 0);
    int port = 0;
    auto receiving = target("mover", port, "", "ZOR_MIGRATION_TIMEOUT=5 ");
    const zor::Milliseconds patient(10000);
    {
        zor::Channel scan = zor::connect_to("127.0.0.1", port, patient);
        const std::string heard = answer_to(scan, "GET / HTTP/1.0\r\n\r\nmover\n");
        EXPECT_EQ(heard.find("mover"), std::string::npos) << heard;
    }
    {
        const Ran shown = there("trust show");
        zor::Channel forged = zor::connect_to("127.0.0.1", port, patient);
        zor::secure_channel(forged, zor::TlsRole::kSender, zor::machine_identity(stranger),
                            {shown.out.substr(0, shown.out.find('\n'))},
                            std::chrono::steady_clock::now() + patient);
        const std::string heard = answer_to(forged, "ZORMOVE\n");
        EXPECT_NE(heard.find("refused: the connection broke: the peer ended TLS with an alert"),
                  std::string::npos)
            << heard;
        EXPECT_EQ(heard.find("mover"), std::string::npos) << heard;
    }
    // Held open, silent, while the real sender waits behind it.
    zor::Channel silent = zor::connect_to("127.0.0.1", port, patient);
    const Ran moved = sys("migrate -n mover -d 127.0.0.1 -p " + std::to_string(port));
    EXPECT_EQ(moved.exit_status, 0) << moved.err;
    EXPECT_EQ(receiving->finish(), 0);
    EXPECT_EQ(there("status -n mover").exit_status, 1);
    std::ifstream log(state_ + "/target.err");
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 3U);
    EXPECT_NE(lines[0].find("dropped a connection from 127.0.0.1"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("certificate SHA256:"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("no answer"), std::string::npos) << lines[2];
    real_runtime::clear(stranger);
}

// A protobuf varint, as CRIU's images hold numbers.
std::string varint(std::uint64_t value) {
    std::string bytes;
    do {
        bytes.push_back(static_cast<char>((value & 0x7FU) | (value > 0x7FU ? 0x80U : 0U)));
        value >>= 7U;
    } while (value != 0);
    return bytes;
}

std::string whole_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Replaces every from in the core images of picture by to (of the same length); returns how
// many it replaced.
int patch_cores(const fs::path &picture, const std::string &from, const std::string &to) {
    int replaced = 0;
    for (const auto &entry : fs::directory_iterator(picture / "images")) {
        if (entry.path().filename().string().rfind("core-", 0) != 0) {
            continue;
        }
        std::string bytes = whole_file(entry.path());
        for (std::size_t at = bytes.find(from); at != std::string::npos;
             at = bytes.find(from, at + to.size())) {
            bytes.replace(at, from.size(), to);
            ++replaced;
        }
        std::ofstream(entry.path(), std::ios::binary | std::ios::trunc) << bytes;
    }
    return replaced;
}

// A machine the receiver trusts, sending what it likes: each forged record or picture is
// refused, and nothing of it (record, files, cgroups, processes) is left at the receiver.
TEST_F(RuntimeMigration, ATrustedPeerGetsNothingPastTheChecks) {
    ASSERT_EQ(sys("create -n forged -f " + configuration("forged", kCounter)).exit_status, 0);
    ASSERT_EQ(sys("start -n forged").exit_status, 0);
    ASSERT_EQ(sys("checkpoint -n forged -t real").exit_status, 0);
    const fs::path real = state_ + "/containers/sys/forged/checkpoints/real";
    const nlohmann::json record = nlohmann::json::parse(whole_file(real / "record.json"));
    const zor::Milliseconds patient(30000);
    const std::uint64_t allowed = (1U << 5U) | (1U << 10U) | (1U << 29U);
    const std::uint64_t admin = allowed | (1U << 21U);  // CAP_SYS_ADMIN
    const std::string no_new_privs = std::string("\x90\x01\x01", 3);
    const struct {
        const char *name;
        std::function<void(nlohmann::json &, const fs::path &)> forge;
        const char *refusal;
    } cases[] = {
        {"a group outside the runtime's tree",
         [](nlohmann::json &forged, const fs::path &) {
             forged["groups"] = {{{"name", "../../zor-forged-escape"},
                                  {"limits", {{{"kind", "mem"}, {"value", "64"}}}},
                                  {"bound", nlohmann::json::array()}}};
         },
         "refused: the record is refused: the group name"},
        {"a device node",
         [](nlohmann::json &, const fs::path &picture) {
             ASSERT_EQ(mknod((picture / "rootfs" / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)),
                       0);
         },
         "entry 'rootfs/null' is a device node"},
        {"a process with CAP_SYS_ADMIN",
         [&](nlohmann::json &, const fs::path &picture) {
             EXPECT_GT(patch_cores(picture, varint(allowed), varint(admin)), 0);
         },
         "holds capabilities outside the container's set"},
        {"a process without no_new_privs",
         [&](nlohmann::json &, const fs::path &picture) {
             EXPECT_GT(patch_cores(picture, no_new_privs, std::string("\x90\x01\x00", 3)), 0);
         },
         "lacks no_new_privs"},
    };
    const Ran shown = there("trust show");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path picture = state_ + "/forged-picture";
        fs::remove_all(picture);
        ASSERT_EQ(
            real_runtime::shell("cp -a " + real.string() + " " + picture.string()).exit_status, 0);
        nlohmann::json forged = record;
        c.forge(forged, picture);
        int port = 0;
        auto receiving = target("forged", port);
        std::string said = "accepted";
        try {
            zor::Channel channel = zor::connect_to("127.0.0.1", port, patient);
            zor::secure_channel(channel, zor::TlsRole::kSender, zor::machine_identity(state_),
                                {shown.out.substr(0, shown.out.find('\n'))},
                                std::chrono::steady_clock::now() + patient);
            zor::Sender sender(std::move(channel));
            sender.offer({"forged", forged.dump()});
            sender.send_folder(picture.string());
            sender.await_running(patient);
            sender.commit();
        } catch (const zor::Refusal &refusal) {
            said = refusal.what();
        }
        EXPECT_NE(said.find(c.refusal), std::string::npos) << said;
        EXPECT_EQ(receiving->finish(), 106) << receiving->err();
        EXPECT_EQ(there("search -n forged").exit_status, 102);
        EXPECT_FALSE(fs::exists(receiver_ + "/incoming"));
        EXPECT_EQ(real_runtime::leftovers(receiver_), std::vector<std::string>{});
        EXPECT_EQ(
            real_runtime::shell("find /sys/fs/cgroup -maxdepth 6 -name zor-forged-escape").out, "");
        fs::remove_all(picture);
    }
}

TEST_F(RuntimeMigration, AReceiverRefusesAtOnceWhatItCannotTake) {
    const MuteListener taken;
    ASSERT_EQ(there("create -n here").exit_status, 0);
    const struct {
        std::string words;
        int status;
        const char *says;
    } cases[] = {
        {"-n web -p " + std::to_string(taken.port()), 109, "taken"},
        {"-n here -p " + std::to_string(free_port()), 103, "exists"},
    };
    for (const auto &c : cases) {
        const Ran ran =
            real_runtime::shell("ZOR_RUNTIME_STATE=" + receiver_ + " zor-target " + c.words);
        EXPECT_EQ(ran.exit_status, c.status) << ran.err;
        EXPECT_NE(ran.err.find(c.says), std::string::npos) << ran.err;
    }
    EXPECT_FALSE(fs::exists(receiver_ + "/incoming"));
    ASSERT_EQ(there("destroy -n here").exit_status, 0);
}

}  // namespace
