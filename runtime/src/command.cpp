// The parts of a command: its invocation's options, the host's programs found on first use,
// and the records it works on.
#include "command.hpp"

#include "criu_lookup.hpp"
#include "refusal.hpp"

#include <utility>

namespace zor {

Invocation::Invocation(unsigned tool, const VerbEntry &entry, std::vector<std::string> words)
    : tool_(tool), entry_(&entry), words_(std::move(words)) {}

std::string Invocation::word(std::size_t index) const {
    return index < words_.size() ? words_[index] : std::string();
}

const Options &Invocation::options() const {
    if (!options_) {
        options_.emplace(words_, entry_->options_from, entry_->options);
    }
    return *options_;
}

const std::string &Host::directory() const {
    if (directory_.empty()) {
        directory_ = state_directory();
    }
    return directory_;
}

const Runc &Host::runc() const {
    if (!runc_) {
        runc_ = std::make_unique<Runc>(layout().runc_root());
    }
    return *runc_;
}

const Cgroups &Host::cgroups() const {
    if (!cgroups_) {
        cgroups_ = std::make_unique<Cgroups>();
    }
    return *cgroups_;
}

const std::string &Host::criu() const {
    if (criu_.empty()) {
        criu_ = find_criu(directory());
    }
    return criu_;
}

void Command::load() {
    state = load_state(host.directory());
}

void Command::save_now() const {
    save_state(host.directory(), state);
}

Container &Command::named_container(const std::string &name) {
    auto &containers = domain().containers;
    const auto found = containers.find(name);
    if (found == containers.end()) {
        throw Refusal(kNotFound, "no container '" + name + "'");
    }
    return found->second;
}

}  // namespace zor
