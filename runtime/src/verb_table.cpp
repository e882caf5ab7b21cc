// The verb table, and how a tool's words find their entry.
#include "verb_table.hpp"

#include "refusal.hpp"
#include "verbs.hpp"
#include "zor_contract.h"

#include <algorithm>

namespace zor {

namespace {

constexpr unsigned kSys = kSystemTool;
constexpr unsigned kApp = kApplicationTool;
constexpr unsigned kBoth = kSystemTool | kApplicationTool;
constexpr LockKind kRead = LockKind::kShared;
constexpr LockKind kWrite = LockKind::kExclusive;

const OptionWord kName{ZOR_OPTION_NAME, true};
const OptionWord kMemory{ZOR_OPTION_MEMORY, true};
const OptionWord kBase{ZOR_OPTION_BASE, true};
const OptionWord kFile{ZOR_OPTION_FILE, true};
const OptionWord kPort{ZOR_OPTION_PORT, true};
const OptionWord kTag{ZOR_OPTION_TAG, true};
const OptionWord kGroup{ZOR_OPTION_GROUP, true};
const OptionWord kGroupAlias{ZOR_OPTION_GROUP_ALIAS, true};
const OptionWord kApplication{ZOR_OPTION_APPLICATION, true};
const OptionWord kPid{ZOR_OPTION_PID, true};
const OptionWord kVpid{ZOR_OPTION_VPID, true};
const OptionWord kDestination{ZOR_OPTION_DESTINATION, true};
const OptionWord kSnapshots{ZOR_OPTION_SNAPSHOT, false};
const OptionWord kCheckpoints{ZOR_OPTION_CHECKPOINT, false};
const OptionWord kBases{ZOR_OPTION_BASE_IMAGE, false};
const OptionWord kBaseNamed{ZOR_OPTION_BASE_IMAGE, true};

// create and destroy take a container with -n, or a control group with -g or -c.
const std::vector<std::string> kGroupForm{ZOR_OPTION_GROUP, ZOR_OPTION_GROUP_ALIAS};

}  // namespace

const std::vector<VerbEntry> &verb_table() {
    // clang-format off
    static const std::vector<VerbEntry> table{
        // tools  verb                  forms                     from  options                                       lock    handler
        {kSys,    ZOR_VERB_CREATE,      {},                       1, {kName, kMemory, kBase, kFile},                kWrite, run_create},
        {kApp,    ZOR_VERB_CREATE,      {},                       1, {kName, kPort, kBase},                         kWrite, run_create},
        {kBoth,   ZOR_VERB_CREATE,      kGroupForm,               1, {kGroup, kGroupAlias, kName},                  kWrite, run_create_group},
        {kBoth,   ZOR_VERB_DESTROY,     {},                       1, {kName},                                       kWrite, run_destroy},
        {kBoth,   ZOR_VERB_DESTROY,     kGroupForm,               1, {kGroup, kGroupAlias, kName},                  kWrite, run_destroy_group},
        {kBoth,   ZOR_VERB_SEARCH,      {},                       1, {kName},                                       kRead,  run_search},
        {kBoth,   ZOR_VERB_INFO,        {},                       1, {kName},                                       kRead,  run_info},
        {kBoth,   ZOR_VERB_STATUS,      {},                       1, {kName},                                       kRead,  run_status},
        {kBoth,   ZOR_VERB_GETPID,      {},                       1, {kName},                                       kRead,  run_getpid},
        {kBoth,   ZOR_VERB_START,       {},                       1, {kName},                                       kWrite, run_start},
        {kBoth,   ZOR_VERB_STOP,        {},                       1, {kName},                                       kWrite, run_stop},
        {kBoth,   ZOR_VERB_SUSPEND,     {},                       1, {kName},                                       kWrite, run_suspend},
        {kBoth,   ZOR_VERB_RESUME,      {},                       1, {kName},                                       kWrite, run_resume},
        {kSys,    ZOR_VERB_SHARE,       {},                       1, {kName},                                       kWrite, run_share},
        {kSys,    ZOR_VERB_UNSHARE,     {},                       1, {kName},                                       kWrite, run_unshare},
        {kBoth,   ZOR_VERB_LIST,        {},                       1, {},                                            kRead,  run_list_containers},
        {kBoth,   ZOR_VERB_LIST,        {ZOR_OPTION_BASE_IMAGE},  1, {kBases},                                      kRead,  run_list_bases},
        {kBoth,   ZOR_VERB_LIST,        {ZOR_OPTION_SNAPSHOT},    1, {kSnapshots, kName},                           kRead,  run_list_snapshots},
        {kBoth,   ZOR_VERB_LIST,        {ZOR_OPTION_CHECKPOINT},  1, {kCheckpoints, kName},                         kRead,  run_list_checkpoints},
        {kBoth,   ZOR_VERB_SAVE,        {},                       1, {kName, kTag},                                 kWrite, run_save},
        {kBoth,   ZOR_VERB_LOAD,        {},                       1, {kName, kTag},                                 kWrite, run_load},
        {kBoth,   ZOR_VERB_COMMIT,      {},                       1, {kName, kTag, kBase},                          kWrite, run_commit},
        {kBoth,   ZOR_VERB_REMOVE,      {},                       1, {},                                            kWrite, run_remove_unknown},
        {kBoth,   ZOR_VERB_REMOVE,      {ZOR_OPTION_BASE_IMAGE},  1, {kBaseNamed},                                  kWrite, run_remove_base},
        {kBoth,   ZOR_VERB_REMOVE,      {ZOR_OPTION_SNAPSHOT},    1, {kSnapshots, kName, kTag},                     kWrite, run_remove_snapshot},
        {kSys,    ZOR_VERB_REMOVE,      {ZOR_OPTION_CHECKPOINT},  1, {kCheckpoints, kName, kTag},                   kWrite, run_remove_checkpoint},
        {kSys,    ZOR_VERB_CHECKPOINT,  {},                       1, {kName, kTag},                                 kWrite, run_checkpoint},
        {kSys,    ZOR_VERB_RESTART,     {},                       1, {kName, kTag},                                 kWrite, run_restart},
        // limit --KIND VALUE and unlimit/usage --KIND: the options follow the kind (and value).
        {kSys,    ZOR_VERB_LIMIT,       {},                       3, {kName, kApplication, kGroup, kGroupAlias},    kWrite, run_limit},
        {kApp,    ZOR_VERB_LIMIT,       {},                       3, {kName, kGroup, kGroupAlias},                  kWrite, run_limit},
        {kSys,    ZOR_VERB_UNLIMIT,     {},                       2, {kName, kApplication, kGroup, kGroupAlias},    kWrite, run_unlimit},
        {kApp,    ZOR_VERB_UNLIMIT,     {},                       2, {kName, kGroup, kGroupAlias},                  kWrite, run_unlimit},
        {kSys,    ZOR_VERB_USAGE,       {},                       2, {kName, kApplication, kPid, kVpid},            kRead,  run_usage},
        {kApp,    ZOR_VERB_USAGE,       {},                       2, {kName, kGroup, kPid, kVpid},                  kRead,  run_usage},
        {kBoth,   ZOR_VERB_BIND,        {},                       1, {kGroup, kGroupAlias, kName, kPid, kVpid},     kWrite, run_bind},
        {kBoth,   ZOR_VERB_UNBIND,      {},                       1, {kGroup, kGroupAlias, kName, kPid, kVpid},     kWrite, run_unbind},
        {kApp,    ZOR_VERB_REGISTER,    {},                       1, {kName, kPid, kVpid},                          kWrite, run_register},
        {kApp,    ZOR_VERB_UNREGISTER,  {},                       1, {kName, kPid, kVpid},                          kWrite, run_unregister},
        {kApp,    ZOR_VERB_PIDLIST,     {},                       1, {kName},                                       kRead,  run_pidlist},
        // The sender holds its lock for the whole migration (its container is frozen anyway).
        {kSys,    ZOR_VERB_MIGRATE,     {},                       1, {kName, kDestination, kPort},                  kWrite, run_migrate},
        // trust show | list | add FINGERPRINT | remove FINGERPRINT: words, not options.
        {kSys,    "trust",              {},                       1, {},                                            kWrite, run_trust},
        // zor-target takes no verb; it waits for a sender without the lock.
        {kTargetTool, "",               {},                       0, {kName, kPort},                                LockKind::kNone, run_receive},
    };
    // clang-format on
    return table;
}

unsigned tool_named(const std::string &program) {
    if (program == ZOR_TOOL_SYS) {
        return kSystemTool;
    }
    if (program == ZOR_TOOL_APP) {
        return kApplicationTool;
    }
    return program == ZOR_TOOL_TARGET ? kTargetTool : 0U;
}

const VerbEntry &entry_for(unsigned tool, const std::vector<std::string> &words) {
    const std::vector<VerbEntry> &table = verb_table();
    const VerbEntry *chosen = nullptr;
    for (const VerbEntry &entry : table) {
        if ((entry.tools & tool) == 0) {
            continue;
        }
        if (tool == kTargetTool) {
            return entry;
        }
        if (words.empty() || words[0] != entry.verb) {
            continue;
        }
        if (entry.forms.empty()) {
            chosen = chosen != nullptr ? chosen : &entry;
        } else if (words.size() > 1 && std::find(entry.forms.begin(), entry.forms.end(),
                                                 words[1]) != entry.forms.end()) {
            return entry;
        }
    }
    if (chosen != nullptr) {
        return *chosen;
    }
    if (words.empty()) {
        std::string verbs;
        for (const VerbEntry &entry : table) {
            const std::string verb = entry.verb;
            if ((entry.tools & tool) != 0 && !verb.empty() &&
                verbs.find(" " + verb + ",") == std::string::npos) {
                verbs += " " + verb + ",";
            }
        }
        verbs.pop_back();
        throw Refusal(kUsage, "no verb given; the verbs are" + verbs);
    }
    throw Refusal(kUsage, "unknown verb '" + words[0] + "'");
}

}  // namespace zor
