#!/bin/sh
# Installs the Debian packages of dist/ with dpkg into a throwaway root and builds the
# out-of-tree consumer against that installation alone: with pkg-config (the search path is
# the root's only) and with CMake (only the root is searched for packages). The client
# libraries link into the container demo the same way, and zor-logger and the runtime's
# tools run from the root (as root with runc and busybox, a container starts there too: runc
# then runs the installed program as its createRuntime hook). With zor-runtime-criu installed
# beside them, the installed tools alone, with no ZOR_RUNTIME_CRIU, checkpoint a counting
# container and restart it, and its count goes back.
#
#   package_install_test.sh DIST_DIR SOURCE_DIR
set -eu
dist=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
consumer=$source_dir/tests/install/consumer
work=$(mktemp -d /tmp/kestal-package-install-XXXXXX)
state=$work/runtime-state
# A container the test started is ended through the installed tools, even after a failure.
cleanup() {
    if [ -d "$state" ]; then
        PATH=$work/root/usr/sbin:$PATH "$source_dir/scripts/clear-runtime-state.sh" "$state" || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package install test: $*" >&2; exit 1; }

root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
set -- "$dist"/libkestal1_*.deb "$dist"/libkestal-dev_*.deb "$dist"/zor-logger_*.deb \
    "$dist"/zor-runtime_*.deb "$dist"/zor-runtime-criu_*.deb
for deb in "$@"; do [ -f "$deb" ] || fail "no $deb (run scripts/package.sh first)"; done
# The root holds only these packages, so the system's (libc6, libstdc++, runc) count as missing;
# a dependency of one of ours on another of ours must be met all the same.
dpkg --root="$root" --force-depends --log=/dev/null -i "$@" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "dpkg -i failed"; }
if grep -E 'depends on (libkestal1|libkestal-dev|zor-logger|zor-runtime|zor-runtime-criu)\b[^;]*; however' "$work/dpkg.log" >&2; then
    fail "our packages do not satisfy each other's dependencies"
fi
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=$root/usr/lib/$multiarch
[ "$(readlink "$libdir/libkestal.so")" = libkestal.so.1 ] || fail "libkestal.so does not point at the soname"

# pkg-config: the root's files alone.
export PKG_CONFIG_LIBDIR="$libdir/pkgconfig" PKG_CONFIG_PATH=
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" "$consumer/consumer.c" \
    $(pkg-config --cflags --libs kestal) || fail "the consumer does not build with pkg-config"
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" | grep -q '^container=' || fail "pkg-config build does not run"
# The demo's sources as examples/CMakeLists.txt lists them, so that a new one is not missed.
demo=$(sed -n '/^add_executable(container-demo/,/)/s/^ *\([a-z_]*\.c\)$/\1/p' \
    "$source_dir/examples/CMakeLists.txt")
[ -n "$demo" ] || fail "no sources of the container demo in examples/CMakeLists.txt"
set --
for source in $demo; do set -- "$@" "$source_dir/examples/$source"; done
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/container-demo" "$@" \
    $(pkg-config --cflags --libs zorsys zorapp kestal) || fail "the client libraries do not link with pkg-config"

# CMake: only the root is searched, not the system's prefixes.
cmake -S "$consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF >"$work/cmake.log" 2>&1 ||
    { cat "$work/cmake.log" >&2; fail "the consumer does not configure with find_package"; }
found=$(sed -n 's/^kestal_DIR:PATH=//p' "$work/consumer-build/CMakeCache.txt")
[ "$found" = "$libdir/cmake/kestal" ] || fail "find_package found kestal at '$found'"
cmake --build "$work/consumer-build" >/dev/null || fail "the consumer does not build with CMake"
LD_LIBRARY_PATH=$libdir "$work/consumer-build/consumer" | grep -q '^container=' ||
    fail "the CMake build does not run"

# zor-logger and the manual pages as installed.
status=0
LD_LIBRARY_PATH=$libdir "$root/usr/bin/zor-logger" -p nosuch 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "installed zor-logger exits with $status for an unknown level"
for page in man1/zor-logger.1.gz man3/kestal.3.gz man3/zorsys.3.gz man3/zorapp.3.gz man3/zor_app_open.3.gz \
    man8/zor-runtime.8.gz man8/zor-sys.8.gz man8/zor-app.8.gz man8/zor-target.8.gz; do
    [ -e "$root/usr/share/man/$page" ] || fail "no $page"
done

# The runtime's tools: links in usr/sbin to the installed program (and nothing else of the
# build folder, such as its pass-through sudo), running from the root on a state of their own.
sbin=$root/usr/sbin
[ -f "$sbin/zor-runtime" ] && [ ! -L "$sbin/zor-runtime" ] || fail "no program usr/sbin/zor-runtime"
for tool in zor-sys zor-app zor-target; do
    [ -L "$sbin/$tool" ] && [ "$(readlink -f "$sbin/$tool")" = "$(readlink -f "$sbin/zor-runtime")" ] ||
        fail "usr/sbin/$tool does not lead to usr/sbin/zor-runtime"
done
[ ! -e "$root/usr/sbin/sudo" ] && [ ! -e "$root/usr/bin/sudo" ] || fail "a sudo was installed"

# The packaged CRIU: apart from Debian's criu and any criu on PATH, recommended by zor-runtime,
# with CRIU's own licence and home.
criu=$root/usr/lib/zor-runtime/criu
[ -f "$criu" ] && [ -x "$criu" ] || fail "no program usr/lib/zor-runtime/criu"
for place in usr/sbin usr/bin sbin bin; do
    [ ! -e "$root/$place/criu" ] || fail "zor-runtime-criu installs $place/criu"
done
dpkg-deb -f "$dist"/zor-runtime_*.deb Recommends | grep -q 'zor-runtime-criu' ||
    fail "zor-runtime does not recommend zor-runtime-criu"
criu_deb=$(echo "$dist"/zor-runtime-criu_*.deb)
[ "$(dpkg-deb -f "$criu_deb" Homepage)" = https://criu.org/ ] || fail "zor-runtime-criu's Homepage"
criu_copyright=$root/usr/share/doc/zor-runtime-criu/copyright
for licence in 'License: GPL-2$' 'License: LGPL-2.1$' '^Upstream-Name: CRIU$'; do
    grep -q "$licence" "$criu_copyright" || fail "zor-runtime-criu's copyright lacks '$licence'"
done
for tool in zor-sys zor-app; do
    out=$(ZOR_RUNTIME_STATE=$state "$sbin/$tool" list) || fail "installed $tool list fails"
    [ -z "$out" ] || fail "installed $tool list on an empty state prints '$out'"
done
# zor-target without its options is refused as a usage fault, naming the option it lacks.
status=0
err=$(ZOR_RUNTIME_STATE=$state "$sbin/zor-target" 2>&1) || status=$?
[ "$status" -eq 101 ] || fail "installed zor-target without options exits with $status"
case "$err" in *-n*) ;; *) fail "installed zor-target's refusal does not name -n: '$err'" ;; esac
if [ "$(id -u)" -eq 0 ] && command -v runc >/dev/null && [ -x /bin/busybox ]; then
    export ZOR_RUNTIME_STATE=$state
    # Loopback only: the container would otherwise make a bridge on this machine's network.
    echo network=none >"$state/package-test.conf"
    "$sbin/zor-sys" create -n package-test -f "$state/package-test.conf" >/dev/null ||
        fail "installed zor-sys cannot create"
    "$sbin/zor-sys" start -n package-test >/dev/null ||
        fail "installed zor-sys cannot start a container (is its hook usr/sbin/zor-runtime?)"
    status=0
    "$sbin/zor-sys" status -n package-test || status=$?
    [ "$status" -eq 1 ] || fail "the container started from the root is not running ($status)"
    "$sbin/zor-sys" stop -n package-test && "$sbin/zor-sys" destroy -n package-test ||
        fail "installed zor-sys cannot stop and destroy its container"
    echo "package install test: a container starts, stops and goes with the installed tools"

    # A counting container, checkpointed and restarted with the CRIU the tools find themselves.
    # The count lives only in the shell's memory: only a restored process brings it back.
    unset ZOR_RUNTIME_CRIU
    printf '%s\n' "command=trap 'exit 0' TERM; i=0; while true; do i=\$((i+1)); echo \$i >/count.new; mv /count.new /count; sleep 0.05; done" \
        network=none >"$work/counter.conf"
    "$sbin/zor-sys" create -n package-counter -f "$work/counter.conf" >/dev/null &&
        "$sbin/zor-sys" start -n package-counter >/dev/null ||
        fail "installed zor-sys cannot start the counting container"
    rootfs=$("$sbin/zor-sys" info -n package-counter | sed -n 's/^ROOTFS //p')
    count() { cat "$rootfs/count" 2>/dev/null || echo 0; }
    # Waits (at most 10 s) until the count is above $1.
    count_above() {
        for _ in $(seq 100); do
            [ "$(count)" -gt "$1" ] && return 0
            sleep 0.1
        done
        fail "the container does not count past $1 (it stands at $(count))"
    }
    count_above 2
    err=$("$sbin/zor-sys" checkpoint -n package-counter -t c1 2>&1) ||
        fail "installed zor-sys cannot checkpoint: $err"
    grep -q "^$criu	" "$state/criu-checks" ||
        fail "the tools did not use usr/lib/zor-runtime/criu: $(cat "$state/criu-checks")"
    at_checkpoint=$(count)
    count_above $((at_checkpoint + 20))
    err=$("$sbin/zor-sys" restart -n package-counter -t c1 2>&1) ||
        fail "installed zor-sys cannot restart from the checkpoint: $err"
    back=$(count)
    [ "$back" -le $((at_checkpoint + 10)) ] ||
        fail "the count did not go back: $at_checkpoint at the checkpoint, $back after the restart"
    count_above "$back"
    "$sbin/zor-sys" stop -n package-counter && "$sbin/zor-sys" destroy -n package-counter ||
        fail "installed zor-sys cannot stop and destroy the restarted container"
    unset ZOR_RUNTIME_STATE
    echo "package install test: the installed tools found usr/lib/zor-runtime/criu themselves; a"
    echo "                      container checkpointed at $at_checkpoint came back at $back and counts on"
else
    echo "package install test: no container started (needs root, runc and /bin/busybox)"
fi
echo "package install test: the packages install into an empty root, and the consumer builds"
echo "                      against it alone with pkg-config and with CMake"
