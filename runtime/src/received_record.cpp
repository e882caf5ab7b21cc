// The checks of a received record, with the command line's own checkers.
#include "received_record.hpp"

#include "confinement.hpp"
#include "filesystems.hpp"
#include "options.hpp"
#include "refusal.hpp"
#include "verbs.hpp"

namespace zor {

namespace {

void check_limits(const std::vector<Limit> &limits) {
    for (const Limit &limit : limits) {
        checked_limit(limit.kind, limit.value);
    }
}

void check_all(const Container &record) {
    checked_container_name(record.name);
    if (record.hostname.size() > kHostNameLimit) {
        throw Refusal(kUsage,
                      "the host name is longer than " + std::to_string(kHostNameLimit) + " bytes");
    }
    if (record.base_is_builtin != is_builtin_base(record.base)) {
        throw Refusal(kUsage, "base '" + record.base + "' is not what the record says it is");
    }
    checked_name(record.base, "base");
    check_limits(record.limits);
    for (const Group &group : record.groups) {
        checked_name(group.name, "group");
        check_limits(group.limits);
    }
    for (const std::vector<Snapshot> *records : {&record.snapshots, &record.checkpoints}) {
        for (const Snapshot &snapshot : *records) {
            checked_name(snapshot.name, "snapshot");
            check_limits(snapshot.limits);
        }
    }
    for (const auto &option : record.options) {
        if (option.first == "-m") {
            checked_limit("mem", option.second);
        } else if (option.first != "-b" && option.first != "-f") {
            throw Refusal(kUsage, "option '" + option.first + "' is not one of create's");
        }
    }
    if (record.pids_limit != 0) {
        checked_pids_limit(std::to_string(record.pids_limit), "the pids limit");
    }
    if (record.port != 0 || !record.complete) {
        throw Refusal(kUsage, "it is not a complete system container's");
    }
}

}  // namespace

void check_received_record(const Container &record) {
    try {
        check_all(record);
    } catch (const Refusal &refusal) {
        throw Refusal(kMigrationFailure, std::string("the record is refused: ") + refusal.what());
    }
}

}  // namespace zor
