// System-container handles and their life cycle: create, destroy, open, close, start, stop,
// and the status and process-number queries.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "handle_lifecycle.hpp"
#include "outcome_line.hpp"

#include <cstdint>

namespace zorsys {

// The frame's codes are the ones the public header names.
static_assert(frame::kMissing == ZOR_SYS_EMISSING && frame::kTooLong == ZOR_SYS_ETOOLONG);

namespace {

using frame::is_given;
using frame::name_of;
using frame::option;
using frame::required;
using frame::text;
using frame::when;
using Name = const char *;

// Only a container of this type passes the configuration's options to the tool.
constexpr std::int32_t kOptionsType = 100;
// The info line that carries the type number holds this marker.
constexpr char kTypeMarker[] = "TYPE";

constexpr frame::Operation<Name> kCreate{"sudo zor-sys create -n ",
                                         "ZOR-SYS-LIB: create: Created system container '%s'.",
                                         "ZOR-SYS-LIB: create: Failed to create '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kDestroy{
    "sudo zor-sys destroy -n ", "ZOR-SYS-LIB: destroy: Destroyed system container '%s'.",
    "ZOR-SYS-LIB: destroy: Failed to destroy '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kStart{"sudo zor-sys start -n ",
                                        "ZOR-SYS-LIB: start: Started system container '%s'.",
                                        "ZOR-SYS-LIB: start: Failed to start '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kStop{"sudo zor-sys stop -n ",
                                       "ZOR-SYS-LIB: stop: Stopped system container '%s'.",
                                       "ZOR-SYS-LIB: stop: Failed to stop '%s'. (ErrNo=%d)"};

constexpr char kSearchPrefix[] = "sudo zor-sys search -n ";
constexpr char kInfoPrefix[] = "sudo zor-sys info -n ";
constexpr frame::Outcome<Name> kOpen{
    "ZOR-SYS-LIB: open: Opened handler of '%s'.",
    "ZOR-SYS-LIB: open: Failed to open handler of '%s'. (ErrNo=%d)"};

constexpr frame::Outcome<Name> kClose{
    "ZOR-SYS-LIB: close: Closed handler of '%s'.",
    "ZOR-SYS-LIB: close: Failed to close handler of '%s'. (ErrNo=%d)"};

constexpr char kStatusPrefix[] = "sudo zor-sys status -n ";
constexpr frame::FailureText<Name> kStatusFailed{
    "ZOR-SYS-LIB: status: Failed to get status of '%s'. (ErrNo=%d)"};

constexpr char kPidPrefix[] = "sudo zor-sys getpid -n ";
constexpr frame::SuccessText<Name, int> kPidIs{"ZOR-SYS-LIB: getpid: PID of '%s' is %d."};
constexpr frame::FailureText<Name> kPidFailed{
    "ZOR-SYS-LIB: getpid: Failed to get PID of '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_create_container(const char *name, const zor_sys_config *config) noexcept {
    using namespace zorsys;
    const zor_sys_config none{};
    const zor_sys_config &options = config != nullptr ? *config : none;
    const bool passes_options = options.type == kOptionsType;
    return kCreate.perform(
        {__LINE__, __func__},
        {required(config), text(name),
         when(passes_options && options.opt_m > 0, option(" -m ", options.opt_m)),
         when(passes_options && is_given(options.opt_b), option(" -b ", options.opt_b)),
         when(passes_options && is_given(options.opt_f), option(" -f ", options.opt_f))},
        name);
}

int zor_sys_destroy_container(const char *name) noexcept {
    using namespace zorsys;
    return kDestroy.perform({__LINE__, __func__}, {text(name)}, name);
}

zor_sys_handle *zor_sys_open(const char *name) noexcept {
    using namespace zorsys;
    return frame::open_handle<zor_sys_handle>(
        {__LINE__, __func__}, {kSearchPrefix, kInfoPrefix, kTypeMarker}, kOpen, name);
}

int zor_sys_close(zor_sys_handle *handle) noexcept {
    using namespace zorsys;
    return frame::close_handle({__LINE__, __func__}, kClose, handle);
}

int zor_sys_start(zor_sys_handle *handle) noexcept {
    using namespace zorsys;
    return kStart.perform({__LINE__, __func__}, {text(name_of(handle))}, name_of(handle));
}

int zor_sys_stop(zor_sys_handle *handle) noexcept {
    using namespace zorsys;
    return kStop.perform({__LINE__, __func__}, {text(name_of(handle))}, name_of(handle));
}

int zor_sys_get_status(zor_sys_handle *handle) noexcept {
    using namespace zorsys;
    return frame::query_status({__LINE__, __func__}, kStatusPrefix, kStatusFailed, name_of(handle));
}

int zor_sys_get_pid(zor_sys_handle *handle, int32_t *pid) noexcept {
    using namespace zorsys;
    return frame::query_pid({__LINE__, __func__}, kPidPrefix, kPidIs, kPidFailed, name_of(handle),
                            pid);
}

}  // extern "C"
