// Checkpoints of a system container: taking one, restarting from one, removing one.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"

namespace zorsys {

namespace {

using frame::name_of;
using frame::option;
using frame::text;
using Name = const char *;

// Taking a checkpoint and restarting from it run the tool with the caller's own rights.
// Outcome lines: the container before the checkpoint, except in the removal's.
constexpr frame::Operation<Name, Name> kCheckpoint{
    "zor-sys checkpoint -n ", "ZOR-SYS-LIB: checkpoint: Saved checkpoint of '%s' as '%s'.",
    "ZOR-SYS-LIB: checkpoint: Failed to save checkpoint of '%s' as '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kRestart{
    "zor-sys restart -n ", "ZOR-SYS-LIB: restart: Restarted '%s' from '%s'.",
    "ZOR-SYS-LIB: restart: Failed to restart '%s' from '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kRemoveCheckpoint{
    "sudo zor-sys remove --checkpoint -n ", "ZOR-SYS-LIB: remove: Removed checkpoint '%s' of '%s'.",
    "ZOR-SYS-LIB: remove: Failed to remove checkpoint '%s' of '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_checkpoint(zor_sys_handle *handle, const char *checkpoint) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kCheckpoint.perform({__LINE__, __func__}, {text(name), option(" -t ", checkpoint)}, name,
                               checkpoint);
}

int zor_sys_restart(zor_sys_handle *handle, const char *checkpoint) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kRestart.perform({__LINE__, __func__}, {text(name), option(" -t ", checkpoint)}, name,
                            checkpoint);
}

int zor_sys_remove_checkpoint(zor_sys_handle *handle, const char *checkpoint) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kRemoveCheckpoint.perform({__LINE__, __func__}, {text(name), option(" -t ", checkpoint)},
                                     checkpoint, name);
}

}  // extern "C"
