#!/usr/bin/env bash
# Builds the benchmark programs in release mode, runs each (every figure beside the baseline
# it is measured against in the same run) and writes the report BENCHMARKS.md.
#
#   scripts/bench-report.sh [--only PROGRAM] [machine kind] [report path]
#
# The machine kind names the kind of machine in the report (say "cpp" for the project's
# 2-core build machines); the processor, core count and load are read off the machine itself.
# Run it on an otherwise idle machine: the figures are medians, but noise still shows.
# --only runtime_checkpoint_bench (or runtime_network_migration_bench, termination_relay_bench)
# runs that program alone and replaces its section of the report, leaving the others as they
# are (its section then says when and at what load it ran).
# The runtime's programs need root and runc; the checkpoint and migration programs also a
# working CRIU, found or built once into build/criu by scripts/build-criu.sh
# (ZOR_RUNTIME_CRIU names one).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
only=
if [ "${1:-}" = --only ]; then
    only=${2:?--only needs a program name}
    shift 2
fi
kind=${1:-unnamed}
report=${2:-$top/BENCHMARKS.md}
build=$top/build-bench
results=$build/results
programs=(kestal_log_bench zorsys_bench zorsys_listing_bench zorsys_escape_bench zorapp_bench
    termination_relay_bench runtime_start_stop_bench runtime_checkpoint_bench
    runtime_network_migration_bench)
[ -z "$only" ] || programs=("$only")

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

# The CRIU the runtime drives, for the checkpoint and migration programs; without one they
# measure nothing.
if [ "$(id -u)" -eq 0 ] && [ -z "${ZOR_RUNTIME_CRIU:-}" ] &&
    { [ -z "$only" ] || [ "$only" = runtime_checkpoint_bench ] ||
        [ "$only" = runtime_network_migration_bench ]; }; then
    if criu=$(scripts/build-criu.sh build/criu); then
        export ZOR_RUNTIME_CRIU="$criu"
    fi
fi
root_with_runc() { [ "$(id -u)" -eq 0 ] && command -v runc >/dev/null; }

# The relay pins itself to one CPU; its interleaved rounds and 5 repetitions give the ratio's
# spread.
run_relay() {
    run termination_relay_bench --benchmark_filter=BM_FacilityBesideBareRelay \
        --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
}

if [ -n "$only" ]; then
    case $only in
    termination_relay_bench) run_relay ;;
    *)
        root_with_runc || { echo "bench-report: $only needs root and runc" >&2; exit 1; }
        run "$only" --benchmark_enable_random_interleaving=true
        ;;
    esac
    [ -f "$results/$only.json" ] || { echo "bench-report: $only measured nothing" >&2; exit 1; }
    updated=$(python3 scripts/bench_report.py --results "$results" --kind "$kind" \
        --load-before "$load_before" --load-after "$(cut -d' ' -f1-3 /proc/loadavg)" \
        --only "$only" --update "$report")
    printf '%s\n' "$updated" >"$report"
    printf 'updated the %s section of %s\n' "$only" "$report" >&2
    exit 0
fi

# The log benchmark repeats in random order, so that drifts of the machine fall on the
# baseline and the library alike; the others fix their repetitions in the program.
run kestal_log_bench --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true
run zorsys_bench
run zorsys_listing_bench
run zorsys_escape_bench --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
run zorapp_bench
run_relay
# The runtime against runc runs real containers, as root only.
if root_with_runc; then
    run runtime_start_stop_bench --benchmark_enable_random_interleaving=true
    # They say so and measure nothing (no JSON) without a working CRIU.
    run runtime_checkpoint_bench --benchmark_enable_random_interleaving=true
    run runtime_network_migration_bench
else
    echo "bench-report: the runtime's benchmarks skipped: they need root and runc" >&2
fi

python3 scripts/bench_report.py --results "$results" --kind "$kind" \
    --load-before "$load_before" --load-after "$(cut -d' ' -f1-3 /proc/loadavg)" >"$report"
printf 'wrote %s\n' "$report" >&2
