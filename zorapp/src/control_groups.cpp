// Control groups of application containers and the processes bound to them, by process
// number or by the number the process has inside its container. The handle is optional: it
// only names the container the group belongs to.
#include <zorapp.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"

#include <cstdint>

namespace zorapp {

namespace {

using frame::container_option;
using frame::option;
using frame::text;
using Name = const char *;

// Create and unbind by process number introduce the group with "-c", the others with "-g":
// the tool's own words, kept as they are.
constexpr frame::Operation<Name> kCreate{
    "sudo zor-app create -c ", "ZOR-APP-LIB: create: Created control group '%s'.",
    "ZOR-APP-LIB: create: Failed to create control group '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kDestroy{
    "sudo zor-app destroy -g ", "ZOR-APP-LIB: destroy: Destroyed control group '%s'.",
    "ZOR-APP-LIB: destroy: Failed to destroy control group '%s'. (ErrNo=%d)"};

constexpr char kBindText[] = "ZOR-APP-LIB: bind: Bound '%d' to '%s'.";
constexpr char kBindFailed[] = "ZOR-APP-LIB: bind: Failed to bind '%d' to '%s'. (ErrNo=%d)";
constexpr char kUnbindText[] = "ZOR-APP-LIB: unbind: Unbound '%d' from '%s'.";
constexpr char kUnbindFailed[] = "ZOR-APP-LIB: unbind: Failed to unbind '%d' from '%s'. (ErrNo=%d)";

// The lines by virtual process number are those by process number, showing the other number.
constexpr frame::Operation<int, Name> kBindPid{"sudo zor-app bind -g ", kBindText, kBindFailed};
constexpr frame::Operation<int, Name> kUnbindPid{"sudo zor-app unbind -c ", kUnbindText,
                                                 kUnbindFailed};
constexpr frame::Operation<int, Name> kBindVpid{"sudo zor-app bind -g ", kBindText, kBindFailed};
constexpr frame::Operation<int, Name> kUnbindVpid{"sudo zor-app unbind -g ", kUnbindText,
                                                  kUnbindFailed};

// The group comes first and is required; then the process option, then the container.
int bind_number(const frame::Operation<int, Name> &operation, const frame::Site &site,
                const zor_app_handle *handle, const char *cgroup, const char *flag,
                std::int32_t number) noexcept {
    return operation.perform(site, {text(cgroup), option(flag, number), container_option(handle)},
                             number, cgroup);
}

}  // namespace

}  // namespace zorapp

extern "C" {

int zor_app_create_cgroup(zor_app_handle *handle, const char *cgroup) noexcept {
    using namespace zorapp;
    return kCreate.perform({__LINE__, __func__}, {text(cgroup), container_option(handle)}, cgroup);
}

int zor_app_destroy_cgroup(zor_app_handle *handle, const char *cgroup) noexcept {
    using namespace zorapp;
    return kDestroy.perform({__LINE__, __func__}, {text(cgroup), container_option(handle)}, cgroup);
}

int zor_app_bind_pid(zor_app_handle *handle, const char *cgroup, int32_t pid) noexcept {
    using namespace zorapp;
    return bind_number(kBindPid, {__LINE__, __func__}, handle, cgroup, " -pid ", pid);
}

int zor_app_unbind_pid(zor_app_handle *handle, const char *cgroup, int32_t pid) noexcept {
    using namespace zorapp;
    return bind_number(kUnbindPid, {__LINE__, __func__}, handle, cgroup, " -pid ", pid);
}

int zor_app_bind_vpid(zor_app_handle *handle, const char *cgroup, int32_t vpid) noexcept {
    using namespace zorapp;
    return bind_number(kBindVpid, {__LINE__, __func__}, handle, cgroup, " -vpid ", vpid);
}

int zor_app_unbind_vpid(zor_app_handle *handle, const char *cgroup, int32_t vpid) noexcept {
    using namespace zorapp;
    return bind_number(kUnbindVpid, {__LINE__, __func__}, handle, cgroup, " -vpid ", vpid);
}

}  // extern "C"
