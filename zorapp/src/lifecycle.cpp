// Application-container handles and their life cycle: create, destroy, open, close, start,
// stop, and the status and process-number queries.
#include <zorapp.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "handle_lifecycle.hpp"
#include "outcome_line.hpp"

#include <cstdint>

namespace zorapp {

// The frame's codes are the ones the public header names.
static_assert(frame::kMissing == ZOR_APP_EMISSING && frame::kTooLong == ZOR_APP_ETOOLONG);

namespace {

using frame::is_given;
using frame::name_of;
using frame::option;
using frame::required;
using frame::text;
using frame::when;
using Name = const char *;

// Only a container of this type passes the configuration's options to the tool.
constexpr std::int32_t kOptionsType = 1;
// The info line that carries the type number holds this marker; a bare "TYPE" does not count.
constexpr char kTypeMarker[] = "CONTAINER_TYPE";

constexpr frame::Operation<Name> kCreate{"sudo zor-app create -n ",
                                         "ZOR-APP-LIB: create: Created application container '%s'.",
                                         "ZOR-APP-LIB: create: Failed to create '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kDestroy{
    "sudo zor-app destroy -n ", "ZOR-APP-LIB: destroy: Destroyed application container '%s'.",
    "ZOR-APP-LIB: destroy: Failed to destroy '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kStart{"sudo zor-app start -n ",
                                        "ZOR-APP-LIB: start: Started application container '%s'.",
                                        "ZOR-APP-LIB: start: Failed to start '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kStop{"sudo zor-app stop -n ",
                                       "ZOR-APP-LIB: stop: Stopped application container '%s'.",
                                       "ZOR-APP-LIB: stop: Failed to stop '%s'. (ErrNo=%d)"};

constexpr char kSearchPrefix[] = "sudo zor-app search -n ";
constexpr char kInfoPrefix[] = "sudo zor-app info -n ";
constexpr frame::Outcome<Name> kOpen{
    "ZOR-APP-LIB: open: Opened handler of '%s'.",
    "ZOR-APP-LIB: open: Failed to open handler of '%s'. (ErrNo=%d)"};

constexpr frame::Outcome<Name> kClose{
    "ZOR-APP-LIB: close: Closed handler of '%s'.",
    "ZOR-APP-LIB: close: Failed to close handler of '%s'. (ErrNo=%d)"};

constexpr char kStatusPrefix[] = "sudo zor-app status -n ";
constexpr frame::FailureText<Name> kStatusFailed{
    "ZOR-APP-LIB: status: Failed to get status of '%s'. (ErrNo=%d)"};

constexpr char kPidPrefix[] = "sudo zor-app getpid -n ";
constexpr frame::SuccessText<Name, int> kPidIs{"ZOR-APP-LIB: getpid: PID of '%s' is %d."};
constexpr frame::FailureText<Name> kPidFailed{
    "ZOR-APP-LIB: getpid: Failed to get PID of '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorapp

extern "C" {

int zor_app_create_container(const char *name, const zor_app_config *config) noexcept {
    using namespace zorapp;
    const zor_app_config none{};
    const zor_app_config &options = config != nullptr ? *config : none;
    const bool passes_options = options.type == kOptionsType;
    return kCreate.perform(
        {__LINE__, __func__},
        {required(config), text(name),
         when(passes_options && options.opt_p > 0, option(" -p ", options.opt_p)),
         when(passes_options && is_given(options.opt_b), option(" -b ", options.opt_b))},
        name);
}

int zor_app_destroy_container(const char *name) noexcept {
    using namespace zorapp;
    return kDestroy.perform({__LINE__, __func__}, {text(name)}, name);
}

zor_app_handle *zor_app_open(const char *name) noexcept {
    using namespace zorapp;
    return frame::open_handle<zor_app_handle>(
        {__LINE__, __func__}, {kSearchPrefix, kInfoPrefix, kTypeMarker}, kOpen, name);
}

int zor_app_close(zor_app_handle *handle) noexcept {
    using namespace zorapp;
    return frame::close_handle({__LINE__, __func__}, kClose, handle);
}

int zor_app_start(zor_app_handle *handle) noexcept {
    using namespace zorapp;
    return kStart.perform({__LINE__, __func__}, {text(name_of(handle))}, name_of(handle));
}

int zor_app_stop(zor_app_handle *handle) noexcept {
    using namespace zorapp;
    return kStop.perform({__LINE__, __func__}, {text(name_of(handle))}, name_of(handle));
}

int zor_app_get_status(zor_app_handle *handle) noexcept {
    using namespace zorapp;
    return frame::query_status({__LINE__, __func__}, kStatusPrefix, kStatusFailed, name_of(handle));
}

int zor_app_get_pid(zor_app_handle *handle, int32_t *pid) noexcept {
    using namespace zorapp;
    return frame::query_pid({__LINE__, __func__}, kPidPrefix, kPidIs, kPidFailed, name_of(handle),
                            pid);
}

}  // extern "C"
