// CRIU, which runc drives to dump a container's processes and bring them back. Only a CRIU
// that passes `criu check` on the running kernel is used: an old one fails on recent kernels
// (it does not know their vDSO layout), and would fail every checkpoint in the same way.
#pragma once

#include <string>

namespace zor {

// Names the CRIU program to use (an absolute path, or a name looked up on PATH); when set,
// no other candidate is tried.
constexpr char kCriuVariable[] = "ZOR_RUNTIME_CRIU";

// The absolute path of a working CRIU: the one ZOR_RUNTIME_CRIU names, else criu on PATH,
// else /usr/sbin/criu, else the one built into the build tree (ZOR_RUNTIME_BUILT_CRIU,
// empty in installed builds); the first that passes `criu check`. A passed check is kept in
// state_directory, keyed by the binary's path, size and time of change and the kernel's
// release, so that the check (some 100 ms) runs once per binary and kernel.
// Refuses with kNeedsCheckpointer, in one line naming each candidate and why it failed, when
// none works or when not run as root (CRIU needs root).
std::string find_criu(const std::string &state_directory);

// Removes what CRIU leaves on the host after it ran: its kernel-feature cache's temporary
// file /run/criu.kdat.tmp where /run is not a tmpfs (left empty).
void clear_criu_traces();

}  // namespace zor
