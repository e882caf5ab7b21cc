// CRIU, which runc drives to dump a container's processes and bring them back. Only a CRIU
// that passes `criu check` on the running kernel is used: an old one fails on recent kernels
// (it does not know their vDSO layout), and would fail every checkpoint in the same way.
#pragma once

#include <string>
#include <vector>

namespace zor {

// Names the CRIU program to use (an absolute path, or a name looked up on PATH); when set,
// no other candidate is tried.
constexpr char kCriuVariable[] = "ZOR_RUNTIME_CRIU";

// The absolute path of a working CRIU: the one ZOR_RUNTIME_CRIU names, else the first of
// criu_candidates(packaged_criu(), {criu on PATH, /usr/sbin/criu}, the one built into the
// build tree (ZOR_RUNTIME_BUILT_CRIU, empty in installed builds)) that passes `criu check`.
// A passed check is kept in
// state_directory, keyed by the binary's path, size and time of change and the kernel's
// release, so that the check (some 100 ms) runs once per binary and kernel.
// Refuses with kNeedsCheckpointer, in one line naming each candidate and why it failed, when
// none works or when not run as root (CRIU needs root).
std::string find_criu(const std::string &state_directory);

// Where the zor-runtime-criu package puts CRIU, found from this program's own path:
// lib/zor-runtime/criu beside the program's sbin (/usr/lib/zor-runtime/criu for
// /usr/sbin/zor-runtime); "" when the program's path cannot be read.
std::string packaged_criu();

// The CRIUs to try, in order, when ZOR_RUNTIME_CRIU is unset: the packaged one first, since
// it carries the change current kernels need; but a distribution CRIU (on PATH, /usr/sbin)
// whose `criu --version` is newer than the packaged one's goes before it, so that a newer
// distribution CRIU takes over once it passes `criu check`; then the other distribution
// ones, then the build tree's. Empty and repeated paths are left out.
std::vector<std::string> criu_candidates(const std::string &packaged,
                                         const std::vector<std::string> &distribution,
                                         const std::string &built);

// Removes what CRIU leaves on the host after it ran: its kernel-feature cache's temporary
// file /run/criu.kdat.tmp where /run is not a tmpfs (left empty).
void clear_criu_traces();

}  // namespace zor
