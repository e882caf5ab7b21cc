#!/usr/bin/env bash
# Builds the project and shows zor-logger and the log line template at work. No syslog
# daemon is needed: -s prints every record on standard error as well.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
cmake -S . -B build -DKESTAL_BUILD_TESTS=OFF -DKESTAL_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target zor-logger >/dev/null
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
