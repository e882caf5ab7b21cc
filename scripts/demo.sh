#!/usr/bin/env bash
# Builds the demo programs and the runtime and runs them: the container demo (every call of
# libzorsys and libzorapp, step by step, on real containers run by runc, with what the kernel
# says of them and the outcome lines the libraries log), the termination demo (callbacks on
# the relay thread), then zor-logger and the log line template. The container demo needs root
# (containers, cgroups, mounts); runc and busybox-static are installed when missing. The log
# is opened with LOG_PERROR, so every line also appears here; the runtime keeps its
# containers in a temporary state directory that is cleared again at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)

step() { printf '\n######## %s\n' "$*"; }

if [ "$(id -u)" -eq 0 ]; then
    missing=()
    command -v runc >/dev/null || [ -x /usr/sbin/runc ] || missing+=(runc)
    dpkg -s busybox-static >/dev/null 2>&1 || missing+=(busybox-static)
    [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
    if [ "${#missing[@]}" -gt 0 ]; then
        step "installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
fi
export PATH="$PATH:/usr/sbin:/sbin"

step "building the demo programs and the runtime"
cmake -S . -B build -DKESTAL_BUILD_TESTS=OFF -DKESTAL_BUILD_BENCHMARKS=OFF \
    -DKESTAL_BUILD_EXAMPLES=ON >/dev/null
cmake --build build -j "$jobs" --target container-demo termination-demo zor-runtime zor-logger \
    >/dev/null
export PATH="$top/build/runtime/bin:$PATH"

# A machine of the demo's own: the runtime's state, and a temporary folder for the demo.
work=$(mktemp -d "${TMPDIR:-/tmp}/kestal-demo-XXXXXX")
cleanup() {
    "$top/scripts/clear-runtime-state.sh" "$work/state" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/state" "$work/tmp"
export ZOR_RUNTIME_STATE="$work/state"

status=0
step "container demo: system and application containers through libzorsys and libzorapp"
if [ "$(id -u)" -ne 0 ]; then
    echo "the container demo runs real containers and needs root: run this script as root"
    status=1
else
    TMPDIR="$work/tmp" build/examples/container-demo || status=$?
fi

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
