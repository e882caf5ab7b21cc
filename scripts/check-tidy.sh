#!/usr/bin/env bash
# Runs clang-tidy with the project's configuration over the library and program sources.
# Needs a build directory with compile_commands.json (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
mapfile -t files < <(git ls-files 'kestal/src/*.cpp' 'logger/*.cpp' 'frame/*.cpp' 'zorsys/src/*.cpp' \
    'zorapp/src/*.cpp' 'tools/*.cpp' 'tools/**/*.cpp' 'runtime/src/*.cpp' 'examples/*.c')
[ "${#files[@]}" -gt 0 ] || exit 0
run-clang-tidy -quiet -p "$build" -j "$(nproc)" "${files[@]}" >/tmp/kestal-tidy.log 2>&1 || {
    grep -E 'error:|warning:' /tmp/kestal-tidy.log | sort -u
    echo "clang-tidy found problems (full log: /tmp/kestal-tidy.log)" >&2
    exit 1
}
echo "clang-tidy: ${#files[@]} files clean"
