// What libzorsys adds to running a command: zor_sys_start against system() on the same
// command line through the same stand-ins, and the frame's own work (composing, escaping,
// writing the outcome line) without any command. The ratios are printed after the run.
#include <zorsys.h>

#include "command_frame.hpp"
#include "outcome_line.hpp"

#include "standin_harness.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
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

// Keeps the median of every benchmark, to print the ratios after the usual report.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.aggregate_name == "median") {
                medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        if (medians_.size() < 3) {
            return;
        }
        const double direct = medians_.at("BM_SystemDirect");
        const double start = medians_.at("BM_ZorSysStart");
        const double own = medians_.at("BM_FrameWithoutCommand");
        std::printf("\nzor_sys_start / system on the same command: %.4f\n", start / direct);
        std::printf("frame's own work / system on the same command: %.6f (%.4f %%)\n", own / direct,
                    100.0 * own / direct);
    }

private:
    std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    // The stand-ins answer every start with success; sudo and zor-sys come from them.
    const standin::Session tools;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
