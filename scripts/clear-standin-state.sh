#!/bin/sh
# Clears state directories of the stand-in tools: every container in them is resumed, stopped
# and destroyed through the tools themselves, so that no main process is left running, and
# the directories are removed. The stand-ins must be first on PATH.
#
#   scripts/clear-standin-state.sh DIRECTORY...
set -u
for state in "$@"; do
    [ -d "$state" ] || continue
    export ZOR_STANDIN_STATE="$state" ZOR_STANDIN_SCRIPT=
    for tool in zor-sys zor-app; do
        "$tool" list 2>/dev/null | while IFS= read -r name; do
            for verb in resume stop destroy; do
                "$tool" "$verb" -n "$name" >/dev/null 2>&1 || true
            done
        done
    done
    rm -rf "$state"
done
