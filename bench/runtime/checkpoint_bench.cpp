// What the runtime adds to CRIU under runc, and what a migration costs the program it moves.
//
// Checkpoint and restart of one running container through libzorsys (zor_sys_checkpoint,
// zor_sys_restart: the shell, sudo and zor-sys) and through zor-sys alone, beside
// `runc checkpoint` / `runc restore` on the same container in the same run: the runtime's own
// runc root, bundle and instance, the same CRIU and the options the runtime passes
// (--leave-running --tcp-established --file-locks, image and work paths). The runc restore
// is preceded by `runc delete --force`, as the runtime's restart ends the running program.
//
// Migration downtime: a static program holding about 10 or 100 MiB of written memory runs in
// a container and notes every pause it lives through; zor-sys migrate moves it between two
// state directories (two machines) over 127.0.0.1 to zor-target, and the pause the program
// noted is the time it was frozen, from the sender's pause to running on the receiver.
// Beside it: the time to copy the same number of bytes as its checkpoint's images and root
// filesystem changes over a loopback TCP connection. Needs root, runc and a working CRIU.
#include <zorsys.h>

#include "criu_lookup.hpp"
#include "resident_pauses.hpp"
#include "machine_identity.hpp"
#include "median_reporter.hpp"
#include "program_run.hpp"
#include "refusal.hpp"
#include "runc.hpp"
#include "stream_socket.hpp"
#include "tls_channel.hpp"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string g_top;             // the benchmark's folder: states, images, configurations
std::string g_state;           // the first machine's state directory
std::string g_second;          // the second machine's
std::string g_criu;            // the CRIU the runtime uses
char g_name[] = "bench-ckpt";  // the checkpointed container, on the first machine
const std::array<int, 2> kMegabytes = {10, 100};
std::map<int, std::string> g_side;       // where each resident container is now
std::map<int, long long> g_image_bytes;  // what its checkpoint holds

std::string resident_name(int megabytes) {
    return "bench-mem" + std::to_string(megabytes);
}

// Runs words with ZOR_RUNTIME_STATE=state; true when it exits 0.
bool tool(const std::string &state, const std::vector<std::string> &words,
          std::string *out = nullptr) {
    setenv("ZOR_RUNTIME_STATE", state.c_str(), 1);
    const zor::ProgramResult result = zor::run_program(words);
    if (out != nullptr) {
        *out = result.out;
    }
    if (result.status != 0) {
        std::fprintf(stderr, "runtime_checkpoint_bench: %s: %s", words[0].c_str(),
                     result.err.c_str());
    }
    return result.status == 0;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- checkpoint and restart ---------------------------------------------------------------

int g_tag = 0;

std::string next_tag() {
    return "t" + std::to_string(++g_tag);
}

void BM_LibraryCheckpoint(benchmark::State &state) {
    zor_sys_handle handle{100, g_name};
    setenv("ZOR_RUNTIME_STATE", g_state.c_str(), 1);
    for (auto _ : state) {
        const std::string tag = next_tag();
        const auto start = Clock::now();
        const int result = zor_sys_checkpoint(&handle, tag.c_str());
        state.SetIterationTime(seconds_since(start));
        if (result != 0 ||
            !tool(g_state, {"zor-sys", "remove", "--checkpoint", "-n", g_name, "-t", tag})) {
            state.SkipWithError("zor_sys_checkpoint or the removal failed");
            break;
        }
    }
}

void BM_ToolCheckpoint(benchmark::State &state) {
    for (auto _ : state) {
        const std::string tag = next_tag();
        const auto start = Clock::now();
        const bool taken = tool(g_state, {"zor-sys", "checkpoint", "-n", g_name, "-t", tag});
        state.SetIterationTime(seconds_since(start));
        if (!taken ||
            !tool(g_state, {"zor-sys", "remove", "--checkpoint", "-n", g_name, "-t", tag})) {
            state.SkipWithError("zor-sys checkpoint or the removal failed");
            break;
        }
    }
}

// runc with the runtime's root and the CRIU it uses.
zor::ProgramResult runc(const std::vector<std::string> &words, bool detached = false) {
    std::vector<std::string> argv{"runc", "--root", g_state + "/runc", "--criu", g_criu};
    argv.insert(argv.end(), words.begin(), words.end());
    return zor::run_program(argv, detached);
}

std::string runc_instance() {
    return zor::runc_id(true, g_name);
}

bool runc_checkpoint(const std::string &images) {
    fs::create_directories(images + "/images");
    fs::create_directories(images + "/work");
    return runc({"checkpoint", "--leave-running", "--tcp-established", "--file-locks",
                 "--image-path", images + "/images", "--work-path", images + "/work",
                 runc_instance()})
               .status == 0;
}

// runc checkpoint alone: CRIU freezes the programs itself (on the v1 freezer it polls for
// frozen in 100 ms steps).
void BM_RuncCheckpoint(benchmark::State &state) {
    for (auto _ : state) {
        const std::string images = g_top + "/runc-" + next_tag();
        const auto start = Clock::now();
        const bool taken = runc_checkpoint(images);
        state.SetIterationTime(seconds_since(start));
        std::error_code ignored;
        fs::remove_all(images, ignored);
        if (!taken) {
            state.SkipWithError("runc checkpoint failed");
            break;
        }
    }
}

// The runtime's own sequence with runc alone: pause, checkpoint leaving the programs frozen,
// resume (the runtime copies the root filesystem's changes while they are frozen).
void BM_RuncPauseCheckpointResume(benchmark::State &state) {
    for (auto _ : state) {
        const std::string images = g_top + "/runc-" + next_tag();
        const auto start = Clock::now();
        const bool taken = runc({"pause", runc_instance()}).status == 0 &&
                           runc_checkpoint(images) && runc({"resume", runc_instance()}).status == 0;
        state.SetIterationTime(seconds_since(start));
        std::error_code ignored;
        fs::remove_all(images, ignored);
        if (!taken) {
            state.SkipWithError("runc pause, checkpoint or resume failed");
            break;
        }
    }
}

void BM_LibraryRestart(benchmark::State &state) {
    zor_sys_handle handle{100, g_name};
    setenv("ZOR_RUNTIME_STATE", g_state.c_str(), 1);
    for (auto _ : state) {
        const auto start = Clock::now();
        const int result = zor_sys_restart(&handle, "kept");
        state.SetIterationTime(seconds_since(start));
        if (result != 0) {
            state.SkipWithError("zor_sys_restart failed");
            break;
        }
    }
}

void BM_ToolRestart(benchmark::State &state) {
    for (auto _ : state) {
        const auto start = Clock::now();
        const bool restarted = tool(g_state, {"zor-sys", "restart", "-n", g_name, "-t", "kept"});
        state.SetIterationTime(seconds_since(start));
        if (!restarted) {
            state.SkipWithError("zor-sys restart failed");
            break;
        }
    }
}

// Whether runc's instance has stopped, asked every 5 ms (`runc delete --force` would wait in
// 100 ms steps); false after 10 s.
bool stopped() {
    for (int attempt = 0; attempt < 2000; ++attempt) {
        const zor::ProgramResult state = runc({"state", runc_instance()});
        if (state.status != 0 || state.out.find("\"stopped\"") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// The running program killed and runc's instance removed, as the runtime's restart does,
// then the runtime's bundle restored from the baseline's own checkpoint taken in prepare().
void BM_RuncRestore(benchmark::State &state) {
    const std::string bundle = g_state + "/containers/sys/" + g_name;
    const std::string images = g_top + "/runc-kept";
    for (auto _ : state) {
        const auto start = Clock::now();
        const bool restored = runc({"kill", runc_instance(), "KILL"}).status == 0 && stopped() &&
                              runc({"delete", runc_instance()}).status == 0 &&
                              runc({"restore", "--detach", "--tcp-established", "--file-locks",
                                    "--image-path", images + "/images", "--work-path",
                                    images + "/work", "--bundle", bundle, runc_instance()},
                                   true)
                                      .status == 0;
        state.SetIterationTime(seconds_since(start));
        if (!restored) {
            state.SkipWithError("runc kill, delete or restore failed");
            break;
        }
    }
}

// Each iteration is timed on its own, without the clean-up between them.
void checkpoint_runs(benchmark::internal::Benchmark *benchmark) {
    benchmark->UseManualTime()->Iterations(3)->Repetitions(9)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_LibraryCheckpoint)->Apply(checkpoint_runs);
BENCHMARK(BM_ToolCheckpoint)->Apply(checkpoint_runs);
BENCHMARK(BM_RuncPauseCheckpointResume)->Apply(checkpoint_runs);
BENCHMARK(BM_RuncCheckpoint)->Apply(checkpoint_runs);
BENCHMARK(BM_LibraryRestart)->Apply(checkpoint_runs);
BENCHMARK(BM_ToolRestart)->Apply(checkpoint_runs);
BENCHMARK(BM_RuncRestore)->Apply(checkpoint_runs);

// ---- migration ----------------------------------------------------------------------------

std::string other_side(const std::string &side) {
    return side == g_state ? g_second : g_state;
}

// A loopback port that nothing listened on a moment ago.
int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

// Whether something listens on port, as the kernel's socket table says (a probe connection
// would be taken for the receiver's one sender).
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string local;
        std::string remote;
        std::string status;
        fields >> slot >> local >> remote >> status;
        if (status == "0A" && local.size() > 5 && local.substr(local.size() - 5) == wanted) {
            return true;
        }
    }
    return false;
}

// Starts zor-target -n name -p port on the machine of state.
pid_t start_receiver(const std::string &state, const std::string &name, int port) {
    const pid_t child = fork();
    if (child == 0) {
        setenv("ZOR_RUNTIME_STATE", state.c_str(), 1);
        const std::string port_text = std::to_string(port);
        execlp("zor-target", "zor-target", "-n", name.c_str(), "-p", port_text.c_str(),
               static_cast<char *>(nullptr));
        _exit(127);
    }
    return child;
}

bool ended_well(pid_t child) {
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

std::string rootfs_of(const std::string &state, const std::string &name) {
    std::string out;
    tool(state, {"zor-sys", "info", "-n", name}, &out);
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("ROOTFS ", 0) == 0) {
            return line.substr(7);
        }
    }
    return {};
}

// One migration of the resident program of megabytes to the other side; false when it fails.
// downtime: the pause the program noted; command: the migrate command's own time.
bool migrate_once(int megabytes, double &downtime, double &command, std::string &why) {
    const std::string name = resident_name(megabytes);
    const std::string from = g_side[megabytes];
    const std::string to = other_side(from);
    // What the program has noted before: the pause of the move is the next one.
    const long before = noted_pause(rootfs_of(from, name), -1).first;
    const int port = free_port();
    const pid_t receiver = start_receiver(to, name, port);
    for (int waited = 0; waited < 1000 && !listening(port); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto start = Clock::now();
    const bool sent = tool(
        from, {"zor-sys", "migrate", "-n", name, "-d", "127.0.0.1", "-p", std::to_string(port)});
    command = seconds_since(start);
    if (!sent) {
        kill(receiver, SIGTERM);
    }
    if (!ended_well(receiver) || !sent) {
        why = "the migration failed";
        return false;
    }
    g_side[megabytes] = to;
    const auto noted = noted_pause(rootfs_of(to, name), before);
    if (before < 0 || noted.first < 0) {
        why = "the moved program noted no pause";
        return false;
    }
    downtime = static_cast<double>(noted.second) / 1e9;
    return true;
}

// The pause the moved program lives through (manual time); the command's time as a counter.
void BM_MigrationDowntime(benchmark::State &state) {
    const int megabytes = static_cast<int>(state.range(0));
    double command_seconds = 0;
    for (auto _ : state) {
        double downtime = 0;
        double command = 0;
        std::string why;
        if (!migrate_once(megabytes, downtime, command, why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        command_seconds += command;
        state.SetIterationTime(downtime);
    }
    state.counters["image_bytes"] = static_cast<double>(g_image_bytes[megabytes]);
    state.counters["migrate_command_ms"] =
        benchmark::Counter(command_seconds * 1e3, benchmark::Counter::kAvgIterations);
}

// The whole migrate command (connect, TLS handshake, offer, dump, transfer, restore there,
// commit, removal here), as manual time.
void BM_MigrateCommand(benchmark::State &state) {
    const int megabytes = static_cast<int>(state.range(0));
    for (auto _ : state) {
        double downtime = 0;
        double command = 0;
        std::string why;
        if (!migrate_once(megabytes, downtime, command, why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        state.SetIterationTime(command);
    }
    state.counters["image_bytes"] = static_cast<double>(g_image_bytes[megabytes]);
}

// Sends bytes over a fresh loopback TCP connection to a reader that takes them all and
// answers one byte; the time from connect to that answer.
double loopback_copy(long long bytes) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (listener >= 0) {
            close(listener);
        }
        return -1;
    }
    std::thread reader([listener, bytes] {
        const int fd = accept(listener, nullptr, nullptr);
        std::vector<char> buffer(1 << 16);
        long long got = 0;
        for (ssize_t n = 1; fd >= 0 && got < bytes && n > 0;) {
            n = read(fd, buffer.data(), buffer.size());
            got += n > 0 ? n : 0;
        }
        const char done = 1;
        if (fd >= 0) {
            (void)!write(fd, &done, 1);
            close(fd);
        }
    });
    const std::vector<char> chunk(1 << 16, 'x');
    const auto start = Clock::now();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    bool whole =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    for (long long sent = 0; whole && sent < bytes;) {
        const auto piece = static_cast<std::size_t>(
            std::min<long long>(bytes - sent, static_cast<long long>(chunk.size())));
        const ssize_t n = write(fd, chunk.data(), piece);
        whole = n > 0;
        sent += n > 0 ? n : 0;
    }
    char answer = 0;
    whole = whole && read(fd, &answer, 1) == 1;
    const double elapsed = seconds_since(start);
    if (fd >= 0) {
        close(fd);
    }
    reader.join();
    close(listener);
    return whole ? elapsed : -1;
}

void BM_LoopbackCopy(benchmark::State &state) {
    const long long bytes = g_image_bytes[static_cast<int>(state.range(0))];
    for (auto _ : state) {
        const double elapsed = loopback_copy(bytes);
        if (elapsed < 0) {
            state.SkipWithError("the loopback copy failed");
            break;
        }
        state.SetIterationTime(elapsed);
    }
    state.counters["image_bytes"] = static_cast<double>(bytes);
}

// The same copy inside the migration's mutual TLS 1.3 between the two machines' identities,
// from connect (and handshake) to the reader's answer.
double tls_loopback_copy(long long bytes) {
    try {
        const zor::MachineIdentity first = zor::machine_identity(g_state);
        const zor::MachineIdentity second = zor::machine_identity(g_second);
        const std::vector<std::string> trusts_first{zor::fingerprint_of(first.certificate.get())};
        const std::vector<std::string> trusts_second{zor::fingerprint_of(second.certificate.get())};
        const zor::Milliseconds patient(30000);
        const zor::Listener listener(0, true);
        bool read_whole = false;
        std::thread reader([&] {
            try {
                zor::Channel channel = listener.accept(patient, patient);
                zor::secure_channel(channel, zor::TlsRole::kReceiver, second, trusts_first,
                                    Clock::now() + patient);
                std::vector<char> buffer(1 << 16);
                long long got = 0;
                while (got < bytes) {
                    const std::size_t n = channel.read_some(buffer.data(), buffer.size());
                    if (n == 0) {
                        return;
                    }
                    got += static_cast<long long>(n);
                }
                const char done = 1;
                channel.write_all(&done, 1);
                read_whole = true;
            } catch (const zor::Refusal &) {
                // read_whole stays false.
            }
        });
        const std::vector<char> chunk(1 << 16, 'x');
        const auto start = Clock::now();
        bool whole = false;
        try {
            zor::Channel channel = zor::connect_to("127.0.0.1", listener.port(), patient);
            zor::secure_channel(channel, zor::TlsRole::kSender, first, trusts_second,
                                Clock::now() + patient);
            for (long long sent = 0; sent < bytes;) {
                const auto piece = static_cast<std::size_t>(
                    std::min<long long>(bytes - sent, static_cast<long long>(chunk.size())));
                channel.write_all(chunk.data(), piece);
                sent += static_cast<long long>(piece);
            }
            char answer = 0;
            channel.read_exact(&answer, 1);
            whole = true;
        } catch (const zor::Refusal &) {
            // whole stays false.
        }
        const double elapsed = seconds_since(start);
        reader.join();
        return whole && read_whole ? elapsed : -1;
    } catch (const zor::Refusal &) {
        return -1;
    }
}

void BM_TlsLoopbackCopy(benchmark::State &state) {
    const long long bytes = g_image_bytes[static_cast<int>(state.range(0))];
    for (auto _ : state) {
        const double elapsed = tls_loopback_copy(bytes);
        if (elapsed < 0) {
            state.SkipWithError("the TLS loopback copy failed");
            break;
        }
        state.SetIterationTime(elapsed);
    }
    state.counters["image_bytes"] = static_cast<double>(bytes);
}

BENCHMARK(BM_MigrationDowntime)
    ->Arg(10)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_MigrateCommand)
    ->Arg(10)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_TlsLoopbackCopy)
    ->Arg(10)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(3)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_LoopbackCopy)
    ->Arg(10)
    ->Arg(100)
    ->UseManualTime()
    ->Iterations(3)
    ->Repetitions(7)
    ->ReportAggregatesOnly(true);

// ---- set-up ---------------------------------------------------------------------------------

long long tree_bytes(const std::string &folder) {
    long long bytes = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_regular_file(error) && !it->is_symlink(error)) {
            bytes += static_cast<long long>(it->file_size(error));
        }
    }
    return bytes;
}

std::string write_configuration(const std::string &name, const std::string &command) {
    const std::string path = g_top + "/" + name + ".conf";
    std::ofstream(path) << "command=" << command << "\n";
    return path;
}

// The resident program's container on the first machine, started, with the size of a
// checkpoint of it (what a migration sends: the images and the root filesystem's changes).
bool prepare_resident(int megabytes) {
    const std::string name = resident_name(megabytes);
    if (!tool(g_state, {"zor-sys", "create", "-n", name, "-m", "512", "-f",
                        write_configuration(name, "exec /resident_program " +
                                                      std::to_string(megabytes) + " /pauses")})) {
        return false;
    }
    const std::string rootfs = rootfs_of(g_state, name);
    std::error_code error;
    fs::copy_file(RESIDENT_PROGRAM, rootfs + "/resident_program", error);
    if (error || !tool(g_state, {"zor-sys", "start", "-n", name}) ||
        noted_pause(rootfs, -1).first < 0) {
        return false;
    }
    if (!tool(g_state, {"zor-sys", "checkpoint", "-n", name, "-t", "size"})) {
        return false;
    }
    const std::string kept = g_state + "/containers/sys/" + name + "/checkpoints/size";
    g_image_bytes[megabytes] = tree_bytes(kept + "/images") + tree_bytes(kept + "/rootfs");
    g_side[megabytes] = g_state;
    return tool(g_state, {"zor-sys", "remove", "--checkpoint", "-n", name, "-t", "size"});
}

std::string first_line(const std::string &text) {
    return text.substr(0, text.find('\n'));
}

bool prepare() {
    char pattern[] = "/tmp/zor-ckpt-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return false;
    }
    g_top = pattern;
    g_state = g_top + "/first";
    g_second = g_top + "/second";
    try {
        fs::create_directories(g_state);
        fs::create_directories(g_second);
        fs::permissions(g_state, fs::perms::owner_all);
        fs::permissions(g_second, fs::perms::owner_all);
        g_criu = zor::find_criu(g_state);
    } catch (const zor::Refusal &refusal) {
        std::fprintf(stderr, "runtime_checkpoint_bench: SKIPPED: %s\n", refusal.what());
        return false;
    }
    // The two machines trust each other, as an operator introduces them.
    std::string first_print;
    std::string second_print;
    if (!tool(g_state, {"zor-sys", "trust", "show"}, &first_print) ||
        !tool(g_second, {"zor-sys", "trust", "show"}, &second_print) ||
        !tool(g_state, {"zor-sys", "trust", "add", first_line(second_print)}) ||
        !tool(g_second, {"zor-sys", "trust", "add", first_line(first_print)})) {
        return false;
    }
    const std::string counting =
        "trap 'exit 0' TERM; i=0; while :; do i=$((i+1)); echo $i > /tmp/count; "
        "sleep 0.2 & wait $!; done";
    if (!tool(g_state,
              {"zor-sys", "create", "-n", g_name, "-f", write_configuration(g_name, counting)}) ||
        !tool(g_state, {"zor-sys", "start", "-n", g_name}) ||
        !tool(g_state, {"zor-sys", "checkpoint", "-n", g_name, "-t", "kept"}) ||
        !runc_checkpoint(g_top + "/runc-kept")) {
        return false;
    }
    for (const int megabytes : kMegabytes) {
        if (!prepare_resident(megabytes)) {
            return false;
        }
    }
    return true;
}

void clean_up() {
    for (const std::string &state : {g_state, g_second}) {
        if (!state.empty() && fs::exists(state)) {
            std::string names;
            tool(state, {"zor-sys", "list"}, &names);
            std::istringstream lines(names);
            for (std::string name; std::getline(lines, name);) {
                tool(state, {"zor-sys", "stop", "-n", name});
                tool(state, {"zor-sys", "destroy", "-n", name});
            }
        }
    }
    if (!g_top.empty()) {
        std::error_code ignored;
        fs::remove_all(g_top, ignored);
    }
}

void print_ratios(const bench_support::MedianReporter &reporter) {
    std::printf("\n");
    reporter.print_ratio("zor_sys_checkpoint / runc pause + checkpoint + resume",
                         "BM_LibraryCheckpoint", "BM_RuncPauseCheckpointResume");
    reporter.print_ratio("zor-sys checkpoint / runc pause + checkpoint + resume",
                         "BM_ToolCheckpoint", "BM_RuncPauseCheckpointResume");
    reporter.print_ratio("zor-sys checkpoint / runc checkpoint alone", "BM_ToolCheckpoint",
                         "BM_RuncCheckpoint");
    reporter.print_ratio("zor_sys_restart / runc kill + delete + restore", "BM_LibraryRestart",
                         "BM_RuncRestore");
    reporter.print_ratio("zor-sys restart / runc kill + delete + restore", "BM_ToolRestart",
                         "BM_RuncRestore");
    for (const int megabytes : kMegabytes) {
        const std::string size = std::to_string(megabytes);
        reporter.print_ratio(
            ("migration downtime / loopback copy of the images, " + size + " MiB").c_str(),
            "BM_MigrationDowntime/" + size, "BM_LoopbackCopy/" + size);
        reporter.print_ratio(
            ("migrate command / loopback copy of the images, " + size + " MiB").c_str(),
            "BM_MigrateCommand/" + size, "BM_LoopbackCopy/" + size);
        reporter.print_ratio(
            ("TLS 1.3 loopback copy / plain loopback copy, " + size + " MiB").c_str(),
            "BM_TlsLoopbackCopy/" + size, "BM_LoopbackCopy/" + size);
    }
}

}  // namespace

// Without root, runc or a working CRIU the program says so and ends with status 0, measuring
// nothing; a failure to set up the containers is status 1.
int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    const char *path = std::getenv("PATH");
    setenv("PATH",
           (std::string(ZOR_RUNTIME_DIRECTORY) + ":" + (path != nullptr ? path : "") + ":/usr/sbin")
               .c_str(),
           1);
    if (geteuid() != 0 || zor::find_on_path("runc").empty()) {
        std::fprintf(stderr,
                     "runtime_checkpoint_bench: SKIPPED: needs root and runc (real "
                     "containers)\n");
        return 0;
    }
    // Its containers make their bridge in a network namespace of this program's own, not on
    // the machine; the migration goes over its loopback.
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "runtime_checkpoint_bench: cannot make a network namespace\n");
        return 1;
    }
    if (!prepare()) {
        if (g_criu.empty()) {
            clean_up();
            return 0;  // no working CRIU: said so
        }
        std::fprintf(stderr, "runtime_checkpoint_bench: cannot prepare the containers\n");
        clean_up();
        return 1;
    }
    // The versions of what the figures depend on, in the report's context.
    const zor::ProgramResult criu_version = zor::run_program({g_criu, "--version"});
    const zor::ProgramResult runc_version = zor::run_program({"runc", "--version"});
    benchmark::AddCustomContext("criu", g_criu + ": " + first_line(criu_version.out));
    benchmark::AddCustomContext("runc", first_line(runc_version.out));
    bench_support::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratios(reporter);
    benchmark::Shutdown();
    clean_up();
    return 0;
}
