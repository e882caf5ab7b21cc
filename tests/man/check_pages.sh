#!/bin/sh
# The manual pages render without a single groff warning, each library's page lists every
# function its header declares, and the runtime's page has an entry for every verb and names
# every option the runtime accepts (so neither can go without its entry).
set -eu
top=$1
status=0
for page in "$top"/man/*.3 "$top"/logger/zor-logger.1 "$top"/runtime/man/*.8; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page: $warnings" >&2
        status=1
    fi
done
for library in kestal zorsys zorapp; do
    header=$(find "$top/$library/include" -name "$library.h")
    functions=$(sed -n 's/^[A-Z_]*_API [^(]*[ *]\([a-z_]*\)(.*/\1/p' "$header")
    [ -n "$functions" ] || { echo "no functions found in $header" >&2; exit 1; }
    for function in $functions; do
        grep -q "$function(" "$top/man/$library.3" ||
            { echo "$library.3 does not list $function()" >&2; status=1; }
    done
done
page=$top/runtime/man/zor-runtime.8
main=$top/runtime/src/main.cpp
verbs=$(grep -o -e '{"[a-z]*", zor::' -e 'verb == "[a-z]*"' "$main" | cut -d'"' -f2 | sort -u)
[ "$(echo "$verbs" | wc -l)" -ge 20 ] || { echo "too few verbs found in $main" >&2; exit 1; }
# The entries' tags: the line after each .TP or .TQ.
tags=$(awk 'tag { print; tag = 0 } /^\.T[PQ]/ { tag = 1 }' "$page" | sed 's/\\-/-/g')
for verb in $verbs; do
    echo "$tags" | grep -qE "(^|[^a-z-])$verb([^a-z-]|\$)" ||
        { echo "zor-runtime.8 has no entry for the verb $verb" >&2; status=1; }
done
options=$(grep -ho '{"-[-a-z]*", \(true\|false\)}' "$top"/runtime/src/*.cpp | cut -d'"' -f2 | sort -u)
[ -n "$options" ] || { echo "no options found in $top/runtime/src" >&2; exit 1; }
for option in $options; do
    echo "$tags" | grep -qE -- "(^|[^a-z-])$option([^a-z]|\$)" ||
        { echo "zor-runtime.8 has no entry that shows the option $option" >&2; status=1; }
done
exit $status
