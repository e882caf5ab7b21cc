// What libzorapp adds to reading a listing: zor_app_get_registered_pid_list against a bare
// popen, fgets and sscanf loop that builds the same pairs from the same command, once through
// the stand-in tools and once with the output served in-process (so that only the reading
// and parsing are compared). The ratios are printed after the run.
#include <zorapp.h>

#include "shell_interceptor.hpp"
#include "standin_harness.hpp"
#include "median_reporter.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

char kName[] = "web-01";
constexpr char kCommand[] = "sudo zor-app pidlist -n web-01";
constexpr int kLines = 500;

std::string pid_output() {
    std::string output = "PID,VPID\n";
    for (int i = 0; i < kLines; ++i) {
        output += std::to_string(10000 + i) + "," + std::to_string(i + 1) + "\n";
    }
    return output;
}

// The plain way to the same list: one pair per parsed line, a growing array of pointers.
std::size_t bare_read() {
    std::vector<zor_app_pid_pair *> pairs;
    std::FILE *stream = popen(kCommand, "r");
    if (stream == nullptr) {
        return 0;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, stream) != nullptr) {
        zor_app_pid_pair pair{};
        if (std::sscanf(line, "%d,%d", &pair.pid, &pair.vpid) == 2) {
            auto *block = static_cast<zor_app_pid_pair *>(std::malloc(sizeof pair));
            *block = pair;
            pairs.push_back(block);
        }
    }
    pclose(stream);
    for (zor_app_pid_pair *pair : pairs) {
        std::free(pair);
    }
    return pairs.size();
}

std::size_t library_read() {
    zor_app_handle handle{1, kName};
    zor_app_pid_pair **list = nullptr;
    std::size_t count = 0;
    if (zor_app_get_registered_pid_list(&handle, &list) == 0 && list != nullptr) {
        while (list[count] != nullptr) {
            ++count;
        }
        zor_app_release_registered_pid_list(list);
    }
    return count;
}

void check(benchmark::State &state, std::size_t count) {
    if (count != kLines) {
        state.SkipWithError("the list does not hold every pair");
    }
}

void BM_BareThroughTools(benchmark::State &state) {
    client_test::reset_shell();
    for (auto _ : state) {
        check(state, bare_read());
    }
}

void BM_ZorAppThroughTools(benchmark::State &state) {
    client_test::reset_shell();
    for (auto _ : state) {
        check(state, library_read());
    }
}

void BM_BareInProcess(benchmark::State &state) {
    client_test::fake_shell(0, pid_output());
    for (auto _ : state) {
        check(state, bare_read());
    }
    client_test::reset_shell();
}

void BM_ZorAppInProcess(benchmark::State &state) {
    client_test::fake_shell(0, pid_output());
    for (auto _ : state) {
        check(state, library_read());
    }
    client_test::reset_shell();
}

BENCHMARK(BM_BareThroughTools)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ZorAppThroughTools)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_BareInProcess)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ZorAppInProcess)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    standin::Session tools;
    tools.script("zor-app", "pidlist", standin::prints(pid_output()));
    bench_support::MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    reporter.print_ratio("registered-pid list / bare loop, through the tools",
                         "BM_ZorAppThroughTools", "BM_BareThroughTools");
    reporter.print_ratio("registered-pid list / bare loop, in process", "BM_ZorAppInProcess",
                         "BM_BareInProcess");
    benchmark::Shutdown();
    return 0;
}
