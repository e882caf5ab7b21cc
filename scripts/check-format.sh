#!/usr/bin/env bash
# Fails when a C or C++ source of the project is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.h' '*.cpp' '*.hpp')
if [ "${#files[@]}" -eq 0 ]; then
    exit 0
fi
clang-format --dry-run --Werror "${files[@]}"
echo "formatting: ${#files[@]} files clean"
