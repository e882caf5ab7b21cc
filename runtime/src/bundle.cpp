// config.json in the OCI bundle format that runc 1.1 reads, and the loopback set-up.
#include "bundle.hpp"

#include "capability_set.hpp"
#include "confinement.hpp"
#include "host_network.hpp"
#include "refusal.hpp"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iostream>

namespace zor {

using nlohmann::json;

namespace {

// The system log's socket, bound from the host into every container that starts while the
// host has one.
constexpr char kHostLogSocket[] = "/dev/log";

// pid 1 of a PID namespace ignores signals it has no handler for, so the default main
// processes trap SIGTERM and wait in the shell, where the trap runs at once.
constexpr char kIdleInit[] = "trap 'exit 0' TERM; sleep 2147483647 & wait $!";
constexpr char kSmallService[] =
    "trap 'exit 0' TERM; mkdir -p /tmp/www && echo ok > /tmp/www/index.html && "
    "httpd -f -p \"${PORT:-8080}\" -h /tmp/www & wait $!";

json default_mounts() {
    return json::array({
        {{"destination", "/proc"}, {"type", "proc"}, {"source", "proc"}},
        {{"destination", "/dev"},
         {"type", "tmpfs"},
         {"source", "tmpfs"},
         {"options", {"nosuid", "strictatime", "mode=755", "size=65536k"}}},
        {{"destination", "/dev/pts"},
         {"type", "devpts"},
         {"source", "devpts"},
         {"options", {"nosuid", "noexec", "newinstance", "ptmxmode=0666", "mode=0620", "gid=5"}}},
        {{"destination", "/dev/shm"},
         {"type", "tmpfs"},
         {"source", "shm"},
         {"options", {"nosuid", "noexec", "nodev", "mode=1777", "size=65536k"}}},
        {{"destination", "/dev/mqueue"},
         {"type", "mqueue"},
         {"source", "mqueue"},
         {"options", {"nosuid", "noexec", "nodev"}}},
        {{"destination", "/sys"},
         {"type", "sysfs"},
         {"source", "sysfs"},
         {"options", {"nosuid", "noexec", "nodev", "ro"}}},
    });
}

// Bind mounts of host paths that exist on this host. A symbolic link (/lib on a merged-/usr
// system) is followed by the mount, so the destination gets the directory it names.
void add_host_binds(json &mounts, std::initializer_list<const char *> paths,
                    std::initializer_list<const char *> options) {
    json listed = json::array();
    for (const char *option : options) {
        listed.push_back(option);
    }
    for (const char *path : paths) {
        // CRIU puts a bind mount back from its source path and cannot from a symbolic link,
        // so the source is the directory a link names (/usr/lib for /lib).
        char *resolved = realpath(path, nullptr);
        if (resolved != nullptr) {
            json mount = json::object();
            mount["destination"] = path;
            mount["type"] = "bind";
            mount["source"] = resolved;
            std::free(resolved);
            mount["options"] = listed;
            mounts.push_back(mount);
        }
    }
}

}  // namespace

void write_bundle_config(const std::string &directory, const BundleSettings &settings) {
    json capabilities = json::array();
    for (const NamedCapability &capability : kContainerCapabilities) {
        capabilities.push_back(capability.name);
    }
    json env = {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root"};
    if (settings.port > 0) {
        env.push_back("PORT=" + std::to_string(settings.port));
    }
    const std::string command = !settings.command.empty() ? settings.command
                                : settings.system         ? kIdleInit
                                                          : kSmallService;
    json resources = {{"devices", {{{"allow", false}, {"access", "rwm"}}}}};
    if (settings.memory_bytes > 0) {
        resources["memory"]["limit"] = settings.memory_bytes;
    }
    if (settings.memory_swap_bytes > 0) {
        resources["memory"]["swap"] = settings.memory_swap_bytes;
    }
    if (settings.cpu_quota > 0) {
        resources["cpu"]["quota"] = settings.cpu_quota;
        resources["cpu"]["period"] = 100000;
    }
    if (!settings.cpus.empty()) {
        resources["cpu"]["cpus"] = settings.cpus;
    }
    // Out of range (a record from elsewhere; -1 would mean no limit at all): the default.
    const bool pids_valid = settings.pids_limit >= 1 && settings.pids_limit <= kMostPidsLimit;
    if (settings.pids_controller) {
        resources["pids"]["limit"] = pids_valid ? settings.pids_limit : kDefaultPidsLimit;
    }
    json mounts = default_mounts();
    // The socket itself rather than a directory: the container's /dev is its own tmpfs. A
    // log daemon that makes its socket anew after the container started is not seen inside
    // until the container starts again.
    add_host_binds(mounts, {kHostLogSocket}, {"bind", "nosuid", "noexec"});
    if (settings.host_base) {
        add_host_binds(mounts, {"/usr", "/lib", "/lib64"}, {"rbind", "ro", "nosuid", "nodev"});
    }
    json hook_args = {"zor-runtime", kLoopbackHookWord};
    for (const std::string &word : settings.network_words) {
        hook_args.push_back(word);
    }
    const json config = {
        {"ociVersion", "1.0.2-dev"},
        {"process",
         {{"terminal", false},
          {"user", {{"uid", 0}, {"gid", 0}}},
          {"args", {"/bin/sh", "-c", command}},
          {"env", env},
          {"cwd", "/"},
          {"capabilities",
           {{"bounding", capabilities},
            {"effective", capabilities},
            {"permitted", capabilities},
            {"ambient", capabilities}}},
          {"rlimits", {{{"type", "RLIMIT_NOFILE"}, {"hard", 1024}, {"soft", 1024}}}},
          {"noNewPrivileges", true}}},
        {"root", {{"path", "rootfs"}, {"readonly", false}}},
        {"hostname", settings.hostname},
        {"mounts", mounts},
        {"hooks",
         {{"createRuntime",
           {{{"path", settings.hook},
             {"args", hook_args},
             {"env", {"PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"}}}}}}},
        {"linux",
         {{"resources", resources},
          {"cgroupsPath", settings.cgroups_path},
          {"namespaces",
           {{{"type", "pid"}},
            {{"type", "network"}},
            {{"type", "ipc"}},
            {{"type", "uts"}},
            {{"type", "mount"}}}},
          {"seccomp", default_seccomp_profile()},
          {"maskedPaths",
           {"/proc/acpi", "/proc/asound", "/proc/kcore", "/proc/keys", "/proc/latency_stats",
            "/proc/timer_list", "/proc/timer_stats", "/proc/sched_debug", "/sys/firmware",
            "/proc/scsi"}},
          {"readonlyPaths",
           {"/proc/bus", "/proc/fs", "/proc/irq", "/proc/sys", "/proc/sysrq-trigger"}}}},
    };
    const std::string path = directory + "/config.json";
    std::ofstream out(path + ".new");
    out << config.dump(1) << "\n";
    out.close();
    if (!out || std::rename((path + ".new").c_str(), path.c_str()) != 0) {
        throw Refusal(kHostFailure, "cannot write " + path);
    }
}

int run_loopback_hook(const std::vector<std::string> &network_words) {
    const json state = json::parse(std::cin, nullptr, false);
    const pid_t pid = state.is_object() ? state.value("pid", 0) : 0;
    if (pid <= 0) {
        std::fputs("zor-runtime: the hook got no container state\n", stderr);
        return 1;
    }
    try {
        bring_loopback_up(pid);
        // runc has CRIU restore a network namespace empty: on a restore too, this hook gives
        // it its eth0, with the same address and MAC, before the sockets come back.
        if (!network_words.empty()) {
            connect_container(pid, veth_plan_from_words(network_words));
        }
    } catch (const Refusal &refusal) {
        std::fprintf(stderr, "zor-runtime: %s\n", refusal.what());
        return 1;
    }
    return 0;
}

void bring_loopback_up(pid_t pid) {
    const std::string ns = "/proc/" + std::to_string(pid) + "/ns/net";
    // setns changes the calling thread's namespace for good, so a child does it.
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
            _exit(1);
        }
        const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq request{};
        std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
        if (sock < 0 || ioctl(sock, SIOCGIFFLAGS, &request) != 0) {
            _exit(2);
        }
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
        _exit(ioctl(sock, SIOCSIFFLAGS, &request) == 0 ? 0 : 3);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        throw Refusal(kHostFailure,
                      "cannot bring up the loopback interface of process " + std::to_string(pid));
    }
}

}  // namespace zor
