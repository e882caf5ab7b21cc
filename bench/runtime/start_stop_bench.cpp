// What the runtime adds to runc: zor_sys_start plus zor_sys_stop through the library, the
// shell, sudo and zor-sys, of a container with a network (its eth0 on the bridge) and of one
// without (network=none), beside runc run -d plus runc kill and runc delete of a bundle with
// the second's config.json and root filesystem, run directly, in the same run. Needs root;
// runs in a network namespace of its own, so that the bridge is not made on the machine.
#include <zorsys.h>

#include "median_reporter.hpp"
#include "program_run.hpp"

#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

std::string g_state;     // the runtime's state directory
std::string g_baseline;  // the baseline's bundle and runc root
char kName[] = "bench-web";
char kBareName[] = "bench-bare";

void start_stop(benchmark::State &state, char *name) {
    zor_sys_handle handle{1, name};
    for (auto _ : state) {
        if (zor_sys_start(&handle) != 0 || zor_sys_stop(&handle) != 0) {
            state.SkipWithError("zor_sys_start or zor_sys_stop failed");
            break;
        }
    }
}

void BM_ZorSysStartStop(benchmark::State &state) {
    start_stop(state, kName);
}

void BM_ZorSysStartStopNoNetwork(benchmark::State &state) {
    start_stop(state, kBareName);
}

bool runc(const std::vector<std::string> &words, std::string *out = nullptr,
          bool detached = false) {
    std::vector<std::string> argv{"runc", "--root", g_baseline + "/runc"};
    argv.insert(argv.end(), words.begin(), words.end());
    const zor::ProgramResult result = zor::run_program(argv, detached);
    if (out != nullptr) {
        *out = result.out;
    }
    return result.status == 0;
}

// The same steps with runc's command line alone: run, SIGTERM, ask runc state until the main
// process has stopped (SIGKILL after 200 ms, as the runtime does for its default main
// process), delete.
void BM_RuncRunKillDelete(benchmark::State &state) {
    const std::string bundle = g_baseline + "/bundle";
    for (auto _ : state) {
        if (!runc({"run", "-d", "--bundle", bundle, "baseline"}, nullptr, true) ||
            !runc({"kill", "baseline", "TERM"})) {
            state.SkipWithError("runc run or kill failed");
            break;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        bool killed = false;
        for (std::string out;
             runc({"state", "baseline"}, &out) && out.find("\"stopped\"") == std::string::npos;) {
            if (!killed && std::chrono::steady_clock::now() > deadline) {
                killed = runc({"kill", "baseline", "KILL"});
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!runc({"delete", "baseline"})) {
            state.SkipWithError("runc delete failed");
            break;
        }
    }
}

BENCHMARK(BM_ZorSysStartStop)->UseRealTime()->Repetitions(15)->ReportAggregatesOnly(true);
BENCHMARK(BM_ZorSysStartStopNoNetwork)->UseRealTime()->Repetitions(15)->ReportAggregatesOnly(true);
BENCHMARK(BM_RuncRunKillDelete)->UseRealTime()->Repetitions(15)->ReportAggregatesOnly(true);

int shell(const std::string &command) {
    return std::system(command.c_str());
}

// A container of the runtime's, started once so that its bundle exists, and a copy of that
// bundle's config.json for the baseline with the same root filesystem and a cgroup of its own.
bool prepare() {
    char pattern[] = "/tmp/zor-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return false;
    }
    g_state = std::string(pattern) + "/state";
    g_baseline = std::string(pattern) + "/baseline";
    const char *path = std::getenv("PATH");
    setenv("PATH",
           (std::string(ZOR_RUNTIME_DIRECTORY) + ":" + (path != nullptr ? path : "") + ":/usr/sbin")
               .c_str(),
           1);
    setenv("ZOR_RUNTIME_STATE", g_state.c_str(), 1);
    fs::create_directories(g_state);
    std::ofstream(g_state + "/bare.conf") << "network=none\n";
    std::ofstream(g_state + "/network.conf") << "nat=no\n";
    if (shell("zor-sys create -n bench-web && zor-sys start -n bench-web && "
              "zor-sys stop -n bench-web && zor-sys create -n bench-bare -f " +
              g_state +
              "/bare.conf && zor-sys start -n bench-bare && zor-sys stop -n bench-bare") != 0) {
        return false;
    }
    const std::string container = g_state + "/containers/sys/bench-bare";
    std::ifstream in(container + "/config.json");
    nlohmann::json config = nlohmann::json::parse(in);
    config["root"]["path"] = container + "/rootfs";
    config["linux"]["cgroupsPath"] = "/zor-bench-baseline-" + std::to_string(getpid());
    fs::create_directories(g_baseline + "/bundle");
    std::ofstream(g_baseline + "/bundle/config.json") << config.dump(1);
    return true;
}

void clean_up() {
    shell("zor-sys stop -n bench-web >/dev/null 2>&1; zor-sys destroy -n bench-web");
    shell("zor-sys stop -n bench-bare >/dev/null 2>&1; zor-sys destroy -n bench-bare");
    runc({"delete", "--force", "baseline"});
    shell("rm -rf '" + fs::path(g_state).parent_path().string() + "'");
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "runtime_start_stop_bench: needs root (real containers)\n");
        return 1;
    }
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "runtime_start_stop_bench: cannot make a network namespace\n");
        return 1;
    }
    if (!prepare()) {
        std::fprintf(stderr, "runtime_start_stop_bench: cannot prepare the containers\n");
        clean_up();
        return 1;
    }
    bench_support::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    reporter.print_ratio("zor_sys_start + zor_sys_stop, network / runc run + kill + delete",
                         "BM_ZorSysStartStop", "BM_RuncRunKillDelete");
    reporter.print_ratio("zor_sys_start + zor_sys_stop, no network / runc run + kill + delete",
                         "BM_ZorSysStartStopNoNetwork", "BM_RuncRunKillDelete");
    reporter.print_ratio("zor_sys_start + zor_sys_stop, network / no network", "BM_ZorSysStartStop",
                         "BM_ZorSysStartStopNoNetwork");
    benchmark::Shutdown();
    clean_up();
    return 0;
}
