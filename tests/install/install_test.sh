#!/bin/sh
# Installs the build tree into a temporary prefix and builds an application against the
# installed copy, once with pkg-config and once with find_package.
set -eu
build_dir=$1
source_dir=$2
work=$(mktemp -d /tmp/kestal-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
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
echo "install test: headers, library, soname links, zor-logger, pkg-config and CMake package work"
