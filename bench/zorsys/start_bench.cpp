// What libzorsys adds to running a command: zor_sys_start against system() on the same
// command line through the same stand-ins, and the frame's own work (composing, escaping,
// writing the outcome line) without any command. The ratios are printed after the run.
#include <zorsys.h>

#include "command_frame.hpp"
#include "outcome_line.hpp"

#include "median_reporter.hpp"
#include "standin_harness.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

namespace frame = zorsys::frame;

char kName[] = "web-01";
constexpr char kCommand[] = "sudo zor-sys start -n web-01 > /dev/null 2>&1";

constexpr frame::Outcome<const char *> kStarted{
    "ZOR-SYS-LIB: start: Started system container '%s'.",
    "ZOR-SYS-LIB: start: Failed to start '%s'. (ErrNo=%d)"};

void BM_SystemDirect(benchmark::State &state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::system(kCommand));
    }
}

void BM_ZorSysStart(benchmark::State &state) {
    zor_sys_handle handle{1, kName};
    for (auto _ : state) {
        benchmark::DoNotOptimize(zor_sys_start(&handle));
    }
}

// Everything zor_sys_start does except running the shell.
void BM_FrameWithoutCommand(benchmark::State &state) {
    char run[frame::kBufferSize];
    for (auto _ : state) {
        frame::Command command("sudo zor-sys start -n ");
        command.add(frame::text(kName));
        benchmark::DoNotOptimize(command.escape_into(run, frame::kSuffixLength));
        frame::write_outcome({__LINE__, __func__}, kStarted, 0, kName);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_SystemDirect)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ZorSysStart)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_FrameWithoutCommand)->Repetitions(5)->ReportAggregatesOnly(true);

// The library's cost against the bare command, and the share of it that is the frame's own.
void print_ratios(const bench_support::MedianReporter &reporter) {
    if (!reporter.has({"BM_SystemDirect", "BM_ZorSysStart", "BM_FrameWithoutCommand"})) {
        return;
    }
    const double direct = reporter.median("BM_SystemDirect");
    const double own = reporter.median("BM_FrameWithoutCommand");
    std::printf("\n");
    reporter.print_ratio("zor_sys_start / system on the same command", "BM_ZorSysStart",
                         "BM_SystemDirect");
    std::printf("frame's own work / system on the same command: %.6f (%.4f %%)\n", own / direct,
                100.0 * own / direct);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    // The stand-ins answer every start with success; sudo and zor-sys come from them.
    const standin::Session tools;
    bench_support::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_ratios(reporter);
    benchmark::Shutdown();
    return 0;
}
