#!/usr/bin/env bash
# Builds the benchmark programs in release mode, runs each (every figure beside the baseline
# it is measured against in the same run) and writes the report BENCHMARKS.md.
#
#   scripts/bench-report.sh [machine kind] [report path]
#
# The machine kind names the kind of machine in the report (say "cpp" for the project's
# 2-core build machines); the processor, core count and load are read off the machine itself.
# Run it on an otherwise idle machine: the figures are medians, but noise still shows.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
kind=${1:-unnamed}
report=${2:-$top/BENCHMARKS.md}
build=$top/build-bench
results=$build/results
programs=(kestal_log_bench zorsys_bench zorsys_listing_bench zorsys_escape_bench zorapp_bench
    termination_relay_bench runtime_start_stop_bench)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKESTAL_BUILD_TESTS=ON \
    -DKESTAL_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${programs[@]}" >/dev/null
rm -rf "$results"
mkdir -p "$results"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

run() {
    local program=$1
    shift
    local path
    path=$(find "$build/bench" -type f -name "$program" -perm -u+x | head -n 1)
    printf '== %s\n' "$program" >&2
    "$path" --benchmark_out="$results/$program.json" --benchmark_out_format=json "$@" \
        >"$results/$program.txt"
}

# The log benchmark repeats in random order, so that drifts of the machine fall on the
# baseline and the library alike; the others fix their repetitions in the program.
run kestal_log_bench --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true
run zorsys_bench
run zorsys_listing_bench
run zorsys_escape_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
run zorapp_bench
run termination_relay_bench --benchmark_filter=BM_FacilityBesideBareRelay \
    --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
# The runtime against runc runs real containers, as root only.
if [ "$(id -u)" -eq 0 ] && command -v runc >/dev/null; then
    run runtime_start_stop_bench --benchmark_enable_random_interleaving=true
else
    echo "bench-report: runtime_start_stop_bench skipped: it needs root and runc" >&2
fi

python3 scripts/bench_report.py --results "$results" --kind "$kind" \
    --load-before "$load_before" --load-after "$(cut -d' ' -f1-3 /proc/loadavg)" >"$report"
printf 'wrote %s\n' "$report" >&2
