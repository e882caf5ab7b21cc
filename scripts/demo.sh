#!/usr/bin/env bash
# Builds the demo programs and the runtime and runs them: the container demo (every call of
# libzorsys and libzorapp, step by step, on real containers run by runc, with what the kernel
# says of them and the outcome lines the libraries log; a counting container checkpointed,
# restarted from its checkpoint and moved to a second machine, with CRIU), the termination
# demo (callbacks on the relay thread), then zor-logger and the log line template. The
# container demo needs root (containers, cgroups, mounts); run as root, the script installs the
# Debian packages it needs when they are missing (compilers, CMake, runc, busybox-static, ...:
# the groups build and runtime of scripts/dependencies.sh), and a working CRIU is found or
# built once into build/criu by scripts/build-criu.sh (ZOR_RUNTIME_CRIU, when set, names one
# to use instead). Then
# inside-demo runs as the main process of a container of base image host, and stop makes its
# SIGTERM callback log a line, shown here with the container's name. The log
# is opened with LOG_PERROR, so every line also appears here; the runtime keeps its
# containers in a temporary state directory that is cleared again at the end.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)

step() { printf '\n######## %s\n' "$*"; }

# The compilers and libraries (group build of scripts/dependencies.sh) and what containers need
# (group runtime), installed when missing; without root nothing is installed.
# shellcheck source=scripts/dependencies.sh
. "$top/scripts/dependencies.sh"
step "Debian packages the demo needs"
# As root the missing ones are installed; without root they are only named.
install_dependencies build runtime || [ "$(id -u)" -ne 0 ]
export PATH="$PATH:/usr/sbin:/sbin"

step "building the demo programs and the runtime"
cmake -S . -B build -DKESTAL_BUILD_TESTS=OFF -DKESTAL_BUILD_BENCHMARKS=OFF \
    -DKESTAL_BUILD_EXAMPLES=ON >/dev/null
cmake --build build -j "$jobs" --target container-demo termination-demo inside-demo zor-runtime \
    zor-logger \
    >/dev/null
export PATH="$top/build/runtime/bin:$PATH"

# The CRIU the runtime drives for checkpoints and migration. Without one the demo shows the
# runtime's refusals instead.
if [ "$(id -u)" -eq 0 ]; then
    if [ -n "${ZOR_RUNTIME_CRIU:-}" ]; then
        step "CRIU: ZOR_RUNTIME_CRIU=$ZOR_RUNTIME_CRIU, as given"
    else
        step "finding or building a working CRIU (scripts/build-criu.sh build/criu)"
        if criu=$("$top/scripts/build-criu.sh" "$top/build/criu"); then
            export ZOR_RUNTIME_CRIU="$criu"
            echo "CRIU: $criu ($("$criu" --version 2>/dev/null | head -n 1))"
        else
            echo "NO WORKING CRIU could be had (see the line above): the demo shows that the"
            echo "runtime refuses checkpoints, restarts and migration with status 108 (-108)"
        fi
    fi
fi

# A machine of the demo's own: the runtime's state, and a temporary folder for the demo, in
# which the container demo makes the second machine that its migration goes to.
work=$(mktemp -d "${TMPDIR:-/tmp}/kestal-demo-XXXXXX")
# The demo's containers get addresses on the runtime's default bridge (zor0, with an nft table
# of its own); what the demo made of it goes again at the end, and a bridge that was there
# before stays.
bridge_before=0
ip link show zor0 >/dev/null 2>&1 && bridge_before=1
cleanup() {
    "$top/scripts/clear-runtime-state.sh" "$work/state" "$work"/tmp/demo-receiver-* \
        2>/dev/null || true
    if [ "$bridge_before" -eq 0 ] && [ "$(id -u)" -eq 0 ]; then
        nft delete table ip zor_zor0 2>/dev/null || true
        ip link del zor0 2>/dev/null || true
    fi
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

# inside-demo in container demo-inside.1: it logs with "%cont% %prog%[%pid%]: %msg%" and keeps
# a copy of its lines in /inside-demo.log of its root filesystem, where the host reads them.
inside_demo() {
    local name=demo-inside.1 rootfs lines
    printf 'command=LD_LIBRARY_PATH=/opt/inside exec /opt/inside/inside-demo /inside-demo.log\n' \
        >"$work/inside.conf"
    echo "\$ zor-sys create -n $name -b host -f inside.conf"
    zor-sys create -n "$name" -b host -f "$work/inside.conf"
    rootfs=$(zor-sys info -n "$name" | sed -n 's/^ROOTFS //p')
    echo "putting inside-demo and libkestal under ROOTFS $rootfs/opt/inside"
    mkdir -p "$rootfs/opt/inside"
    cp build/examples/inside-demo "$rootfs/opt/inside/"
    cp -L build/kestal/libkestal.so.1 "$rootfs/opt/inside/"
    echo "\$ zor-sys start -n $name"
    zor-sys start -n "$name"
    for _ in $(seq 100); do
        [ -s "$rootfs/inside-demo.log" ] && break
        sleep 0.1
    done
    echo "\$ zor-sys stop -n $name     # SIGTERM to the main process"
    zor-sys stop -n "$name"
    echo "the lines inside-demo logged inside the container:"
    lines=$(cat "$rootfs/inside-demo.log" 2>/dev/null || true)
    sed 's/^/    /' <<<"$lines"
    zor-sys destroy -n "$name"
    grep -q "^$name inside-demo\[1\]: SIGTERM" <<<"$lines"
}

step "inside a container: a program that knows its container and ends on its own under stop"
if [ "$(id -u)" -ne 0 ]; then
    echo "this step runs a real container and needs root: run this script as root"
    status=1
else
    inside_demo || status=1
fi

# Containers on a network, a step of its own (scripts/demo-network.sh): two hosts and a client
# in network namespaces of the demo's own; the client counts over one TCP connection while the
# container moves from host A to host B.
step "containers on a network: a client counts over one connection across a migration"
if [ "$(id -u)" -ne 0 ]; then
    echo "this step runs real containers and needs root: run this script as root"
    status=1
elif [ -z "${ZOR_RUNTIME_CRIU:-}" ] && ! command -v criu >/dev/null; then
    echo "this step moves a container and needs CRIU"
else
    TMPDIR="$work/tmp" "$top/scripts/demo-network.sh" || status=1
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
