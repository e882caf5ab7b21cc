// Snapshots of a system container: saving, loading, removing and committing one.
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

// Outcome lines: the container before the snapshot when saving, after it otherwise. The
// commit names the container, never the base image.
constexpr frame::Operation<Name, Name> kSave{
    "sudo zor-sys save -n ", "ZOR-SYS-LIB: save: Saved snapshot of '%s' as '%s'.",
    "ZOR-SYS-LIB: save: Failed to save snapshot of '%s' as '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kLoad{
    "sudo zor-sys load -n ", "ZOR-SYS-LIB: load: Loaded snapshot '%s' of '%s'.",
    "ZOR-SYS-LIB: load: Failed to load snapshot '%s' of '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kRemove{
    "sudo zor-sys remove --snapshot -n ", "ZOR-SYS-LIB: remove: Removed snapshot '%s' of '%s'.",
    "ZOR-SYS-LIB: remove: Failed to remove snapshot '%s' of '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kCommit{
    "sudo zor-sys commit -n ", "ZOR-SYS-LIB: commit: Committed snapshot '%s' to '%s'.",
    "ZOR-SYS-LIB: commit: Failed to commit snapshot '%s' to '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_save_snapshot(zor_sys_handle *handle, const char *snapshot) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kSave.perform({__LINE__, __func__}, {text(name), option(" -t ", snapshot)}, name,
                         snapshot);
}

int zor_sys_load_snapshot(zor_sys_handle *handle, const char *snapshot) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kLoad.perform({__LINE__, __func__}, {text(name), option(" -t ", snapshot)}, snapshot,
                         name);
}

int zor_sys_remove_snapshot(zor_sys_handle *handle, const char *snapshot) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kRemove.perform({__LINE__, __func__}, {text(name), option(" -t ", snapshot)}, snapshot,
                           name);
}

int zor_sys_commit_snapshot(zor_sys_handle *handle, const char *snapshot,
                            const char *base) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kCommit.perform({__LINE__, __func__},
                           {text(name), option(" -t ", snapshot), option(" -b ", base)}, snapshot,
                           name);
}

}  // extern "C"
