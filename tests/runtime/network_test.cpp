// Containers on a network, each test in network namespaces of its own (hosts, a switch, a
// client), the runtime of each host run in its namespace with nsenter: refusals of what is
// malformed or taken, the address and MAC that info shows and eth0 carries, published ports,
// and one TCP connection kept across a checkpoint, a restart and a migration between hosts.
// Nothing leaves the namespaces: the hosts have no NAT and no way out.
#include "real_runtime_fixture.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using real_runtime::Ran;
using real_runtime::shell;
using Clock = std::chrono::steady_clock;

constexpr char kEchoServer[] = "command=nc -ll -p 7 -e cat\n";

class RuntimeNetwork : public real_runtime::RealRuntimeTest {
protected:
    void SetUp() override {
        RealRuntimeTest::SetUp();
        prefix_ = "zt" + std::to_string(getpid()) + "-";
    }

    void TearDown() override {
        if (!receiver_.empty()) {
            real_runtime::clear(receiver_);
            EXPECT_EQ(real_runtime::leftovers(receiver_), std::vector<std::string>{});
        }
        RealRuntimeTest::TearDown();
        for (const std::string &made : namespaces_) {
            shell("ip netns del " + made);
        }
    }

    // A network namespace of this test's own, its loopback up.
    std::string add_namespace(const std::string &name) {
        const std::string made = prefix_ + name;
        EXPECT_EQ(
            shell("ip netns add " + made + " && ip -n " + made + " link set lo up").exit_status, 0);
        namespaces_.push_back(made);
        return made;
    }

    // A veth pair between two of them, both ends up.
    static void wire(const std::string &a, const std::string &a_end, const std::string &b,
                     const std::string &b_end) {
        EXPECT_EQ(shell("ip link add " + a_end + " netns " + a + " type veth peer name " + b_end +
                        " netns " + b + " && ip -n " + a + " link set " + a_end + " up && ip -n " +
                        b + " link set " + b_end + " up")
                      .exit_status,
                  0);
    }

    static std::string in(const std::string &ns, const std::string &command) {
        return "nsenter --net=/run/netns/" + ns + " " + command;
    }

    // Waits until something in ns listens on TCP port hex (as the kernel's tables write it,
    // "1E14" for 7700): state 0A only, since an earlier connection to the port may linger in
    // TIME_WAIT, with a v4-mapped address in tcp6 that a plain text search mistakes for one.
    static void await_listener(const std::string &ns, const std::string &hex) {
        for (int tries = 0; tries < 1000 && shell(in(ns, "awk '$4 == \"0A\" && $2 ~ /:" + hex +
                                                             "$/' /proc/net/tcp /proc/net/tcp6"))
                                                .out.empty();
             ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    Ran tool(const std::string &ns, const std::string &words, const std::string &state = "") const {
        return shell(
            in(ns, "env ZOR_RUNTIME_STATE=" + (state.empty() ? state_ : state) + " " + words));
    }

    static void write_file(const std::string &path, const std::string &text) {
        std::ofstream(path) << text;
    }

    static std::string line_of(const std::string &text, const std::string &key) {
        const std::size_t at = text.find(key + " ");
        return at == std::string::npos
                   ? ""
                   : text.substr(at + key.size() + 1, text.find('\n', at) - at - key.size() - 1);
    }

    std::string prefix_;
    std::vector<std::string> namespaces_;
    std::string receiver_;
};

// Every refusal leaves nothing behind: no container recorded, no bridge made.
TEST_F(RuntimeNetwork, RefusesWhatIsMalformedOrTakenAndMakesNothing) {
    if (IsSkipped()) {
        return;
    }
    const std::string host = add_namespace("host");
    // A listener of the host holds port 8443.
    std::thread holder([&] { shell(in(host, "timeout 20 busybox nc -l -p 8443")); });
    await_listener(host, "20FB");
    ASSERT_EQ(
        tool(host, "zor-sys create -n used -f " + configuration("used", "address=10.213.0.7\n"))
            .exit_status,
        0);
    struct Case {
        const char *what;
        const char *network_conf;  // nullptr: none
        const char *create;
        int status;
        const char *message;
    };
    const Case cases[] = {
        {"address outside the subnet", nullptr, "address=10.9.0.5", 101, "not a container address"},
        {"the host's own address", nullptr, "address=10.213.0.1", 101, "not a container address"},
        {"the subnet's broadcast", nullptr, "address=10.213.0.255", 101, "not a container address"},
        {"address in use", nullptr, "address=10.213.0.7", 103, "in use"},
        {"address not one", nullptr, "address=10.213.0.07", 101, "not one A.B.C.D"},
        {"publish without a colon", nullptr, "publish=80", 101, "not HOSTPORT:PORT"},
        {"publish of port 0", nullptr, "publish=0:80", 101, "not a port number"},
        {"publish above 65535", nullptr, "publish=8080:70000", 101, "not a port number"},
        {"a host port twice", nullptr, "publish=81:80\npublish=81:90", 101, "twice"},
        {"network other than none", nullptr, "network=host", 101, "must be none"},
        {"network=none with a port", nullptr, "network=none\npublish=81:80", 101, "no port"},
        {"host port held", nullptr, "publish=8443:80", 109, "taken"},
        {"unknown network.conf key", "mtu=9000\n", "", 101, "unknown key 'mtu'"},
        {"network.conf key twice", "nat=no\nnat=no\n", "", 101, "twice"},
        {"subnet prefix 33", "subnet=10.1.0.0/33\n", "", 101, "subnet"},
        {"subnet not aligned", "subnet=10.1.0.5/24\n", "", 101, "subnet"},
        {"range outside the subnet", "range=10.214.0.2-10.214.0.9\n", "", 101, "range"},
        {"range backwards", "range=10.213.0.9-10.213.0.2\n", "", 101, "range"},
        {"host address in the range", "address=10.213.0.5/24\nrange=10.213.0.2-10.213.0.9\n", "",
         101, "own address"},
        {"nat neither yes nor no", "nat=maybe\n", "", 101, "nat"},
        {"bridge name too long", "bridge=abcdefghijklmnop\n", "", 101, "bridge"},
        {"a line without =", "uplink\n", "", 101, "key=value"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.network_conf != nullptr) {
            write_file(state_ + "/network.conf", c.network_conf);
        }
        const Ran made = tool(host, "zor-sys create -n box -f " + configuration("box", c.create));
        EXPECT_EQ(made.exit_status, c.status) << made.err;
        EXPECT_NE(made.err.find(c.message), std::string::npos) << made.err;
        EXPECT_EQ(tool(host, "zor-sys search -n box").exit_status, 102);
        fs::remove(state_ + "/network.conf");
    }
    const Ran app = tool(host, "zor-app create -n web -p 8443");
    EXPECT_EQ(app.exit_status, 109) << app.err;
    // A network.conf broken after create: start refuses before anything is made.
    ASSERT_EQ(tool(host, "zor-sys create -n later").exit_status, 0);
    write_file(state_ + "/network.conf", "subnet=bad\n");
    EXPECT_EQ(tool(host, "zor-sys start -n later").exit_status, 101);
    EXPECT_EQ(tool(host, "zor-sys status -n later").exit_status, 0);
    EXPECT_NE(shell(in(host, "ip link show zor0")).exit_status, 0) << "a refusal made the bridge";
    shell(in(host, "busybox nc -w 1 127.0.0.1 8443 </dev/null"));
    holder.join();
}

TEST_F(RuntimeNetwork, InfoShowsTheAddressAndMacThatEth0CarriesAndPortsArePublished) {
    if (IsSkipped()) {
        return;
    }
    const std::string host = add_namespace("host");
    ASSERT_EQ(tool(host, "zor-sys create -n first").exit_status, 0);
    ASSERT_EQ(tool(host, "zor-sys create -n chosen -f " +
                             configuration("chosen", "address=10.213.0.77\n"))
                  .exit_status,
              0);
    ASSERT_EQ(tool(host, "zor-sys create -n alone -f " + configuration("alone", "network=none\n"))
                  .exit_status,
              0);
    ASSERT_EQ(tool(host, "zor-app create -n web -p 8080").exit_status, 0);
    const std::string info = tool(host, "zor-sys info -n first").out;
    EXPECT_EQ(line_of(info, "ADDRESS"), "10.213.0.2/24");
    const std::string mac = line_of(info, "MAC");
    EXPECT_TRUE(std::regex_match(mac, std::regex("[0-9a-f][26ae](:[0-9a-f]{2}){5}"))) << mac;
    EXPECT_EQ(line_of(tool(host, "zor-sys info -n chosen").out, "ADDRESS"), "10.213.0.77/24");
    EXPECT_EQ(line_of(tool(host, "zor-app info -n web").out, "ADDRESS"), "10.213.0.3/24");
    EXPECT_EQ(line_of(tool(host, "zor-sys info -n alone").out, "ADDRESS"), "");
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "first start" : "after stop and start");
        ASSERT_EQ(tool(host, "zor-sys start -n first").exit_status, 0);
        const std::string pid = tool(host, "zor-sys getpid -n first").out;
        const std::string inside =
            shell("nsenter --net=/proc/" + pid.substr(0, pid.size() - 1) +
                  "/ns/net sh -c 'ip -o link show eth0; ip -o -4 address show eth0; ip route'")
                .out;
        EXPECT_NE(inside.find("link/ether " + mac), std::string::npos) << inside;
        EXPECT_NE(inside.find("inet 10.213.0.2/24"), std::string::npos) << inside;
        EXPECT_NE(inside.find("default via 10.213.0.1 dev eth0"), std::string::npos) << inside;
        EXPECT_EQ(line_of(tool(host, "zor-sys info -n first").out, "MAC"), mac);
        ASSERT_EQ(tool(host, "zor-sys stop -n first").exit_status, 0);
    }
    ASSERT_EQ(tool(host, "zor-sys start -n alone").exit_status, 0);
    const std::string pid = tool(host, "zor-sys getpid -n alone").out;
    EXPECT_EQ(shell("nsenter --net=/proc/" + pid.substr(0, pid.size() - 1) +
                    "/ns/net ip -o link show eth0")
                  .exit_status,
              1);
    // The small service answers on its published port at the host's addresses, from the host
    // and from another machine, which reaches the host on a link of its own.
    const std::string client = add_namespace("client");
    wire(client, "eth0", host, "out0");
    ASSERT_EQ(shell("ip -n " + host + " address add 192.0.2.1/24 dev out0 && ip -n " + client +
                    " address add 192.0.2.2/24 dev eth0")
                  .exit_status,
              0);
    ASSERT_EQ(tool(host, "zor-app start -n web").exit_status, 0);
    const std::pair<std::string, const char *> callers[] = {
        {host, "127.0.0.1"}, {host, "10.213.0.1"}, {client, "192.0.2.1"}};
    for (const auto &[from, address] : callers) {
        SCOPED_TRACE(from + " to " + address);
        Ran got;
        for (int tries = 0; tries < 50 && got.out != "ok\n"; ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            got = shell(in(from, std::string("timeout 5 bash -c 'exec 3<>/dev/tcp/") + address +
                                     "/8080; printf \"GET /index.html HTTP/1.0\\r\\n\\r\\n\" >&3; "
                                     "tail -n 1 <&3'"));
        }
        EXPECT_EQ(got.out, "ok\n");
    }
    ASSERT_EQ(tool(host, "zor-app stop -n web").exit_status, 0);
    EXPECT_EQ(shell(in(host, "nft list map ip zor_zor0 published")).out.find("8080"),
              std::string::npos)
        << "the port stays published after stop";
    EXPECT_EQ(shell(in(host, "ip -o link show")).out.find("zv"), std::string::npos)
        << "a veth stays after stop";
}

// A client that keeps one TCP connection to an echo server and measures its longest wait for
// an echo, from a thread that has entered the client's network namespace.
class EchoClient {
public:
    EchoClient(const std::string &ns, const std::string &address) {
        thread_ = std::thread([this, ns, address] { run(ns, address); });
    }
    ~EchoClient() {
        stop_ = true;
        thread_.join();
    }
    long echoed() const { return echoed_; }
    bool failed() const { return failed_; }
    std::string error() const { return failed_ ? error_ : ""; }
    // Holds the client between two echoes (true once it holds), or lets it go on.
    void hold(bool held) { hold_ = held; }
    bool holding() const { return holding_; }
    // The longest wait since the last call, in milliseconds.
    double take_longest() { return static_cast<double>(longest_us_.exchange(0)) / 1000.0; }

private:
    void fail(const std::string &why) {
        error_ = why;
        failed_ = true;
    }

    void run(const std::string &ns, const std::string &address) {
        const int net = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (net < 0 || setns(net, CLONE_NEWNET) != 0) {
            return fail("cannot enter " + ns);
        }
        close(net);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(7);
        inet_pton(AF_INET, address.c_str(), &server.sin_addr);
        int sock = -1;
        for (int tries = 0; tries < 100 && sock < 0 && !stop_; ++tries) {
            sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (connect(sock, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
                close(sock);
                sock = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        if (sock < 0) {
            return fail("cannot connect to " + address);
        }
        for (long n = 1; !stop_ && !failed_; ++n) {
            holding_ = hold_.load();
            if (holding_) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                --n;
                continue;
            }
            const std::string line = std::to_string(n) + "\n";
            const auto sent = Clock::now();
            if (send(sock, line.data(), line.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(line.size())) {
                fail("send failed at " + line);
                break;
            }
            std::string got;
            while (!stop_ && got.find('\n') == std::string::npos) {
                pollfd wait{sock, POLLIN, 0};
                if (Clock::now() - sent > std::chrono::seconds(30)) {
                    fail("no echo of " + line + " within 30 s");
                    break;
                }
                if (poll(&wait, 1, 100) == 1) {
                    char buffer[64];
                    const ssize_t read = recv(sock, buffer, sizeof buffer, 0);
                    if (read <= 0) {
                        fail("the connection ended at " + line +
                             (read == 0 ? " (closed)" : " (" + std::string(strerror(errno)) + ")"));
                        break;
                    }
                    got.append(buffer, static_cast<std::size_t>(read));
                }
            }
            if (failed_ || stop_) {
                break;
            }
            if (got != line) {
                fail("sent " + line + " but got " + got);
                break;
            }
            const long long waited =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
            long long longest = longest_us_.load();
            while (waited > longest && !longest_us_.compare_exchange_weak(longest, waited)) {
            }
            ++echoed_;
        }
        close(sock);
    }

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hold_{false};
    std::atomic<bool> holding_{false};
    std::atomic<bool> failed_{false};
    std::atomic<long> echoed_{0};
    std::atomic<long long> longest_us_{0};
    std::string error_;
};

// Two hosts and a client on one segment (a switch namespace with a bridge, each host's uplink
// and the client on it). The client's one connection to the echo server in the container
// lives through a checkpoint and restart on host A and a migration to host B.
TEST_F(RuntimeNetwork, OneConnectionLivesAcrossCheckpointRestartAndMigration) {
    if (IsSkipped()) {
        return;
    }
    require_criu();
    if (IsSkipped() || HasFatalFailure()) {
        return;
    }
    char pattern[] = "/tmp/zor-runtime-receiver-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    receiver_ = pattern;
    // The two machines trust each other before anything moves between them.
    ASSERT_TRUE(real_runtime::introduce(state_, receiver_));
    const std::string sw = add_namespace("sw");
    const std::string a = add_namespace("a");
    const std::string b = add_namespace("b");
    const std::string client = add_namespace("client");
    ASSERT_EQ(shell("ip -n " + sw + " link add br0 type bridge && ip -n " + sw + " link set br0 up")
                  .exit_status,
              0);
    wire(a, "up0", sw, "pa");
    wire(b, "up0", sw, "pb");
    wire(client, "eth0", sw, "pc");
    ASSERT_EQ(shell("for p in pa pb pc; do ip -n " + sw +
                    " link set $p master br0 || exit 1; done && ip -n " + client +
                    " address add 10.213.0.250/24 dev eth0")
                  .exit_status,
              0);
    write_file(state_ + "/network.conf",
               "address=10.213.0.1/24\nrange=10.213.0.10-10.213.0.99\nuplink=up0\nnat=no\n");
    write_file(receiver_ + "/network.conf",
               "address=10.213.0.2/24\nrange=10.213.0.100-10.213.0.199\nuplink=up0\nnat=no\n");
    ASSERT_EQ(tool(a, "zor-sys create -n box -f " + configuration("box", kEchoServer)).exit_status,
              0);
    ASSERT_EQ(tool(a, "zor-sys start -n box").exit_status, 0);
    const std::string before = tool(a, "zor-sys info -n box").out;
    ASSERT_EQ(line_of(before, "ADDRESS"), "10.213.0.10/24");
    EchoClient echo(client, "10.213.0.10");
    const auto echoes_go_on = [&](const char *after, long more) {
        const long from = echo.echoed();
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (echo.echoed() < from + more && !echo.failed() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_GE(echo.echoed(), from + more) << "after " << after << ": " << echo.error();
    };
    echoes_go_on("the start", 50);
    echo.take_longest();

    // A restart brings back the moment of the checkpoint; the peer must not have moved on
    // meanwhile, so the client holds between them.
    echo.hold(true);
    while (!echo.holding() && !echo.failed()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(tool(a, "zor-sys checkpoint -n box -t kept").exit_status, 0);
    const Ran restarted = tool(a, "zor-sys restart -n box -t kept");
    EXPECT_EQ(restarted.exit_status, 0) << restarted.err;
    echo.hold(false);
    echoes_go_on("the restart", 50);
    EXPECT_EQ(line_of(tool(a, "zor-sys info -n box").out, "MAC"), line_of(before, "MAC"));
    const double restart_wait = echo.take_longest();

    // Host B's bridge, with its address on the segment, comes with its first container.
    ASSERT_EQ(tool(b, "zor-sys create -n resident", receiver_).exit_status, 0);
    ASSERT_EQ(tool(b, "zor-sys start -n resident", receiver_).exit_status, 0);
    EXPECT_EQ(line_of(tool(b, "zor-sys info -n resident", receiver_).out, "ADDRESS"),
              "10.213.0.100/24");
    // The receiver refuses an address it has in use, before anything moves.
    ASSERT_EQ(
        tool(b, "zor-sys create -n blocker -f " + configuration("blocker", "address=10.213.0.10\n"),
             receiver_)
            .exit_status,
        0);
    const auto migrate = [&](Ran &received) {
        std::thread target([&] {
            received = tool(b, "env ZOR_TARGET_WAIT=60 zor-target -n box -p 7700", receiver_);
        });
        await_listener(b, "1E14");
        const Ran sent = tool(a, "zor-sys migrate -n box -d 10.213.0.2 -p 7700");
        target.join();
        return sent;
    };
    Ran received;
    const Ran refused = migrate(received);
    EXPECT_EQ(refused.exit_status, 106);
    EXPECT_NE(refused.err.find("10.213.0.10 is in use here"), std::string::npos) << refused.err;
    EXPECT_EQ(tool(a, "zor-sys status -n box").exit_status, 1);
    echoes_go_on("the refused migration", 20);
    ASSERT_EQ(tool(b, "zor-sys destroy -n blocker", receiver_).exit_status, 0);
    echo.take_longest();

    const Ran moved = migrate(received);
    EXPECT_EQ(moved.exit_status, 0) << moved.err;
    EXPECT_EQ(received.exit_status, 0) << received.err;
    echoes_go_on("the migration", 50);
    const double migration_wait = echo.take_longest();
    EXPECT_FALSE(echo.failed()) << echo.error();
    EXPECT_EQ(tool(a, "zor-sys search -n box").exit_status, 102);
    const std::string after = tool(b, "zor-sys info -n box", receiver_).out;
    EXPECT_EQ(line_of(after, "ADDRESS"), "10.213.0.10/24");
    EXPECT_EQ(line_of(after, "MAC"), line_of(before, "MAC"));
    EXPECT_EQ(shell(in(a, "ip -o link show")).out.find("zv"), std::string::npos);
    std::printf(
        "longest wait for an echo: %.1f ms across checkpoint and restart (client held), "
        "%.1f ms across the migration\n",
        restart_wait, migration_wait);
    RecordProperty("restart_longest_wait_ms", std::to_string(restart_wait));
    RecordProperty("migration_longest_wait_ms", std::to_string(migration_wait));
}

}  // namespace
