// What a live migration costs a client of the container it moves: the longest wait for an
// echo on one TCP connection while a container holding 10 or 100 MiB of written memory moves
// between two hosts, beside that same migration's own figures.
//
// Two hosts and a client on one segment, all network namespaces of this program's own (a
// switch namespace with a bridge; each host's uplink and the client wired to it): each host
// runs the runtime with a state directory of its own, entered with nsenter. The container on
// a network runs the static resident program (which notes how long it was frozen) and an echo
// server; a thread in the client's namespace keeps one connection to it, sending a line and
// waiting for its echo, over and over. Each iteration migrates the container to the other
// host (zor-sys migrate to zor-target over mutual TLS on the segment). The manual time is the
// client's longest wait across it; the counters are the same migration's downtime (the pause
// the program noted, from the sender's pause to running on the receiver) and the migrate
// command's time, and the wait's ratio to each. Needs root, runc and a working CRIU; no NAT,
// nothing leaves the namespaces.
#include "criu_lookup.hpp"
#include "resident_pauses.hpp"
#include "program_run.hpp"
#include "refusal.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::array<int, 2> kMegabytes = {10, 100};

// One host: its network namespace, state directory and address on the segment.
struct Host {
    std::string ns;
    std::string state;
    std::string address;
};

std::string g_top;                  // the benchmark's folder: states, configurations
std::string g_prefix;               // of every namespace this program makes
std::vector<std::string> g_made;    // the namespaces made, to delete at the end
std::array<Host, 2> g_hosts;        // host a, then host b
std::map<int, std::size_t> g_side;  // which host each container is on now (0: a)

std::string echo_name(int megabytes) {
    return "bench-echo" + std::to_string(megabytes);
}

// Runs words; true when they exit 0 (else says why on stderr).
bool run(const std::vector<std::string> &words, std::string *out = nullptr) {
    const zor::ProgramResult result = zor::run_program(words);
    if (out != nullptr) {
        *out = result.out;
    }
    if (result.status != 0) {
        std::fprintf(stderr, "runtime_network_migration_bench: %s %s: %s", words[0].c_str(),
                     words.size() > 1 ? words[1].c_str() : "", result.err.c_str());
    }
    return result.status == 0;
}

// words with the state of host, run in its network namespace.
std::vector<std::string> on(const Host &host, std::vector<std::string> words) {
    words.insert(words.begin(), {"nsenter", "--net=/run/netns/" + host.ns, "env",
                                 "ZOR_RUNTIME_STATE=" + host.state});
    return words;
}

std::string value_of(const std::string &text, const std::string &key) {
    const std::size_t at = text.find(key + " ");
    return at == std::string::npos
               ? ""
               : text.substr(at + key.size() + 1, text.find('\n', at) - at - key.size() - 1);
}

std::string info(const Host &host, const std::string &name, const std::string &key) {
    std::string out;
    run(on(host, {"zor-sys", "info", "-n", name}), &out);
    return value_of(out, key);
}

// A client that keeps one TCP connection to the echo server at address:7, from a thread in
// namespace ns, and keeps its longest wait for an echo.
class EchoClient {
public:
    EchoClient(const std::string &ns, const std::string &address)
        : thread_([this, ns, address] { serve(ns, address); }) {}
    EchoClient(const EchoClient &) = delete;
    EchoClient &operator=(const EchoClient &) = delete;
    ~EchoClient() {
        stop_ = true;
        thread_.join();
    }
    long echoed() const { return echoed_; }
    bool failed() const { return failed_; }
    // The longest wait since the last call, in seconds.
    double take_longest() { return static_cast<double>(longest_us_.exchange(0)) / 1e6; }

    // Whether count more echoes come within 60 s.
    bool goes_on(long count) const {
        const long from = echoed_;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (echoed_ < from + count && !failed_ && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return echoed_ >= from + count;
    }

private:
    void serve(const std::string &ns, const std::string &address) {
        const int net = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        const bool entered = net >= 0 && setns(net, CLONE_NEWNET) == 0;
        if (net >= 0) {
            close(net);
        }
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(7);
        int sock = -1;
        for (int tries = 0; entered && tries < 100 && sock < 0 && !stop_; ++tries) {
            sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (inet_pton(AF_INET, address.c_str(), &server.sin_addr) != 1 ||
                connect(sock, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0) {
                close(sock);
                sock = -1;
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        failed_ = sock < 0;
        for (long n = 1; !stop_ && !failed_; ++n) {
            const std::string line = std::to_string(n) + "\n";
            const auto sent = Clock::now();
            std::string got;
            failed_ = send(sock, line.data(), line.size(), MSG_NOSIGNAL) !=
                      static_cast<ssize_t>(line.size());
            while (!stop_ && !failed_ && got.size() < line.size()) {
                pollfd wait{sock, POLLIN, 0};
                if (poll(&wait, 1, 100) == 1) {
                    std::array<char, 64> buffer{};
                    const ssize_t read = recv(sock, buffer.data(), buffer.size(), 0);
                    failed_ = read <= 0;
                    got.append(buffer.data(), read > 0 ? static_cast<std::size_t>(read) : 0);
                }
                failed_ = failed_ || Clock::now() - sent > std::chrono::seconds(60);
            }
            if (stop_ || failed_ || got != line) {
                failed_ = failed_ || (!stop_ && got != line);
                break;
            }
            const long long waited =
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - sent).count();
            long long longest = longest_us_.load();
            while (waited > longest && !longest_us_.compare_exchange_weak(longest, waited)) {
            }
            ++echoed_;
        }
        if (sock >= 0) {
            close(sock);
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::atomic<long> echoed_{0};
    std::atomic<long long> longest_us_{0};
    std::thread thread_;  // last: it starts once the members it uses are in place
};

std::map<int, std::unique_ptr<EchoClient>> g_clients;

// Waits until something in host's namespace listens on TCP port 7700 (0A: listening only).
bool target_listens(const Host &host) {
    for (int tries = 0; tries < 1000; ++tries) {
        std::string out;
        run({"nsenter", "--net=/run/netns/" + host.ns, "cat", "/proc/net/tcp", "/proc/net/tcp6"},
            &out);
        for (std::size_t at = out.find(":1E14 "); at != std::string::npos;
             at = out.find(":1E14 ", at + 1)) {
            if (out.compare(out.find(' ', at + 6) + 1, 3, "0A ") == 0) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

struct Migration {
    double wait = 0;      // the client's longest wait for an echo across it
    double downtime = 0;  // the pause the moved program noted
    double command = 0;   // the migrate command's time
};

// Moves the container of megabytes to the other host while its client echoes; "" or why not.
std::string migrate_once(int megabytes, Migration &measured) {
    const std::string name = echo_name(megabytes);
    EchoClient &client = *g_clients[megabytes];
    const Host &from = g_hosts.at(g_side[megabytes]);
    const Host &to = g_hosts.at(1 - g_side[megabytes]);
    if (!client.goes_on(20)) {
        return "the client's connection does not echo before the migration";
    }
    const long before = noted_pause(info(from, name, "ROOTFS"), -1).first;
    client.take_longest();
    bool received = false;
    std::thread target([&] {
        received =
            run(on(to, {"env", "ZOR_TARGET_WAIT=60", "zor-target", "-n", name, "-p", "7700"}));
    });
    const bool listens = target_listens(to);
    const auto start = Clock::now();
    const bool sent =
        run(on(from, {"zor-sys", "migrate", "-n", name, "-d", to.address, "-p", "7700"}));
    measured.command = std::chrono::duration<double>(Clock::now() - start).count();
    target.join();
    if (!listens || !sent || !received) {
        return "the migration failed";
    }
    g_side[megabytes] = 1 - g_side[megabytes];
    const auto noted = noted_pause(info(to, name, "ROOTFS"), before);
    if (before < 0 || noted.first < 0) {
        return "the moved program noted no pause";
    }
    measured.downtime = static_cast<double>(noted.second) / 1e9;
    if (!client.goes_on(20)) {
        return "the client's connection does not echo after the migration";
    }
    measured.wait = client.take_longest();
    return "";
}

// The client's longest wait as manual time; the migration's downtime and command time, and
// the wait's ratio to each, as counters (their median and cv come with the aggregates).
void BM_ConnectionPauseAcrossMigration(benchmark::State &state) {
    const int megabytes = static_cast<int>(state.range(0));
    Migration sum;
    double per_downtime = 0;
    double per_command = 0;
    for (auto _ : state) {
        static_cast<void>(_);
        Migration measured;
        const std::string why = migrate_once(megabytes, measured);
        if (!why.empty()) {
            state.SkipWithError(why.c_str());
            break;
        }
        state.SetIterationTime(measured.wait);
        sum.downtime += measured.downtime;
        sum.command += measured.command;
        per_downtime += measured.wait / measured.downtime;
        per_command += measured.wait / measured.command;
    }
    using benchmark::Counter;
    state.counters["downtime_ms"] = Counter(sum.downtime * 1e3, Counter::kAvgIterations);
    state.counters["migrate_command_ms"] = Counter(sum.command * 1e3, Counter::kAvgIterations);
    state.counters["wait_per_downtime"] = Counter(per_downtime, Counter::kAvgIterations);
    state.counters["wait_per_command"] = Counter(per_command, Counter::kAvgIterations);
}

BENCHMARK(BM_ConnectionPauseAcrossMigration)
    ->Arg(10)
    ->Arg(100)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

// ---- set-up ---------------------------------------------------------------------------------

bool add_namespace(const std::string &name) {
    g_made.push_back(g_prefix + name);
    return run({"ip", "netns", "add", g_prefix + name}) &&
           run({"ip", "-n", g_prefix + name, "link", "set", "lo", "up"});
}

// A veth pair from end in namespace a to a port of the switch's bridge.
bool wire(const std::string &a, const std::string &end, const std::string &port) {
    const std::string sw = g_prefix + "sw";
    return run({"ip", "link", "add", end, "netns", g_prefix + a, "type", "veth", "peer", "name",
                port, "netns", sw}) &&
           run({"ip", "-n", g_prefix + a, "link", "set", end, "up"}) &&
           run({"ip", "-n", sw, "link", "set", port, "master", "br0", "up"});
}

std::string first_line(const std::string &text) {
    return text.substr(0, text.find('\n'));
}

bool prepare_network() {
    g_prefix = "zb" + std::to_string(getpid()) + "-";
    for (const char *name : {"sw", "a", "b", "client"}) {
        if (!add_namespace(name)) {
            return false;
        }
    }
    const std::string sw = g_prefix + "sw";
    return run({"ip", "-n", sw, "link", "add", "br0", "type", "bridge"}) &&
           run({"ip", "-n", sw, "link", "set", "br0", "up"}) && wire("a", "up0", "pa") &&
           wire("b", "up0", "pb") && wire("client", "eth0", "pc") &&
           run({"ip", "-n", g_prefix + "client", "address", "add", "10.213.0.250/24", "dev",
                "eth0"});
}

// Each host's runtime on the segment without NAT, the two trusting each other, each with a
// container of its own that keeps its bridge (and so its address) up while the measured
// ones are away.
bool prepare_hosts() {
    const std::array<const char *, 2> ranges = {"10.213.0.10-10.213.0.99",
                                                "10.213.0.100-10.213.0.199"};
    std::array<std::string, 2> prints;
    for (std::size_t i = 0; i < g_hosts.size(); ++i) {
        Host &host = g_hosts.at(i);
        host.ns = g_prefix + (i == 0 ? "a" : "b");
        host.state = g_top + "/" + (i == 0 ? "a" : "b");
        host.address = "10.213.0." + std::to_string(i + 1);
        fs::create_directories(host.state);
        fs::permissions(host.state, fs::perms::owner_all);
        std::ofstream(host.state + "/network.conf")
            << "address=" << host.address << "/24\nrange=" << ranges.at(i)
            << "\nuplink=up0\nnat=no\n";
        if (!run(on(host, {"zor-sys", "trust", "show"}), &prints.at(i)) ||
            !run(on(host, {"zor-sys", "create", "-n", "bench-keeper"})) ||
            !run(on(host, {"zor-sys", "start", "-n", "bench-keeper"}))) {
            return false;
        }
    }
    return run(on(g_hosts[0], {"zor-sys", "trust", "add", first_line(prints[1])})) &&
           run(on(g_hosts[1], {"zor-sys", "trust", "add", first_line(prints[0])}));
}

// The container of megabytes on host a, its resident program and echo server running, and
// its client connected.
bool prepare_echo(int megabytes) {
    const std::string name = echo_name(megabytes);
    const std::string configuration = g_top + "/" + name + ".conf";
    std::ofstream(configuration) << "command=/resident_program " << megabytes
                                 << " /pauses & exec nc -ll -p 7 -e cat\n";
    const Host &a = g_hosts[0];
    if (!run(on(a, {"zor-sys", "create", "-n", name, "-m", "512", "-f", configuration}))) {
        return false;
    }
    const std::string rootfs = info(a, name, "ROOTFS");
    std::error_code error;
    fs::copy_file(RESIDENT_PROGRAM, rootfs + "/resident_program", error);
    if (error || !run(on(a, {"zor-sys", "start", "-n", name})) ||
        noted_pause(rootfs, -1).first < 0) {
        return false;
    }
    const std::string address = info(a, name, "ADDRESS");
    g_side[megabytes] = 0;
    g_clients[megabytes] =
        std::make_unique<EchoClient>(g_prefix + "client", address.substr(0, address.find('/')));
    return g_clients[megabytes]->goes_on(20);
}

// Every container and state through the runtime's own clear-up, in its host's namespace,
// then the namespaces (their bridges, veths and nft tables with them).
void clean_up() {
    g_clients.clear();
    for (const Host &host : g_hosts) {
        if (!host.state.empty()) {
            run({"nsenter", "--net=/run/netns/" + host.ns, "sh", CLEAR_RUNTIME_STATE, host.state});
        }
    }
    for (const std::string &ns : g_made) {
        run({"ip", "netns", "del", ns});
    }
    if (!g_top.empty()) {
        std::error_code ignored;
        fs::remove_all(g_top, ignored);
    }
}

struct CleanUp {
    CleanUp() = default;
    CleanUp(const CleanUp &) = delete;
    CleanUp &operator=(const CleanUp &) = delete;
    ~CleanUp() { clean_up(); }
};

}  // namespace

// Without root, runc or a working CRIU the program says so and ends with status 0, measuring
// nothing; a failure to set up the network or the containers is status 1.
int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    // Before any thread: the runtime's tools first on the PATH that everything run here gets.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *path = std::getenv("PATH");
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    setenv("PATH",
           (std::string(ZOR_RUNTIME_DIRECTORY) + ":" + (path != nullptr ? path : "") + ":/usr/sbin")
               .c_str(),
           1);
    if (geteuid() != 0 || zor::find_on_path("runc").empty()) {
        std::fprintf(stderr,
                     "runtime_network_migration_bench: SKIPPED: needs root and runc (real "
                     "containers)\n");
        return 0;
    }
    // This program itself stays off the machine's network too: what it runs outside the
    // hosts' namespaces sees only a loopback of its own.
    if (unshare(CLONE_NEWNET) != 0 || !run({"ip", "link", "set", "lo", "up"})) {
        std::fprintf(stderr, "runtime_network_migration_bench: cannot make a network namespace\n");
        return 1;
    }
    char pattern[] = "/tmp/zor-netmig-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return 1;
    }
    g_top = pattern;
    const CleanUp guard;
    std::string criu;
    try {
        criu = zor::find_criu(g_top);
    } catch (const zor::Refusal &refusal) {
        std::fprintf(stderr, "runtime_network_migration_bench: SKIPPED: %s\n", refusal.what());
        return 0;
    }
    bool prepared = prepare_network() && prepare_hosts();
    for (const int megabytes : kMegabytes) {
        prepared = prepared && prepare_echo(megabytes);
    }
    if (!prepared) {
        std::fprintf(stderr,
                     "runtime_network_migration_bench: cannot prepare the network or the "
                     "containers\n");
        return 1;
    }
    benchmark::AddCustomContext("criu", criu);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
