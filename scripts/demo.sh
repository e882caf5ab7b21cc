#!/usr/bin/env bash
# Builds the demo programs and runs them against the stand-in tools: the container demo
# (every call of libzorsys and libzorapp, step by step, with the outcome lines they log), the
# termination demo (callbacks on the relay thread), then zor-logger and the log line
# template. No syslog daemon and none of the real tools are needed: the log is opened with
# LOG_PERROR, so every line also appears here, and the stand-ins keep their containers in a
# temporary directory that is cleared again at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)

step() { printf '\n######## %s\n' "$*"; }

step "building the demo programs and the stand-in tools"
cmake -S . -B build -DKESTAL_BUILD_TESTS=OFF -DKESTAL_BUILD_BENCHMARKS=OFF \
    -DKESTAL_BUILD_EXAMPLES=ON >/dev/null
cmake --build build -j "$jobs" --target container-demo termination-demo zor-standin zor-logger \
    >/dev/null
export PATH="$top/build/tools/bin:$PATH"

# A machine of the demo's own: the stand-ins' state, and the temporary folder in which the
# container demo makes the receiving machine of its migration.
work=$(mktemp -d "${TMPDIR:-/tmp}/kestal-demo-XXXXXX")
cleanup() {
    "$top/scripts/clear-standin-state.sh" "$work/state" "$work"/tmp/* 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/state" "$work/tmp"
export ZOR_STANDIN_STATE="$work/state" ZOR_STANDIN_SCRIPT=

status=0
step "container demo: system and application containers through libzorsys and libzorapp"
TMPDIR="$work/tmp" build/examples/container-demo || status=$?

step "termination demo: callbacks on the relay thread"
build/examples/termination-demo || status=$?

step "zor-logger and the log line template"
logger=build/logger/zor-logger
show() {
    local arg
    printf '\n$ zor-logger'
    for arg in "$@"; do
        case $arg in
        *[!A-Za-z0-9._-]*) printf " '%s'" "$arg" ;;
        *) printf ' %s' "$arg" ;;
        esac
    done
    printf '\n'
    "$logger" "$@" 2>&1 || printf '(exit status %d)\n' "$?"
}

show -s -t demo "words are joined into one message"
show -s -t demo -p user.warning -f '[%lvl%] %faci%: %msg%' "a template with facility and level"
show -s -i -t demo -f '%time% %host% %prog%[%pid%] <%lvl%> %msg%' "time, host, program and pid"
show -s -t demo -p 16.3 -f '%faci%.%lvl% %msg%' "numeric facility 16 (mail), level 3 (err)"
show -s -t demo -p user.loud "an unknown level is refused"
exit "$status"
