// What a listing costs per line: zor_sys_get_container_list (and the release of its list)
// on outputs of 1,000, 10,000 and 100,000 lines from the stand-in tool, beside a plain loop
// that only reads the same command's pipe line by line. Both pay for the same shell, sudo
// and tool; the difference is the list. The per-line figures and their ratios are printed
// after the run: the cost per line must not grow with the length of the list.
#include <zorsys.h>

#include "standin_harness.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>

namespace {

constexpr char kCommand[] = "sudo zor-sys list";
constexpr long kSizes[] = {1000, 10000, 100000};

standin::Session *tools = nullptr;

// Makes the tool print lines lines for the next listings.
void print_lines(long lines) {
    const std::string path = (tools->directory() / ("list-" + std::to_string(lines))).string();
    {
        std::ofstream out(path, std::ios::binary);
        for (long index = 0; index < lines; ++index) {
            out << "container-" << index << '\n';
        }
    }
    tools->script("zor-sys", "list", standin::Answer{0, 0, "", "", path});
}

void BM_PlainPipeRead(benchmark::State &state) {
    print_lines(state.range(0));
    char line[1024];
    for (auto _ : state) {
        std::FILE *stream = popen(kCommand, "r");
        long read = 0;
        while (stream != nullptr && std::fgets(line, sizeof line, stream) != nullptr) {
            ++read;
        }
        if (stream != nullptr) {
            pclose(stream);
        }
        if (read != state.range(0)) {
            state.SkipWithError("the plain loop read another number of lines");
        }
        benchmark::DoNotOptimize(read);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ContainerList(benchmark::State &state) {
    print_lines(state.range(0));
    for (auto _ : state) {
        char **names = nullptr;
        const int code = zor_sys_get_container_list(&names);
        long count = 0;
        while (names != nullptr && names[count] != nullptr) {
            ++count;
        }
        if (code != 0 || count != state.range(0)) {
            state.SkipWithError("the listing gave another number of entries");
        }
        zor_sys_release_container_list(names);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark *benchmark) {
    for (const long size : kSizes) {
        benchmark->Arg(size);
    }
}

BENCHMARK(BM_PlainPipeRead)
    ->Apply(sizes)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ContainerList)
    ->Apply(sizes)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Keeps the median time of every run, by benchmark and size, to print per-line figures.
class PerLineReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.aggregate_name != "median") {
                continue;
            }
            const std::string &name = run.run_name.function_name;
            const long size = std::stol(run.run_name.args);
            // Adjusted times are in the benchmark's unit, milliseconds here.
            medians_[{name, size}] = run.GetAdjustedRealTime() * 1e6;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintPerLine() const {
        std::printf("\n%8s %16s %16s %10s %16s\n", "lines", "list ns/line", "plain ns/line",
                    "ratio", "list-plain ns");
        for (const long size : kSizes) {
            const auto list = medians_.find({"BM_ContainerList", size});
            const auto plain = medians_.find({"BM_PlainPipeRead", size});
            if (list == medians_.end() || plain == medians_.end()) {
                continue;
            }
            const double list_per_line = list->second / static_cast<double>(size);
            const double plain_per_line = plain->second / static_cast<double>(size);
            std::printf("%8ld %16.1f %16.1f %10.3f %16.1f\n", size, list_per_line, plain_per_line,
                        list_per_line / plain_per_line, list_per_line - plain_per_line);
        }
        if (medians_.size() != 2 * std::size(kSizes)) {
            return;  // a filtered run: no marginal figures
        }
        // The cost of one more line, free of the fixed cost of starting the tool.
        const auto at = [this](const char *name, long size) { return medians_.at({name, size}); };
        const double span = static_cast<double>(kSizes[2] - kSizes[1]);
        const double list_marginal =
            (at("BM_ContainerList", kSizes[2]) - at("BM_ContainerList", kSizes[1])) / span;
        const double plain_marginal =
            (at("BM_PlainPipeRead", kSizes[2]) - at("BM_PlainPipeRead", kSizes[1])) / span;
        const double small_span = static_cast<double>(kSizes[1] - kSizes[0]);
        const double list_small =
            (at("BM_ContainerList", kSizes[1]) - at("BM_ContainerList", kSizes[0])) / small_span;
        std::printf(
            "\nmarginal ns per line, 10,000 to 100,000 lines: list %.1f, plain %.1f "
            "(ratio %.3f)\n",
            list_marginal, plain_marginal, list_marginal / plain_marginal);
        std::printf(
            "marginal ns per line of the list, 1,000 to 10,000: %.1f; 10,000 to 100,000: "
            "%.1f (ratio %.3f)\n",
            list_small, list_marginal, list_marginal / list_small);
    }

private:
    std::map<std::pair<std::string, long>, double> medians_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    standin::Session session;
    tools = &session;
    PerLineReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintPerLine();
    benchmark::Shutdown();
    tools = nullptr;
    return 0;
}
