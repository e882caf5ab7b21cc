// The console report of a benchmark program that also keeps the median of every benchmark
// (by its function name, with "/ARGS" for one that takes arguments), so that the program can
// print its ratios against the baseline after the usual report.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench_support {

class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.aggregate_name == "median") {
                const auto &name = run.run_name;
                medians_[name.args.empty() ? name.function_name
                                           : name.function_name + "/" + name.args] =
                    run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // True when every named benchmark has reported a median.
    bool has(const std::vector<std::string> &names) const {
        for (const std::string &name : names) {
            if (medians_.count(name) == 0) {
                return false;
            }
        }
        return true;
    }

    // The median real time of benchmark name (in its time unit; 0 when it did not report).
    double median(const std::string &name) const {
        const auto found = medians_.find(name);
        return found == medians_.end() ? 0.0 : found->second;
    }

    // Prints "label: median(measured) / median(baseline)" when both have reported.
    void print_ratio(const char *label, const std::string &measured,
                     const std::string &baseline) const {
        if (has({measured, baseline}) && median(baseline) > 0.0) {
            std::printf("%s: %.4f\n", label, median(measured) / median(baseline));
        }
    }

private:
    std::map<std::string, double> medians_;
};

}  // namespace bench_support
