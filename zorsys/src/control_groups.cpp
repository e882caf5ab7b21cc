// Control groups: creating and destroying one, and binding a process to one and unbinding
// it, optionally for the container of a handle.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"

#include <cstdint>

namespace zorsys {

namespace {

using frame::container_option;
using frame::option;
using frame::text;
using Name = const char *;

// The lines name the control group, never the container.
constexpr frame::Operation<Name> kCreate{
    "sudo zor-sys create -g ", "ZOR-SYS-LIB: create: Created control group '%s'.",
    "ZOR-SYS-LIB: create: Failed to create control group '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kDestroy{
    "sudo zor-sys destroy -g ", "ZOR-SYS-LIB: destroy: Destroyed control group '%s'.",
    "ZOR-SYS-LIB: destroy: Failed to destroy control group '%s'. (ErrNo=%d)"};
constexpr frame::Operation<int, Name> kBind{
    "sudo zor-sys bind -g ", "ZOR-SYS-LIB: bind: Bound '%d' to '%s'.",
    "ZOR-SYS-LIB: bind: Failed to bind '%d' to '%s'. (ErrNo=%d)"};
constexpr frame::Operation<int, Name> kUnbind{
    "sudo zor-sys unbind -g ", "ZOR-SYS-LIB: unbind: Unbound '%d' from '%s'.",
    "ZOR-SYS-LIB: unbind: Failed to unbind '%d' from '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_create_cgroup(zor_sys_handle *handle, const char *cgroup) noexcept {
    using namespace zorsys;
    return kCreate.perform({__LINE__, __func__}, {text(cgroup), container_option(handle)}, cgroup);
}

int zor_sys_destroy_cgroup(zor_sys_handle *handle, const char *cgroup) noexcept {
    using namespace zorsys;
    return kDestroy.perform({__LINE__, __func__}, {text(cgroup), container_option(handle)}, cgroup);
}

int zor_sys_bind_pid(zor_sys_handle *handle, const char *cgroup, int32_t pid) noexcept {
    using namespace zorsys;
    return kBind.perform({__LINE__, __func__},
                         {text(cgroup), option(" -pid ", pid), container_option(handle)}, pid,
                         cgroup);
}

int zor_sys_unbind_pid(zor_sys_handle *handle, const char *cgroup, int32_t pid) noexcept {
    using namespace zorsys;
    return kUnbind.perform({__LINE__, __func__},
                           {text(cgroup), option(" -pid ", pid), container_option(handle)}, pid,
                           cgroup);
}

}  // extern "C"
