// Suspending and resuming an application container and its snapshots: save, load, remove,
// commit. The checkpoint entry points exist for symmetry with the system-container library;
// application containers keep no checkpoints, so they do nothing.
#include <zorapp.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"

namespace zorapp {

namespace {

using frame::name_of;
using frame::option;
using frame::text;
using Name = const char *;

constexpr frame::Operation<Name> kSuspend{
    "sudo zor-app suspend -n ", "ZOR-APP-LIB: suspend: Suspended '%s'.",
    "ZOR-APP-LIB: suspend: Failed to suspend '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kResume{"sudo zor-app resume -n ",
                                         "ZOR-APP-LIB: resume: Resumed '%s'.",
                                         "ZOR-APP-LIB: resume: Failed to resume '%s'. (ErrNo=%d)"};
// Container, then snapshot.
constexpr frame::Operation<Name, Name> kSave{
    "sudo zor-app save -n ", "ZOR-APP-LIB: save: Saved snapshot of '%s' as '%s'.",
    "ZOR-APP-LIB: save: Failed to save snapshot of '%s' as '%s'. (ErrNo=%d)"};
// Snapshot, then container.
constexpr frame::Operation<Name, Name> kLoad{
    "sudo zor-app load -n ", "ZOR-APP-LIB: load: Loaded snapshot '%s' of '%s'.",
    "ZOR-APP-LIB: load: Failed to load snapshot '%s' of '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name, Name> kRemove{
    "sudo zor-app remove --snapshot -n ", "ZOR-APP-LIB: remove: Removed snapshot '%s' of '%s'.",
    "ZOR-APP-LIB: remove: Failed to remove snapshot '%s' of '%s'. (ErrNo=%d)"};
// Snapshot, then container; the base name is passed to the tool only.
constexpr frame::Operation<Name, Name> kCommit{
    "sudo zor-app commit -n ", "ZOR-APP-LIB: commit: Committed snapshot '%s' to '%s'.",
    "ZOR-APP-LIB: commit: Failed to commit snapshot '%s' to '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorapp

extern "C" {

int zor_app_suspend(zor_app_handle *handle) noexcept {
    using namespace zorapp;
    const char *name = name_of(handle);
    return kSuspend.perform({__LINE__, __func__}, {text(name)}, name);
}

int zor_app_resume(zor_app_handle *handle) noexcept {
    using namespace zorapp;
    const char *name = name_of(handle);
    return kResume.perform({__LINE__, __func__}, {text(name)}, name);
}

int zor_app_save_snapshot(zor_app_handle *handle, const char *snapshot) noexcept {
    using namespace zorapp;
    const char *name = name_of(handle);
    return kSave.perform({__LINE__, __func__}, {text(name), option(" -t ", snapshot)}, name,
                         snapshot);
}

int zor_app_load_snapshot(zor_app_handle *handle, const char *snapshot) noexcept {
    using namespace zorapp;
    const char *name = name_of(handle);
    return kLoad.perform({__LINE__, __func__}, {text(name), option(" -t ", snapshot)}, snapshot,
                         name);
}

int zor_app_remove_snapshot(zor_app_handle *handle, const char *snapshot) noexcept {
    using namespace zorapp;
    const char *name = name_of(handle);
    return kRemove.perform({__LINE__, __func__}, {text(name), option(" -t ", snapshot)}, snapshot,
                           name);
}

int zor_app_commit_snapshot(zor_app_handle *handle, const char *snapshot,
                            const char *base) noexcept {
    using namespace zorapp;
    const char *name = name_of(handle);
    return kCommit.perform({__LINE__, __func__},
                           {text(name), option(" -t ", snapshot), option(" -b ", base)}, snapshot,
                           name);
}

int zor_app_checkpoint(zor_app_handle * /*handle*/, const char * /*checkpoint*/) noexcept {
    return 0;
}

int zor_app_restart(zor_app_handle * /*handle*/, const char * /*checkpoint*/) noexcept {
    return 0;
}

int zor_app_remove_checkpoint(zor_app_handle * /*handle*/, const char * /*checkpoint*/) noexcept {
    return 0;
}

}  // extern "C"
