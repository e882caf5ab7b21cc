#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz and runs each for a bounded time, starting from
# its seed corpus. Fails when any target finds a crash, a sanitizer report or a broken
# property; the input that did it is kept in build-fuzz/artifacts.
#
#   scripts/fuzz.sh                  every target for 20 seconds
#   scripts/fuzz.sh 600              every target for 10 minutes
#   scripts/fuzz.sh 60 escape_fuzz   one target for a minute
#
# The seeds are copied to a scratch directory first, so the repository's corpus never
# changes; what a run learns is thrown away with the scratch directory. Targets run side by
# side, as many at a time as there are cores (FUZZ_JOBS overrides that).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

seconds=${1:-20}
shift $(($# > 0 ? 1 : 0))
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    targets=(escape_fuzz template_fuzz container_name_fuzz sys_listing_fuzz app_listing_fuzz
        pid_list_fuzz priority_fuzz)
fi
jobs=${FUZZ_JOBS:-$(nproc)}
build=build-fuzz
artifacts=$top/$build/artifacts

# The longest input worth trying for each target: past the 1023-character bounds, with room
# for a few cut lines in the listings.
max_len() {
    case $1 in
    escape_fuzz) echo 2100 ;;
    template_fuzz) echo 4096 ;;
    container_name_fuzz) echo 600 ;;
    sys_listing_fuzz | app_listing_fuzz) echo 4200 ;;
    pid_list_fuzz) echo 2600 ;;
    priority_fuzz) echo 64 ;;
    *) echo 4096 ;;
    esac
}

CC=clang CXX=clang++ cmake -S . -B "$build" -DKESTAL_FUZZ=ON -DKESTAL_WERROR=ON \
    -DKESTAL_BUILD_TESTS=OFF -DKESTAL_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$artifacts"

run_target() {
    local target=$1
    local corpus=$scratch/$target
    mkdir -p "$corpus"
    cp -R "fuzz/corpus/$target/." "$corpus/"
    local dict=()
    [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
    # The fuzzer's own leak check runs after every input; a hang of 10 s counts as a fault.
    "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$(max_len "$target")" \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "${dict[@]}" "$corpus" >"$scratch/$target.log" 2>&1
}

failed=()
running=0
pids=()
names=()
for target in "${targets[@]}"; do
    run_target "$target" &
    pids+=($!)
    names+=("$target")
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
for index in "${!pids[@]}"; do
    target=${names[$index]}
    if wait "${pids[$index]}"; then
        status=ok
    else
        status=FAILED
        failed+=("$target")
    fi
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$target.log" |
        grep -o '[0-9]*$' || echo '?')
    speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$scratch/$target.log" |
        grep -o '[0-9]*$' || echo '?')
    printf '%-22s %-7s %10s runs %8s exec/s\n' "$target" "$status" "$runs" "$speed"
    if [ "$status" = FAILED ]; then
        tail -n 40 "$scratch/$target.log" >&2
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in $artifacts)" >&2
    exit 1
fi
echo "fuzzing: ${#targets[@]} targets, ${seconds} s each, no fault found"
