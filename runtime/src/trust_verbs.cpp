// zor-sys trust show | list | add FINGERPRINT | remove FINGERPRINT: this machine's fingerprint
// and the machines it trusts for migrations (machine_identity.hpp, trust_list.hpp).
#include "machine_identity.hpp"
#include "refusal.hpp"
#include "trust_list.hpp"
#include "verbs.hpp"

namespace zor {

void trust_verb(Command &command) {
    const std::vector<std::string> &words = command.words;
    if (!command.is_system()) {
        throw Refusal(kUsage, "unknown verb 'trust'");
    }
    const std::string action = words.size() > 1 ? words[1] : "";
    const bool takes_fingerprint = action == "add" || action == "remove";
    if ((action != "show" && action != "list" && !takes_fingerprint) ||
        words.size() != (takes_fingerprint ? 3U : 2U)) {
        throw Refusal(kUsage,
                      "give trust show, trust list, trust add FINGERPRINT or "
                      "trust remove FINGERPRINT");
    }
    if (action == "show") {
        command.out = fingerprint_of(machine_identity(command.directory).certificate.get()) + "\n";
    } else if (action == "list") {
        for (const std::string &fingerprint : trusted_machines(command.directory)) {
            command.out += fingerprint + "\n";
        }
    } else if (action == "add") {
        add_trusted_machine(command.directory, words[2]);
    } else if (!remove_trusted_machine(command.directory, words[2])) {
        throw Refusal(kNotFound, "machine " + words[2] + " is not trusted here");
    }
}

}  // namespace zor
