// Registering processes with an application container, by process number or by the number
// the process has inside the container. The handle is required; the outcome lines show only
// the number.
#include <zorapp.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"

#include <cstdint>

namespace zorapp {

namespace {

using frame::name_of;
using frame::option;
using frame::text;

constexpr char kRegisterPrefix[] = "sudo zor-app register -n ";
constexpr char kUnregisterPrefix[] = "sudo zor-app unregister -n ";
constexpr char kRegistered[] = "ZOR-APP-LIB: register: Registered '%d'.";
constexpr char kRegisterFailed[] = "ZOR-APP-LIB: register: Failed to register '%d'. (ErrNo=%d)";
constexpr char kUnregistered[] = "ZOR-APP-LIB: unregister: Unregistered '%d'.";
constexpr char kUnregisterFailed[] =
    "ZOR-APP-LIB: unregister: Failed to unregister '%d'. (ErrNo=%d)";

constexpr frame::Operation<int> kRegister{kRegisterPrefix, kRegistered, kRegisterFailed};
constexpr frame::Operation<int> kUnregister{kUnregisterPrefix, kUnregistered, kUnregisterFailed};

// The container name right after the prefix, then the process option.
int perform(const frame::Operation<int> &operation, const frame::Site &site,
            const zor_app_handle *handle, const char *flag, std::int32_t number) noexcept {
    return operation.perform(site, {text(name_of(handle)), option(flag, number)}, number);
}

}  // namespace

}  // namespace zorapp

extern "C" {

int zor_app_register_pid(zor_app_handle *handle, int32_t pid) noexcept {
    using namespace zorapp;
    return perform(kRegister, {__LINE__, __func__}, handle, " -pid ", pid);
}

int zor_app_unregister_pid(zor_app_handle *handle, int32_t pid) noexcept {
    using namespace zorapp;
    return perform(kUnregister, {__LINE__, __func__}, handle, " -pid ", pid);
}

int zor_app_register_vpid(zor_app_handle *handle, int32_t vpid) noexcept {
    using namespace zorapp;
    return perform(kRegister, {__LINE__, __func__}, handle, " -vpid ", vpid);
}

int zor_app_unregister_vpid(zor_app_handle *handle, int32_t vpid) noexcept {
    using namespace zorapp;
    return perform(kUnregister, {__LINE__, __func__}, handle, " -vpid ", vpid);
}

}  // extern "C"
