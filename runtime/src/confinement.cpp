// The default system call filter and the pids limit's checks.
#include "confinement.hpp"

#include "refusal.hpp"

#include <sched.h>

#include <cerrno>
#include <cstdint>
#include <fstream>

namespace zor {

using nlohmann::json;

namespace {

// Refused with EPERM whatever their arguments. Names this libseccomp does not know are
// skipped by runc, so the list may run ahead of the host's kernel.
constexpr const char *kDenied[] = {
    // mounts and the new mount API
    "mount", "umount", "umount2", "pivot_root", "move_mount", "open_tree", "fsopen", "fsconfig",
    "fsmount", "fspick", "mount_setattr",
    // joining other namespaces
    "setns",
    // kernel keyrings
    "keyctl", "add_key", "request_key",
    // kernel programs and tracing
    "bpf", "perf_event_open", "lookup_dcookie", "userfaultfd",
    // kernel modules and kexec
    "init_module", "finit_module", "delete_module", "create_module", "get_kernel_syms",
    "query_module", "kexec_load", "kexec_file_load",
    // files by handle (the way out of a bind mount)
    "open_by_handle_at", "name_to_handle_at",
    // the host's own switches: accounting, swap, reboot, clocks, port I/O, quotas, kernel log
    "acct", "swapon", "swapoff", "reboot", "settimeofday", "stime", "clock_settime",
    "clock_settime64", "clock_adjtime", "clock_adjtime64", "iopl", "ioperm", "quotactl",
    "quotactl_fd", "syslog", "nfsservctl", "uselib", "_sysctl", "ustat", "sysfs", "vm86", "vm86old",
    "fanotify_init",
    // io_uring, whose operations the filter cannot see
    "io_uring_setup", "io_uring_enter", "io_uring_register"};

// The namespace flags of clone and unshare, each refused in a rule of its own: a rule's
// conditions are all required together, so "any of these bits" takes one rule per bit.
constexpr std::uint64_t kCloneNamespaces[] = {CLONE_NEWNS,  CLONE_NEWCGROUP, CLONE_NEWUTS,
                                              CLONE_NEWIPC, CLONE_NEWUSER,   CLONE_NEWPID,
                                              CLONE_NEWNET};
// unshare takes CLONE_NEWTIME too; in clone's flags that bit is part of the exit signal.
constexpr std::uint64_t kTimeNamespace = 0x00000080;

json refuse_with_flag(const char *call, std::uint64_t flag) {
    return {{"names", {call}},
            {"action", "SCMP_ACT_ERRNO"},
            {"errnoRet", EPERM},
            {"args",
             {{{"index", 0}, {"value", flag}, {"valueTwo", flag}, {"op", "SCMP_CMP_MASKED_EQ"}}}}};
}

json architectures() {
#if defined(__x86_64__)
    return {"SCMP_ARCH_X86_64", "SCMP_ARCH_X86", "SCMP_ARCH_X32"};
#elif defined(__aarch64__)
    return {"SCMP_ARCH_AARCH64", "SCMP_ARCH_ARM"};
#else
    return json::array();  // the host's own; runc kills calls of any other
#endif
}

}  // namespace

long long checked_pids_limit(const std::string &value, const std::string &where) {
    long long number = 0;
    bool valid = !value.empty() && value.size() <= 7;
    for (const char digit : value) {
        valid = valid && digit >= '0' && digit <= '9';
        number = number * 10 + (digit - '0');
    }
    if (!valid || number < 1 || number > kMostPidsLimit) {
        throw Refusal(kUsage, where + ": pids must be a number of processes, 1 to " +
                                  std::to_string(kMostPidsLimit) + ", not '" + value + "'");
    }
    return number;
}

bool has_pids_controller(const Cgroups &cgroups) {
    for (const Hierarchy &hierarchy : cgroups.hierarchies()) {
        if (!cgroups.pure_v2() && !hierarchy.unified) {
            for (const std::string &controller : hierarchy.controllers) {
                if (controller == "pids") {
                    return true;
                }
            }
        } else if (cgroups.pure_v2() && hierarchy.unified) {
            std::ifstream offered(hierarchy.mount + "/cgroup.controllers");
            for (std::string controller; offered >> controller;) {
                if (controller == "pids") {
                    return true;
                }
            }
        }
    }
    return false;
}

json default_seccomp_profile() {
    json denied = json::array();
    for (const char *call : kDenied) {
        denied.push_back(call);
    }
    json rules =
        json::array({{{"names", denied}, {"action", "SCMP_ACT_ERRNO"}, {"errnoRet", EPERM}},
                     {{"names", {"clone3"}}, {"action", "SCMP_ACT_ERRNO"}, {"errnoRet", ENOSYS}}});
    for (const std::uint64_t flag : kCloneNamespaces) {
        rules.push_back(refuse_with_flag("clone", flag));
        rules.push_back(refuse_with_flag("unshare", flag));
    }
    rules.push_back(refuse_with_flag("unshare", kTimeNamespace));
    return {{"defaultAction", "SCMP_ACT_ALLOW"},
            {"architectures", architectures()},
            {"syscalls", rules}};
}

}  // namespace zor
