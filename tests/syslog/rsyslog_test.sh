#!/bin/sh
# The log on a real syslog daemon. Inside a private mount namespace, with a fresh /dev of its
# own, Debian's rsyslogd runs on its own /dev/log with its own configuration, pid file and
# work folder, and routes local5.info and local5.err to two files of the test. Then the
# outcome lines of both client libraries (the log opened by kestal_log_open and by default),
# zor-logger's lines (-t, -i, -p, -f) and lines at and beyond the 1023-character bound must
# arrive whole, each in its file, with the tag and pid they were sent with. The machine's
# own syslog, /dev and /etc are never touched; the daemon is stopped at the end.
#
#   rsyslog_test.sh OUTCOME_LINES ZOR_LOGGER TOOLS_DIR
set -eu

if [ "${1:-}" != --inside ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "skipped: needs root for a private mount namespace" >&2
        exit 77
    fi
    command -v rsyslogd >/dev/null || PATH=$PATH:/usr/sbin
    command -v rsyslogd >/dev/null || { echo "rsyslogd is not installed (apt-get install rsyslog)" >&2; exit 1; }
    if ! unshare --mount true 2>/dev/null; then
        echo "skipped: a private mount namespace is refused here" >&2
        exit 77
    fi
    exec unshare --mount --propagation private -- "$0" --inside "$@"
fi
shift
outcome_lines=$1
zor_logger=$2
tools_dir=$3

work=$(mktemp -d /tmp/kestal-rsyslog-XXXXXX)
daemon=
cleanup() {
    if [ -n "$daemon" ]; then
        kill -TERM "$daemon" 2>/dev/null || true
        wait "$daemon" 2>/dev/null || true
    fi
    # The mounts live only in this namespace; they go before the folder they are in.
    umount -l /dev 2>/dev/null || true
    umount -R -l "$work/dev" 2>/dev/null || true
    [ -n "${KESTAL_KEEP_RSYSLOG_TEST:-}" ] && echo "kept $work" >&2 && return
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "rsyslog test: $*" >&2; exit 1; }

# A /dev of the namespace's own: the few device nodes the programs use, bound in.
mkdir "$work/dev" "$work/spool"
mount -t tmpfs -o mode=755 kestal-dev "$work/dev"
for node in null zero full random urandom tty; do
    [ -e "/dev/$node" ] || continue
    : >"$work/dev/$node"
    mount --bind "/dev/$node" "$work/dev/$node"
done
ln -s /proc/self/fd "$work/dev/fd"
mount --bind "$work/dev" /dev

# The raw message as the sender wrote it, after the tag: rsyslog keeps the blank between
# tag and text in the message. Lines of up to 64k, so that rsyslog's default of 8k is not what
# is being tested, and no rate limit, so that no line is dropped.
cat >"$work/rsyslog.conf" <<CONF
global(workDirectory="$work/spool" maxMessageSize="64k")
module(load="imuxsock" SysSock.Use="off")
input(type="imuxsock" Socket="/dev/log" RateLimit.Interval="0")
template(name="tagged" type="string" string="%syslogtag%%msg:::drop-last-lf%\n")
if \$syslogfacility-text == "local5" and \$syslogseverity-text == "info" then {
    action(type="omfile" file="$work/info.log" template="tagged")
}
if \$syslogfacility-text == "local5" and \$syslogseverity-text == "err" then {
    action(type="omfile" file="$work/err.log" template="tagged")
}
CONF
# The daemon is ended with this script even when the script itself is killed (a timeout).
setpriv --pdeathsig TERM -- rsyslogd -n -f "$work/rsyslog.conf" -i "$work/rsyslogd.pid" \
    >"$work/daemon.log" 2>&1 &
daemon=$!
tries=0
until [ -S /dev/log ]; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || { cat "$work/daemon.log" >&2; fail "rsyslogd made no /dev/log"; }
    kill -0 "$daemon" 2>/dev/null || { cat "$work/daemon.log" >&2; fail "rsyslogd ended"; }
    sleep 0.1
done

# The stand-ins answer from a script: create succeeds, destroy and remove refuse.
cat >"$work/script" <<'SCRIPT'
zor-sys destroy exit=102
zor-sys remove%20--base signal=9
zor-app destroy exit=104
SCRIPT
export PATH="$tools_dir:$PATH" ZOR_STANDIN_SCRIPT="$work/script"
x1023=$(printf '%1023s' '' | tr ' ' x)
a1023=$(printf '%1023s' '' | tr ' ' a)
b1500=$(printf '%1500s' '' | tr ' ' b)

opened=$("$outcome_lines" outcome-test) || fail "a library operation gave another result (opened log)"
default=$("$outcome_lines") || fail "a library operation gave another result (default open)"
program=$(basename "$outcome_lines")
"$zor_logger" -t plain -p local5.info "hello" "world"
logger_pid=$(sh -c 'echo $$; exec "$0" -i -t withpid -p local5.err "with pid"' "$zor_logger")
"$zor_logger" -t levelonly -p info "a level alone is local5"
"$zor_logger" -t formatted -p local5.err -f '[%lvl%] %faci%: %msg%' "through the template"
"$zor_logger" -t elsewhere -p user.err "not local5"
"$zor_logger" -t long -p local5.info "$a1023" "$b1500"

# Every line in its file, in the order sent.
for tag in "outcome-test[$opened]" "$program[$default]"; do
    cat >>"$work/info.expected" <<LINES
$tag: ZOR-SYS-LIB: create: Created system container 'web'.
$tag: ZOR-APP-LIB: create: Created application container 'worker'.
LINES
    cat >>"$work/err.expected" <<LINES
$tag: ZOR-SYS-LIB: destroy: Failed to destroy 'gone'. (ErrNo=-102)
$tag: ZOR-SYS-LIB: remove: Failed to remove base image 'img'. (ErrNo=-137)
$tag: ZOR-APP-LIB: destroy: Failed to destroy 'worker'. (ErrNo=-104)
$tag: $x1023
LINES
done
cat >>"$work/info.expected" <<LINES
plain: hello world
levelonly: a level alone is local5
long: $a1023
long: $(printf '%s' "$b1500" | cut -c1-1023)
LINES
cat >>"$work/err.expected" <<LINES
withpid[$logger_pid]: with pid
formatted: [err] local5: through the template
LINES

# rsyslogd writes as it receives; wait until both files have all their lines, then stop it
# so that everything is flushed.
for kind in info err; do
    want=$(wc -l <"$work/$kind.expected")
    tries=0
    while [ "$(cat "$work/$kind.log" 2>/dev/null | wc -l)" -lt "$want" ] && [ "$tries" -lt 100 ]; do
        tries=$((tries + 1))
        sleep 0.1
    done
done
kill -TERM "$daemon"
wait "$daemon" || true
daemon=
status=0
for kind in info err; do
    touch "$work/$kind.log"
    diff -u "$work/$kind.expected" "$work/$kind.log" >&2 || { echo "rsyslog test: $kind.log differs (above)" >&2; status=1; }
done
[ "$status" -eq 0 ] && echo "rsyslog test: every line arrived whole, in its file, with its tag and pid"
exit "$status"
