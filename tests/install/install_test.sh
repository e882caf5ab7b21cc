#!/bin/sh
# Installs the build tree into a temporary prefix and builds an application against the
# installed copy, once with pkg-config and once with find_package; then builds the demo
# programs of examples/ out of tree the same two ways and runs the container demo against
# the build tree's runtime (as root, with runc; else that part is skipped and says so).
set -eu
build_dir=$1
source_dir=$2
examples_dir=$source_dir/../../examples
work=$(mktemp -d /tmp/kestal-install-XXXXXX)
# The demos' containers are ended through the runtime, so that no container outlives a failed
# run.
cleanup() {
    PATH=$build_dir/runtime/bin:$PATH "$source_dir/../../scripts/clear-runtime-state.sh" \
        "$work"/state-* 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$prefix/lib
[ -d "$prefix/lib64" ] && libdir=$prefix/lib64

fail() { echo "install test: $*" >&2; exit 1; }
[ -f "$prefix/include/kestal.h" ] || fail "kestal.h not installed"
[ "$(readlink "$libdir/libkestal.so")" = libkestal.so.1 ] || fail "libkestal.so does not point at the soname"
[ -f "$libdir/libkestal.so.1" ] || fail "no libkestal.so.1"
soname=$(objdump -p "$libdir/libkestal.so.1" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libkestal.so.1 ] || fail "soname is '$soname'"
[ -x "$prefix/bin/zor-logger" ] || fail "zor-logger not installed"
[ -f "$prefix/share/man/man1/zor-logger.1" ] || fail "zor-logger's manual page not installed"
objdump -p "$prefix/bin/zor-logger" | grep -q 'NEEDED *libkestal\.so\.1$' ||
    fail "zor-logger does not link libkestal.so.1"
# The installed program finds the installed library by its run path.
status=0
"$prefix/bin/zor-logger" -p nosuch 2>/dev/null || status=$?
[ "$status" -eq 1 ] || fail "installed zor-logger exits with $status for an unknown level"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/consumer-pc" "$source_dir/consumer/consumer.c" \
    $(pkg-config --cflags --libs kestal)
LD_LIBRARY_PATH=$libdir "$work/consumer-pc" | grep -q '^container=' || fail "pkg-config build does not run"

cmake -S "$source_dir/consumer" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer-build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/consumer-build/consumer" | grep -q '^container=' ||
    fail "find_package build does not run"

# The client libraries: static archives and headers, and packages that bring libkestal and
# the C++ runtime along, so that a plain C program links with either.
for client in zorsys zorapp; do
    [ -f "$prefix/include/$client.h" ] || fail "$client.h not installed"
    [ -f "$libdir/lib$client.a" ] || fail "lib$client.a not installed"
    [ -f "$libdir/pkgconfig/$client.pc" ] || fail "$client.pc not installed"
    libs=$(pkg-config --libs "$client")
    case " $libs " in
    *" -l$client "*" -lkestal "*) ;;
    *) fail "pkg-config --libs $client gives '$libs'" ;;
    esac
    case " $libs " in
    *" -lstdc++ "*) ;;
    *) fail "pkg-config --libs $client does not bring the C++ runtime: '$libs'" ;;
    esac
done

# The container demo, its sources read from examples/CMakeLists.txt, so that a new one is not
# missed.
demo_sources=$(sed -n '/^add_executable(container-demo/,/)/s/^ *\([a-z_]*\.c\)$/\1/p' \
    "$examples_dir/CMakeLists.txt")
[ -n "$demo_sources" ] || fail "no sources of the container demo in examples/CMakeLists.txt"
set --
for source in $demo_sources; do
    set -- "$@" "$examples_dir/$source"
done
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/container-demo-pc" "$@" \
    $(pkg-config --cflags --libs zorsys zorapp kestal) || fail "container demo does not build with pkg-config"
# shellcheck disable=SC2046
cc -std=c11 -Wall -Wextra -Werror -o "$work/termination-demo-pc" "$examples_dir/termination_demo.c" \
    $(pkg-config --cflags --libs kestal) || fail "termination demo does not build with pkg-config"

cmake -S "$examples_dir" -B "$work/examples-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null ||
    fail "examples/ does not configure against the installed copy"
cmake --build "$work/examples-build" >/dev/null || fail "examples/ does not build against the installed copy"

# Each container demo runs in a fresh state directory of the runtime; LOG_PERROR output and
# the steps go to a log that is shown when a run fails.
run_demo() {
    demo=$1
    if [ "$(id -u)" -ne 0 ] || ! command -v runc >/dev/null; then
        echo "install test: SKIPPED running $demo: real containers need root and runc" >&2
        return 0
    fi
    state=$(mktemp -d "$work/state-XXXXXX")
    mkdir -p "$work/tmp"
    status=0
    # In a network namespace of its own, with its loopback up for the migration over
    # 127.0.0.1: the demo's containers get a bridge and nft rules, which are not the
    # machine's to keep.
    PATH=$build_dir/runtime/bin:$PATH ZOR_RUNTIME_STATE=$state \
        TMPDIR=$work/tmp LD_LIBRARY_PATH=$libdir \
        unshare --net sh -c 'ip link set lo up && exec "$0"' "$demo" >"$work/demo.log" 2>&1 ||
        status=$?
    if [ "$status" -ne 0 ]; then
        cat "$work/demo.log" >&2
        fail "$demo exits with $status"
    fi
}
run_demo "$work/container-demo-pc"
run_demo "$work/examples-build/container-demo"
LD_LIBRARY_PATH=$libdir "$work/termination-demo-pc" >/dev/null || fail "termination demo (pkg-config) fails"
LD_LIBRARY_PATH=$libdir "$work/examples-build/termination-demo" >/dev/null ||
    fail "termination demo (find_package) fails"
echo "install test: headers, libraries, soname links, zor-logger, pkg-config and CMake packages,"
echo "              and the demos built out of tree against the installed copy, work"
