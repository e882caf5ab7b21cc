#!/usr/bin/env bash
# The network step of the demo (scripts/demo.sh runs it; it runs alone as well, as root, with
# the runtime's tools on PATH and ZOR_RUNTIME_CRIU naming a working CRIU when criu on PATH is
# none): two hosts and a client on one segment, all in network namespaces of the demo's own
# (a switch with a bridge, each host's uplink and the client on it; nothing is sent outside
# them, and no NAT). A container on host A runs an echo server; the client counts over one
# TCP connection to it while the container moves to host B, and goes on counting over the same
# connection after the move. Every namespace, container and state is removed at the end.
set -euo pipefail

work=$(mktemp -d "${TMPDIR:-/tmp}/zor-network-demo-XXXXXX")
ns=zd$$
at() { local where=$1; shift; nsenter --net="/run/netns/$ns-$where" "$@"; }
on() { local host=$1; shift; at "$host" env ZOR_RUNTIME_STATE="$work/$host" "$@"; }
client=
cleanup() {
    [ -n "$client" ] && kill "$client" 2>/dev/null
    on b zor-sys stop -n resident >/dev/null 2>&1 || true
    on b zor-sys destroy -n resident >/dev/null 2>&1 || true
    on a zor-sys stop -n box >/dev/null 2>&1 || true
    on b zor-sys stop -n box >/dev/null 2>&1 || true
    on a zor-sys destroy -n box >/dev/null 2>&1 || true
    on b zor-sys destroy -n box >/dev/null 2>&1 || true
    for n in sw a b client; do ip netns del "$ns-$n" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

for n in sw a b client; do
    ip netns add "$ns-$n"
    ip -n "$ns-$n" link set lo up
done
ip -n "$ns-sw" link add br0 type bridge
ip -n "$ns-sw" link set br0 up
for n in a b client; do
    inside=up0
    [ "$n" = client ] && inside=eth0
    ip link add "$inside" netns "$ns-$n" type veth peer name "p-$n" netns "$ns-sw"
    ip -n "$ns-$n" link set "$inside" up
    ip -n "$ns-sw" link set "p-$n" master br0 up
done
ip -n "$ns-client" address add 10.213.0.250/24 dev eth0
mkdir -m 0700 "$work/a" "$work/b"
printf 'address=10.213.0.1/24\nrange=10.213.0.10-10.213.0.99\nuplink=up0\nnat=no\n' \
    >"$work/a/network.conf"
printf 'address=10.213.0.2/24\nrange=10.213.0.100-10.213.0.199\nuplink=up0\nnat=no\n' \
    >"$work/b/network.conf"
echo "segment: host A 10.213.0.1, host B 10.213.0.2, client 10.213.0.250 (namespaces $ns-*)"
echo "\$ zor-sys trust add ...        # A and B introduced to each other"
on a zor-sys trust show | on b xargs zor-sys trust add
on b zor-sys trust show | on a xargs zor-sys trust add
printf 'command=nc -ll -p 7 -e cat\n' >"$work/echo.conf"
echo "\$ zor-sys create -n box -f echo.conf && zor-sys start -n box     # on host A"
on a zor-sys create -n box -f "$work/echo.conf"
on a zor-sys start -n box
on a zor-sys info -n box | grep -E '^(ADDRESS|MAC) '
# The client: one connection, a number a tenth of a second, each echoed back.
at client bash -c '
    for _ in $(seq 50); do exec 3<>/dev/tcp/10.213.0.10/7 2>/dev/null && break; sleep 0.1; done
    for i in $(seq 1 60); do
        echo "$i" >&3
        read -r -t 30 back <&3 || { echo "client: the connection broke at $i"; exit 1; }
        echo "client: sent $i, echoed $back"
        sleep 0.1
    done' &
client=$!
# Host B's bridge, and with it B's address on the segment, comes with its first container.
echo "\$ zor-sys create -n resident && zor-sys start -n resident     # on host B"
on b zor-sys create -n resident
on b zor-sys start -n resident
sleep 1
echo "\$ zor-target -n box -p 7700     # on host B"
ZOR_TARGET_WAIT=60 on b zor-target -n box -p 7700 &
target=$!
sleep 0.5
echo "\$ zor-sys migrate -n box -d 10.213.0.2 -p 7700     # on host A"
on a zor-sys migrate -n box -d 10.213.0.2 -p 7700
wait "$target"
echo "host B now runs it:"
on b zor-sys info -n box | grep -E '^(STATUS|ADDRESS|MAC) '
status=0
wait "$client" || status=$?
client=
[ "$status" -eq 0 ] && echo "the client counted to 60 over one connection across the move"
exit "$status"
