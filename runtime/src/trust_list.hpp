// The machines this one trusts for migrations: their certificates' fingerprints, one a line in
// trusted-machines inside the state directory. zor-sys trust keeps the list; migrate and
// zor-target read it, and talk to no machine that is not in it.
#pragma once

#include <string>
#include <vector>

namespace zor {

// A fingerprint exactly as `trust show` prints it: "SHA256:" and 64 lowercase hex digits.
// Refuses anything else with kUsage.
const std::string &checked_fingerprint(const std::string &text);

// The fingerprints that directory's machine trusts, in the order they were added; empty when
// there is no list. Refuses a damaged list (a line that is no fingerprint), one that is a
// symbolic link, that another user owns or that others may write, with kStateFailure.
std::vector<std::string> trusted_machines(const std::string &directory);

// Adds fingerprint to the list; false when it is there already. The list is replaced whole.
bool add_trusted_machine(const std::string &directory, const std::string &fingerprint);

// Removes fingerprint from the list; false when it was not there.
bool remove_trusted_machine(const std::string &directory, const std::string &fingerprint);

}  // namespace zor
