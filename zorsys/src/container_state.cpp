// Suspending and resuming a system container, and sharing it and ending the sharing.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"

namespace zorsys {

namespace {

using frame::name_of;
using Name = const char *;

constexpr frame::Operation<Name> kSuspend{
    "sudo zor-sys suspend -n ", "ZOR-SYS-LIB: suspend: Suspended '%s'.",
    "ZOR-SYS-LIB: suspend: Failed to suspend '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kResume{"sudo zor-sys resume -n ",
                                         "ZOR-SYS-LIB: resume: Resumed '%s'.",
                                         "ZOR-SYS-LIB: resume: Failed to resume '%s'. (ErrNo=%d)"};
// Sharing runs the tool with the caller's own rights.
constexpr frame::Operation<Name> kShare{"zor-sys share -n ", "ZOR-SYS-LIB: share: Shared '%s'.",
                                        "ZOR-SYS-LIB: share: Failed to share '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kUnshare{
    "zor-sys unshare -n ", "ZOR-SYS-LIB: unshare: Unshared '%s'.",
    "ZOR-SYS-LIB: unshare: Failed to unshare '%s'. (ErrNo=%d)"};

int perform_on(const frame::Operation<Name> &operation, const frame::Site &site,
               const zor_sys_handle *handle) noexcept {
    const char *name = name_of(handle);
    return operation.perform(site, {frame::text(name)}, name);
}

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_suspend(zor_sys_handle *handle) noexcept {
    return zorsys::perform_on(zorsys::kSuspend, {__LINE__, __func__}, handle);
}

int zor_sys_resume(zor_sys_handle *handle) noexcept {
    return zorsys::perform_on(zorsys::kResume, {__LINE__, __func__}, handle);
}

int zor_sys_share(zor_sys_handle *handle) noexcept {
    return zorsys::perform_on(zorsys::kShare, {__LINE__, __func__}, handle);
}

int zor_sys_unshare(zor_sys_handle *handle) noexcept {
    return zorsys::perform_on(zorsys::kUnshare, {__LINE__, __func__}, handle);
}

}  // extern "C"
