#!/usr/bin/env bash
# Builds the Debian packages (libkestal1, libkestal-dev, zor-logger, zor-runtime and the debug
# symbols) from the debian/ folder, and zor-runtime-criu (with its debug symbols) from CRIU's
# source and packaging/criu/debian/, into dist/, then checks every package with lintian: any
# error fails the script, and the full report stays in dist/lintian.txt.
#
#   scripts/package.sh
#
# The build runs in a scratch copy of the tracked and untracked (not ignored) files, so the
# working tree stays as it was and dpkg-buildpackage's files beside the source tree land in
# the scratch folder, not beside the clone. zor-runtime-criu is the CRIU of
# scripts/build-criu.sh: the same tarball (fetched once into build/criu and reused) with the
# same patch, built the same way. Run as root it installs what it needs when missing (groups
# build, package and criu of scripts/dependencies.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
dist=$top/dist

# shellcheck source=scripts/dependencies.sh
. "$top/scripts/dependencies.sh"
if [ "$(id -u)" -eq 0 ]; then
    install_dependencies build package criu
fi
for tool in dpkg-buildpackage dh cmake lintian; do
    command -v "$tool" >/dev/null || {
        echo "package.sh: $tool is missing (run as root to have it installed)" >&2
        exit 1
    }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kestal-package-XXXXXX")
trap 'rm -rf "$work"' EXIT
version=$(dpkg-parsechangelog -S Version)
source_dir=$work/kestal-$version
mkdir -p "$source_dir"
if [ -d .git ] || [ -f .git ]; then
    # Files deleted but not yet committed are left out.
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do
            if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
        done | xargs -0 cp -P --parents -t "$source_dir"
else
    tar -C "$top" --exclude='./build*' --exclude=./dist --exclude=./.git -cf - . |
        tar -C "$source_dir" -xf -
fi

(cd "$source_dir" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$work/build.log" 2>&1 || {
    tail -n 60 "$work/build.log" >&2
    echo "package.sh: dpkg-buildpackage failed (log above)" >&2
    exit 1
}

# The CRIU package, from CRIU's patched source and its own debian/ folder; its version must be
# the one the source carries.
criu_work=$work/criu
mkdir -p "$criu_work"
criu_source=$(scripts/build-criu.sh --source "$criu_work/zor-runtime-criu" "$top/build/criu") || {
    echo "package.sh: no CRIU source for zor-runtime-criu (see above)" >&2
    exit 1
}
cp -R packaging/criu/debian "$criu_source/"
criu_version=$(awk '/^CRIU_VERSION_(MAJOR|MINOR|SUBLEVEL)[[:space:]]*:=/ { print $3 }' \
    "$criu_source/Makefile.versions" | paste -sd.)
criu_package_version=$(cd "$criu_source" && dpkg-parsechangelog -S Version)
if [ "${criu_package_version%-*}" != "$criu_version" ]; then
    echo "package.sh: the CRIU source is $criu_version, but packaging/criu/debian/changelog" \
        "says $criu_package_version" >&2
    exit 1
fi
(cd "$criu_source" && dpkg-buildpackage -b -us -uc -j"$(nproc)") >"$work/criu-build.log" 2>&1 || {
    tail -n 60 "$work/criu-build.log" >&2
    echo "package.sh: dpkg-buildpackage failed for zor-runtime-criu (log above)" >&2
    exit 1
}

rm -rf "$dist"
mkdir -p "$dist"
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$dist"/
mv "$criu_work"/*.deb "$criu_work"/*.changes "$criu_work"/*.buildinfo "$dist"/
cp "$work/build.log" "$dist/build.log"
cp "$work/criu-build.log" "$dist/criu-build.log"

# Lintian on every package, read together through the .changes file (so the debug symbol
# packages are checked beside the packages they belong to); errors fail, the rest is listed.
status=0
lintian --info --display-info --pedantic --fail-on error "$dist"/*.changes >"$dist/lintian.txt" 2>&1 ||
    status=1
echo "packages in $dist:"
(cd "$dist" && ls -1 ./*.deb)
if grep -qE '^[EWIP]: ' "$dist/lintian.txt"; then
    echo "lintian:"
    grep -E '^[EWIP]: ' "$dist/lintian.txt"
else
    echo "lintian: no errors, warnings, notes or pedantic tags"
fi
if [ "$status" -ne 0 ]; then
    echo "package.sh: lintian reports errors" >&2
    exit 1
fi
