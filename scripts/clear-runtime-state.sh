#!/bin/sh
# Clears state directories of the runtime: every container in them is resumed, stopped and
# destroyed through the runtime's own tools (which take its runc instance, cgroups and mounts
# along), leftover runc instances are deleted, mounts below the directory undone, and the
# directories removed. The runtime's tools must be first on PATH.
#
#   scripts/clear-runtime-state.sh DIRECTORY...
set -u
for state in "$@"; do
    [ -d "$state" ] || continue
    export ZOR_RUNTIME_STATE="$state"
    for tool in zor-sys zor-app; do
        "$tool" list 2>/dev/null | while IFS= read -r name; do
            for verb in resume stop destroy; do
                "$tool" "$verb" -n "$name" >/dev/null 2>&1 || true
            done
        done
    done
    if [ -d "$state/runc" ]; then
        runc --root "$state/runc" list -q 2>/dev/null | while IFS= read -r id; do
            runc --root "$state/runc" delete --force "$id" >/dev/null 2>&1 || true
        done
    fi
    awk -v top="$state/" 'index($5, top) == 1 { print $5 }' /proc/self/mountinfo | sort -r |
        while IFS= read -r mount; do umount -l "$mount" 2>/dev/null || true; done
    rm -rf "$state"
done
