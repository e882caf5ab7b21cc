// The capabilities a container's processes hold: the bundle gives them to runc, and a
// received picture whose processes hold any other is refused (picture_checks.hpp).
#pragma once

#include <linux/capability.h>

#include <cstdint>

namespace zor {

struct NamedCapability {
    const char *name;  // as config.json names it
    int number;        // the kernel's
};

constexpr NamedCapability kContainerCapabilities[] = {
    {"CAP_AUDIT_WRITE", CAP_AUDIT_WRITE},
    {"CAP_KILL", CAP_KILL},
    {"CAP_NET_BIND_SERVICE", CAP_NET_BIND_SERVICE},
};

// The set as the kernel's 64-bit mask.
constexpr std::uint64_t container_capability_mask() {
    std::uint64_t mask = 0;
    for (const NamedCapability &capability : kContainerCapabilities) {
        mask |= std::uint64_t{1} << static_cast<unsigned>(capability.number);
    }
    return mask;
}

}  // namespace zor
