// Checkpoints of a system container: taking one, restarting from one, removing one.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"
#include "zor_contract.h"

namespace zorsys {

namespace {

using frame::name_of;
using frame::option;
using frame::text;
using Name = const char *;

// Taking a checkpoint and restarting from it run the tool with the caller's own rights.
// Outcome lines: the container before the checkpoint, except in the removal's.
constexpr frame::Operation<Name, Name> kCheckpoint{
    ZOR_TOOL_SYS " " ZOR_VERB_CHECKPOINT " " ZOR_OPTION_NAME " ",
    "ZOR-SYS-LIB: checkpoint: Saved checkpoint of '%s' as '%s'.",
    "ZOR-SYS-LIB: checkpoint: Failed to save checkpoint of '%s' as '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kRestart{
    ZOR_TOOL_SYS " " ZOR_VERB_RESTART " " ZOR_OPTION_NAME " ",
    "ZOR-SYS-LIB: restart: Restarted '%s' from '%s'.",
    "ZOR-SYS-LIB: restart: Failed to restart '%s' from '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kRemoveCheckpoint{
    "sudo " ZOR_TOOL_SYS " " ZOR_VERB_REMOVE " " ZOR_OPTION_CHECKPOINT " " ZOR_OPTION_NAME " ",
    "ZOR-SYS-LIB: remove: Removed checkpoint '%s' of '%s'.",
    "ZOR-SYS-LIB: remove: Failed to remove checkpoint '%s' of '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_checkpoint(zor_sys_handle *handle, const char *checkpoint) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kCheckpoint.perform({__LINE__, __func__},
                               {text(name), option(" " ZOR_OPTION_TAG " ", checkpoint)}, name,
                               checkpoint);
}

int zor_sys_restart(zor_sys_handle *handle, const char *checkpoint) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kRestart.perform({__LINE__, __func__},
                            {text(name), option(" " ZOR_OPTION_TAG " ", checkpoint)}, name,
                            checkpoint);
}

int zor_sys_remove_checkpoint(zor_sys_handle *handle, const char *checkpoint) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kRemoveCheckpoint.perform({__LINE__, __func__},
                                     {text(name), option(" " ZOR_OPTION_TAG " ", checkpoint)},
                                     checkpoint, name);
}

}  // extern "C"
