# shellcheck shell=bash
# The Debian packages this project needs, by group: the one list that .ci/run,
# scripts/test.sh, scripts/demo.sh, scripts/build-criu.sh and scripts/package.sh install from.
# Sourced, not run:
#
#   . scripts/dependencies.sh
#   install_dependencies build runtime     # as root: installs the missing ones with apt-get
#
#   build    the compilers and libraries that build the libraries, the runtime and the demos
#            (build-essential: dpkg-buildpackage requires it too)
#   runtime  what real containers need: runc, the busybox of the first base image, the
#            namespace and network tools, nftables (containers' published ports and NAT),
#            iptables (CRIU locks a container's network with it)
#   test     the whole test command: clang and its sanitizer and fuzzer runtimes, formatting
#            and static analysis, GoogleTest and Google Benchmark, Debian's sudo (the
#            end-to-end test through the real sudo), rsyslog, man and groff (the manual page
#            test), valgrind
#   package  the Debian packaging tools and lintian (scripts/package.sh)
#   criu     what building CRIU 4.1 from its source needs (scripts/build-criu.sh, and the
#            package zor-runtime-criu, whose Build-Depends in packaging/criu/debian/control
#            name the same packages)
# A package counts as present when dpkg has it installed.

# shellcheck disable=SC2034  # the groups are read through dependency_group
dependencies_build=(build-essential cmake make g++ pkgconf binutils nlohmann-json3-dev zlib1g-dev libssl-dev)
dependencies_runtime=(runc busybox-static util-linux iproute2 nftables iptables procps)
dependencies_test=(clang clang-format clang-tidy libclang-rt-14-dev libgtest-dev libgmock-dev
    libbenchmark-dev sudo rsyslog man-db groff-base valgrind git)
dependencies_package=(dpkg-dev debhelper lintian)
dependencies_criu=(gcc make patch pkgconf xz-utils libprotobuf-dev libprotobuf-c-dev
    protobuf-c-compiler libnl-3-dev libnet1-dev libcap-dev libbsd-dev uuid-dev libgnutls28-dev
    iptables)

# Prints the packages of the named groups, one a line.
dependency_group() {
    local group
    for group in "$@"; do
        case $group in
        build | runtime | test | package | criu) ;;
        *)
            echo "dependencies: no group '$group' (build, runtime, test, package, criu)" >&2
            return 1
            ;;
        esac
        local -n members="dependencies_$group"
        printf '%s\n' "${members[@]}"
    done
}

# Prints the packages of the named groups that dpkg does not have installed.
missing_dependencies() {
    local package list
    list=$(dependency_group "$@") || return 1
    while read -r package; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
            echo "$package"
    done < <(sort -u <<<"$list")
}

# Installs the missing packages of the named groups with apt-get (as root), reading the package
# lists first only when an install from the present ones fails. Progress goes to standard error.
# Not root and something missing: says what and fails.
install_dependencies() {
    local missing
    missing=$(missing_dependencies "$@") || return 1
    [ -n "$missing" ] || return 0
    # shellcheck disable=SC2086  # one package a word
    set -- $missing
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing Debian packages: $* (run as root to have them installed)" >&2
        return 1
    fi
    echo "installing: $*" >&2
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >&2 2>/dev/null; then
        apt-get update -qq >&2
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >&2
    fi
}
