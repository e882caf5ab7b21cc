#!/usr/bin/env bash
# Finds or builds a CRIU that works on this kernel and prints the path of its binary (the only
# line on standard output; progress goes to standard error), so that callers can write
#
#   CRIU=$(scripts/build-criu.sh [BUILD_DIR])     # BUILD_DIR defaults to build/criu
#   TREE=$(scripts/build-criu.sh --source DEST [BUILD_DIR])
#
# The second form only fetches (or reuses) the tarball as in step 3 below, unpacks it into the
# new folder DEST, patches it and prints DEST: scripts/package.sh builds the zor-runtime-criu
# package from it, so that the package carries the same CRIU as the build tree.
#
# 1. A `criu` on PATH that passes `criu check` is used as it is.
# 2. Otherwise a CRIU built earlier into BUILD_DIR/bin/criu is reused if it passes `criu check`.
# 3. Otherwise CRIU is built once into BUILD_DIR from the upstream tarball that Debian's source
#    package carries (suite CRIU_SUITE, default trixie: criu_4.1.1.orig.tar.xz), fetched with
#    apt-get through a private sources list, package lists and cache below BUILD_DIR/apt: the
#    machine's own apt configuration is neither read for the fetch nor changed. CRIU_TARBALL=FILE
#    builds from a tarball at hand instead (no fetch). The tarball's SHA-256 is checked against
#    the signed Sources index. Before a build the missing build packages (group criu of
#    scripts/dependencies.sh, with iptables, which CRIU runs to lock the network during a dump)
#    are installed with apt-get.
# Exit status 0 with the path printed, or 1 with one line "build-criu: ..." saying why no
# working CRIU can be had. Needs root: `criu check` probes the kernel as root (--source does
# not, as long as the tarball is at hand).
#
# Why not Debian 12's criu: 3.17 fails `criu check` on recent kernels ("Failed to fill self vdso
# symtable"); 4.1 knows their vDSO layout. 4.1.1 also needs the small patch below on kernels that
# refuse SO_PASSCRED/SO_PASSSEC on inet sockets (6.18 here): without it any container holding a
# TCP or UDP socket cannot be dumped ("Can't get 1:16 opt: Operation not supported"). Upstream
# 4.2 makes the same change; the patch is skipped when the source already has it.
#
# What the runtime needs to know to drive checkpoints through runc 1.1.5 with this CRIU:
# - Invocations (paths absolute: runc resolves relative ones against the bundle):
#     runc --root ROOT --criu CRIU checkpoint [--leave-running] --tcp-established \
#          --image-path IMG --work-path WORK ID
#     runc --root ROOT --criu CRIU restore -d --tcp-established --image-path IMG \
#          --work-path WORK -b BUNDLE ID </dev/null >/dev/null 2>&1
#   dump.log / restore.log land in WORK. Default --manage-cgroups-mode (soft) is right.
#   --tcp-established and --file-locks are harmless without sockets or locks and required
#   with them (otherwise the dump fails: "consider using --tcp-established", "Some file
#   locks are hold").
# - Standard streams must be /dev/null (or pipes handed back with inherit-fd); a host file as
#   stdout/stderr makes the dump fail ("Can't lookup mount=... for fd=1").
# - runc always restores the network namespace empty (it passes empty-ns net): loopback comes
#   back DOWN and TCP over 127.0.0.1 cannot reconnect ("Network is unreachable"). An OCI
#   prestart hook in config.json runs during restore (CRIU's setup-namespaces step) with the
#   new init's pid on stdin, so it can bring loopback up in time:
#     "hooks": {"prestart": [{"path": "/bin/sh", "args": ["sh", "-c",
#       "pid=$(sed -n 's/.*\"pid\":\\([0-9]*\\).*/\\1/p');
#        exec nsenter -t \"$pid\" -n ip link set lo up"]}]}      (one string in config.json)
# - Open files in the root filesystem must have the size they had at the dump ("File X has bad
#   size"): keep the rootfs changes at the moment of the dump and put them back before restore.
#   `runc pause` + checkpoint --leave-running + copy + `runc resume` does that (CRIU leaves the
#   frozen container frozen). The same order suits migration: on failure the sender only
#   resumes; on success it runs `runc delete -f`. Open files may move to another bundle path.
# - Limits set with `runc update` are not restored (any cgroup mode); runc applies the bundle's
#   config.json resources on restore, so keep the current limits in config.json.
# - Restore may use another bundle path, container ID, runc root and cgroupsPath. Two instances
#   with the same cgroupsPath share one cgroup (runc only warns): give each its own path.
# - Left behind: after a dump that stops the container (no --leave-running) CRIU keeps its
#   network lock (chain CRIU, jumped to from INPUT and OUTPUT, IPv4 and IPv6) in the container's
#   network namespace. That namespace dies with the container unless it is a kept one (a
#   namespace path in config.json); then a local restore clears it, otherwise clear it with
#     for t in iptables ip6tables; do nsenter --net=NS $t -w -D INPUT -j CRIU
#       nsenter --net=NS $t -w -D OUTPUT -j CRIU; nsenter --net=NS $t -w -F CRIU
#       nsenter --net=NS $t -w -X CRIU; done
#   The host's own tables, mounts and processes are untouched; a failed dump thaws the container
#   and a failed restore leaves no cgroup or process (runc removes them). runc delete leaves
#   the parent directories of cgroupsPath: rmdir them. Where /run is not a tmpfs CRIU leaves
#   an empty /run/criu.kdat.tmp (its kernel-feature cache; harmless, may be removed).
set -euo pipefail
say() { printf 'build-criu: %s\n' "$*" >&2; }
fail() {
    say "$*"
    exit 1
}

top=$(cd "$(dirname "$0")/.." && pwd)
source_only=
if [ "${1:-}" = --source ]; then
    [ -n "${2:-}" ] || fail "usage: build-criu.sh --source DEST [BUILD_DIR]"
    [ ! -e "$2" ] || fail "cannot unpack CRIU: $2 exists"
    source_only=$2
    shift 2
else
    [ "$(id -u)" -eq 0 ] || fail "no working CRIU: criu check and the build need root"
fi
dir=${1:-$top/build/criu}
mkdir -p "$dir" || fail "no working CRIU: cannot make $dir"
dir=$(cd "$dir" && pwd)
suite=${CRIU_SUITE:-trixie}
# shellcheck source=scripts/dependencies.sh
. "$top/scripts/dependencies.sh"

# Runs `criu check` quietly; the binary passes when the check exits 0.
criu_works() { "$1" check >/dev/null 2>&1; }

# Prints the path of CRIU's source tarball: given, verified on an earlier run, or fetched now
# through a private apt setup and checked against the signed Sources index.
source_tarball() {
    local tarball=${CRIU_TARBALL:-} apt_dir sha name
    if [ -z "$tarball" ]; then
        mkdir -p "$dir/src"
        apt_dir=$dir/apt
        mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
        printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
            http://deb.debian.org/debian "$suite" >"$apt_dir/sources.list"
        local apt_private=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
            -o "Dir::Etc::SourceParts=$apt_dir/parts" -o "Dir::State::Lists=$apt_dir/lists"
            -o "Dir::Cache=$apt_dir/cache" -o APT::Sandbox::User=root
            -o Acquire::Languages=none)
        # A tarball verified on an earlier run is used again without asking the network.
        if [ -f "$dir/src/SHA256SUMS" ] &&
            (cd "$dir/src" && sha256sum -c --quiet SHA256SUMS >&2); then
            tarball=$dir/src/$(awk '{ print $2; exit }' "$dir/src/SHA256SUMS")
        else
            say "fetching the criu source index of $suite"
            apt-get "${apt_private[@]}" update >&2 ||
                fail "no working CRIU: cannot read Debian's $suite source index"
            # The orig tarball's name and SHA-256 as the signed Sources index gives them.
            read -r sha name < <(apt-cache "${apt_private[@]}" showsrc criu |
                awk '/^Checksums-Sha256:/ { on = 1; next } /^[^ ]/ { on = 0 }
                     on && $3 ~ /\.orig\.tar\./ { print $1, $3; exit }') ||
                fail "no working CRIU: Debian's $suite has no criu source package"
            say "fetching $name"
            # Only the tarball is needed: the Debian packaging files may be missing on a mirror.
            (cd "$dir/src" && apt-get "${apt_private[@]}" source --download-only criu >&2) || true
            [ -f "$dir/src/$name" ] || fail "no working CRIU: could not fetch $name"
            (cd "$dir/src" && echo "$sha  $name" | sha256sum -c --quiet - >&2) ||
                fail "no working CRIU: $name does not match the checksum of Debian's index"
            echo "$sha  $name" >"$dir/src/SHA256SUMS"
            tarball=$dir/src/$name
        fi
    fi
    [ -f "$tarball" ] || fail "no working CRIU: no such tarball: $tarball"
    echo "$tarball"
}

# Unpacks the tarball $1 into the new folder $2 and applies the project's patch there.
unpack_patched() {
    mkdir -p "$2"
    tar -xf "$1" -C "$2" --strip-components=1 || fail "no working CRIU: cannot unpack $1"
    if grep -q 'family == AF_UNIX || family == AF_NETLINK' "$2/criu/sockets.c" ||
        ! grep -q 'ret |= dump_opt(sk, SOL_SOCKET, SO_PASSCRED, &val);' "$2/criu/sockets.c"; then
        return 0
    fi
    say "patching SO_PASSCRED/SO_PASSSEC dumping for current kernels"
    patch -d "$2" -p1 --quiet >&2 <<'EOF' || fail "no working CRIU: the SO_PASSCRED patch does not apply"
--- a/criu/sockets.c
+++ b/criu/sockets.c
@@ -637,6 +637,21 @@
 	return 0;
 }
 
+static int dump_opt_unsupported_off(int sk, int name, int *val)
+{
+	socklen_t len = sizeof(*val);
+
+	*val = 0;
+	if (getsockopt(sk, SOL_SOCKET, name, val, &len) == 0)
+		return 0;
+	if (errno == EOPNOTSUPP) {
+		*val = 0;
+		return 0;
+	}
+	pr_perror("Can't get %d:%d opt", SOL_SOCKET, name);
+	return -1;
+}
+
 int dump_socket_opts(int sk, SkOptsEntry *soe)
 {
 	int ret = 0, val;
@@ -676,11 +691,17 @@
 	soe->so_reuseport = val ? true : false;
 	soe->has_so_reuseport = true;
 
-	ret |= dump_opt(sk, SOL_SOCKET, SO_PASSCRED, &val);
+	/*
+	 * Recent kernels accept SO_PASSCRED and SO_PASSSEC only on unix and
+	 * netlink sockets; other families answer EOPNOTSUPP, meaning "off".
+	 */
+	if (dump_opt_unsupported_off(sk, SO_PASSCRED, &val))
+		ret = -1;
 	soe->has_so_passcred = true;
 	soe->so_passcred = val ? true : false;
 
-	ret |= dump_opt(sk, SOL_SOCKET, SO_PASSSEC, &val);
+	if (dump_opt_unsupported_off(sk, SO_PASSSEC, &val))
+		ret = -1;
 	soe->has_so_passsec = true;
 	soe->so_passsec = val ? true : false;
 
EOF
}

# Parallel callers (the demo, a test run, the packaging) fetch and build once: the rest wait
# and reuse.
exec 9>"$dir/.lock"
flock 9

if [ -n "$source_only" ]; then
    tarball=$(source_tarball)
    unpack_patched "$tarball" "$source_only"
    (cd "$source_only" && pwd)
    exit 0
fi

if path=$(command -v criu) && criu_works "$path"; then
    echo "$path"
    exit 0
fi
if [ -x "$dir/bin/criu" ] && criu_works "$dir/bin/criu"; then
    echo "$dir/bin/criu"
    exit 0
fi

install_dependencies criu || fail "no working CRIU: cannot install what building it needs"
tarball=$(source_tarball)
# A fresh tree every time, so the patch applies to pristine source.
rm -rf "$dir/src/tree"
unpack_patched "$tarball" "$dir/src/tree"
cd "$dir/src/tree"
version=$(awk '/^CRIU_VERSION_(MAJOR|MINOR|SUBLEVEL)[[:space:]]*:=/ { print $3 }' \
    Makefile.versions | paste -sd.)

say "building CRIU $version (log: $dir/build.log)"
start=$(date +%s)
# CRIU chooses its own compiler flags: the caller's (sanitizers, -Werror) must not leak in.
# Only the final link of the program reads LIBS: full RELRO there. packaging/criu/debian/rules
# builds the package's CRIU the same way.
if ! env -u CC -u CFLAGS -u CPPFLAGS -u LDFLAGS LIBS="-Wl,-z,relro,-z,now" \
    make -j "$(nproc)" criu >"$dir/build.log" 2>&1; then
    tail -n 20 "$dir/build.log" >&2
    fail "no working CRIU: building CRIU $version failed (see $dir/build.log)"
fi
say "built CRIU $version in $(($(date +%s) - start)) s"
mkdir -p "$dir/bin"
install -m 0755 criu/criu "$dir/bin/criu"
if ! criu_works "$dir/bin/criu"; then
    "$dir/bin/criu" check 2>&1 | tail -n 5 >&2 || true
    fail "no working CRIU: CRIU $version built but fails criu check on this kernel"
fi
echo "$dir/bin/criu"
