#!/bin/sh
# The manual pages render without a single groff warning, and each library's page lists every
# function its header declares (so none can go without its entry). That the runtime's page has
# an entry for every verb and option of its verb table is RuntimeVerbTable's to check
# (tests/runtime/verb_table_test.cpp), since only a program can read the table.
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
exit $status
