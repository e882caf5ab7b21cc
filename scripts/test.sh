#!/usr/bin/env bash
# Builds and runs every test: formatting, the warning-free g++ build with its full suite and
# static analysis, and the suite again built by clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, and under ThreadSanitizer, then a short run of every fuzz target.
# Between them the Debian packages are built, checked by lintian and installed into a
# throwaway root that an application then builds against.
#
#   scripts/test.sh            everything
#   scripts/test.sh --quick    the plain build and its suite only
#
# Run as root (as on a fresh machine and in CI) it first installs the Debian packages of the
# groups build, runtime, test and package of scripts/dependencies.sh that are missing;
# building CRIU installs group criu. Without root nothing is installed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)
quick=0
[ "${1:-}" = --quick ] && quick=1

step() { printf '\n== %s\n' "$*"; }

# shellcheck source=scripts/dependencies.sh
. "$top/scripts/dependencies.sh"
step "Debian packages the build and the tests need"
# As root the missing ones are installed; without root they are only named.
install_dependencies build runtime test package || [ "$(id -u)" -ne 0 ]
# runc, iptables and rsyslogd live in /usr/sbin, which a user's PATH may lack.
export PATH="$PATH:/usr/sbin:/sbin"

run_suite() {
    local dir=$1
    shift
    # Tests on explicitly: scripts/demo.sh configures the same build folder without them.
    cmake -S . -B "$dir" -DKESTAL_WERROR=ON -DKESTAL_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

# The checkpoint tests need a CRIU that works on this kernel: found, or built once into
# build/criu. As root (as in CI) it must be had, and every suite must run those tests rather
# than skip them; without root they are skipped with the rest of the runtime's tests.
if [ "$(id -u)" -eq 0 ]; then
    step "CRIU for the checkpoint tests"
    ZOR_RUNTIME_CRIU=$(scripts/build-criu.sh build/criu)
    export ZOR_RUNTIME_CRIU ZOR_REQUIRE_CRIU=1
    echo "using $ZOR_RUNTIME_CRIU"
fi

# The tests make their containers' networks in namespaces of their own: the runtime's default
# bridge appearing on this machine's network means a test touched what it must not.
bridge_before=0
ip link show zor0 >/dev/null 2>&1 && bridge_before=1

if [ "$quick" -eq 0 ]; then
    step "formatting"
    scripts/check-format.sh
fi

step "build and test (RelWithDebInfo, warnings as errors)"
run_suite build -DKESTAL_BUILD_BENCHMARKS=ON

if [ "$quick" -eq 0 ]; then
    step "static analysis"
    scripts/check-tidy.sh build
fi

if [ "$quick" -eq 0 ]; then
    # The packages are built from the tree as it is, checked by lintian (errors fail), and
    # installed into a throwaway root that the out-of-tree consumer then builds against.
    step "Debian packages: build, lintian, install into a throwaway root"
    scripts/package.sh
    tests/install/package_install_test.sh dist .
fi

if [ "$quick" -eq 0 ]; then
    # clang here, so that both compilers build the tree warning-free on every run.
    step "build and test with clang under AddressSanitizer and UndefinedBehaviorSanitizer"
    CC=clang CXX=clang++ ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTAL_SANITIZE=address,undefined \
        -DKESTAL_BUILD_BENCHMARKS=OFF
fi

if [ "$quick" -eq 0 ]; then
    # Forked children of the multithreaded test programs start threads of their own, which
    # ThreadSanitizer must be told to allow.
    step "build and test under ThreadSanitizer"
    TSAN_OPTIONS=die_after_fork=0:halt_on_error=1:second_deadlock_stack=1 \
        run_suite build-tsan -DKESTAL_SANITIZE=thread -DKESTAL_BUILD_BENCHMARKS=OFF
fi

if [ "$quick" -eq 0 ]; then
    # A bounded run from the seed corpora; scripts/fuzz.sh 600 fuzzes for longer.
    step "fuzzing (libFuzzer with AddressSanitizer and UndefinedBehaviorSanitizer)"
    scripts/fuzz.sh 20
fi

if [ "$bridge_before" -eq 0 ] && ip link show zor0 >/dev/null 2>&1; then
    echo "the tests left the bridge zor0 on this machine's network (a test ran containers" >&2
    echo "outside a network namespace of its own)" >&2
    exit 1
fi
