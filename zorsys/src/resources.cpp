// Resource limits and usage of a system container: setting and lifting a limit, and reading
// how much of a resource the container uses.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "decimal_number.hpp"
#include "outcome_line.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zorsys {

namespace {

using frame::name_of;
using frame::option;
using frame::required;
using frame::when;
using Name = const char *;

// The commands of one resource kind; the limit's value follows its prefix after a blank.
struct ResourceKind {
    const char *limit;
    const char *unlimit;
    const char *usage;
};

constexpr std::int32_t kCpu = 1;
constexpr std::int32_t kCore = 2;
constexpr std::int32_t kMem = 3;
constexpr std::int32_t kMemsw = 4;

constexpr ResourceKind kKinds[] = {
    {nullptr, nullptr, nullptr},
    {"sudo zor-sys limit --cpu", "sudo zor-sys unlimit --cpu", "sudo zor-sys usage --cpu"},
    {"sudo zor-sys limit --core", "sudo zor-sys unlimit --core", "sudo zor-sys usage --core"},
    {"sudo zor-sys limit --mem", "sudo zor-sys unlimit --mem", "sudo zor-sys usage --mem"},
    {"sudo zor-sys limit --memsw", "sudo zor-sys unlimit --memsw", "sudo zor-sys usage --memsw"},
};

// The kind of a record's type; a type outside 1 to 4 has none, so its command would be
// options without a verb, and the operation refuses it as a missing argument instead.
const ResourceKind *kind_of(std::int32_t type) noexcept {
    if (type < kCpu || type > kMemsw) {
        return nullptr;
    }
    return &kKinds[type];
}

// The success lines name the container, the failure lines of set and unset the group.
constexpr frame::SuccessText<Name> kLimited{
    "ZOR-SYS-LIB: limit: Set limitation of resource usage '%s'."};
constexpr frame::FailureText<Name> kLimitFailed{
    "ZOR-SYS-LIB: limit: Failed to set limitation of resource usage '%s'. (ErrNo=%d)"};
constexpr frame::SuccessText<Name> kUnlimited{
    "ZOR-SYS-LIB: unlimit: Unset limitation of resource usage '%s'."};
constexpr frame::FailureText<Name> kUnlimitFailed{
    "ZOR-SYS-LIB: unlimit: Failed to unset limitation of resource usage '%s'. (ErrNo=%d)"};
constexpr frame::FailureText<Name> kUsageFailed{
    "ZOR-SYS-LIB: usage: Failed to get resource usage of '%s'. (ErrNo=%d)"};

// The value that set writes after the prefix.
frame::Piece limit_value(const zor_sys_resource &resource) noexcept {
    switch (resource.type) {
    case kCore:
        return option(" ", resource.value.core);
    case kMemsw:
        return option(" ", resource.value.memsw);
    case kCpu:
    case kMem:
    default:
        return option(" ", resource.value.cpu);
    }
}

// Set and unset: every refusal and every run writes its line.
int change_limit(const frame::Site &site, const char *prefix, bool with_value,
                 const char *group_flag, const zor_sys_handle *handle, const char *cgroup,
                 const char *app_name, const zor_sys_resource &resource,
                 const frame::SuccessText<Name> &success,
                 const frame::FailureText<Name> &failure) noexcept {
    frame::Command command(prefix != nullptr ? prefix : "");
    command.add(required(handle))
        .add(required(prefix))
        .add(when(with_value, limit_value(resource)))
        .add(option(" -n ", name_of(handle)))
        .add(when(app_name != nullptr, option(" -a ", app_name)))
        .add(when(cgroup != nullptr, option(group_flag, cgroup)));
    const frame::Result result = frame::run_system(command);
    if (result.code == 0) {
        frame::write_success(site, success, name_of(handle));
    } else {
        frame::write_failure(site, failure, result.code, cgroup);
    }
    return result.code;
}

// The core text that get hands out lives here until the thread's next get.
thread_local char core_text[frame::kBufferSize];

void fill(zor_sys_resource &resource, const char *line) noexcept {
    switch (resource.type) {
    case kCore:
        std::memcpy(core_text, line, frame::kBufferSize);
        resource.value.core = core_text;
        break;
    case kMemsw:
        resource.value.memsw = frame::decimal_of(line);
        break;
    case kCpu:
    case kMem:
    default:
        resource.value.cpu = frame::decimal_of(line);
        break;
    }
}

int read_usage(const zor_sys_handle *handle, std::int32_t pid, const char *app_name,
               zor_sys_resource *resource) noexcept {
    const ResourceKind *kind = resource != nullptr ? kind_of(resource->type) : nullptr;
    frame::Command command(kind != nullptr ? kind->usage : "");
    command.add(required(handle))
        .add(required(kind))
        .add(option(" -n ", name_of(handle)))
        .add(when(app_name != nullptr, option(" -a ", app_name)))
        .add(when(pid > 0, option(app_name != nullptr ? " -vpid " : " -pid ", pid)));
    char run[frame::kBufferSize];
    const int escaped = command.escape_into(run, 0);
    if (escaped != 0) {
        return escaped;
    }
    std::puts(run);
    frame::Pipe pipe(command);
    if (!pipe.is_open()) {
        return pipe.result().code;
    }
    char line[frame::kBufferSize] = {};
    if (!pipe.read_line(line)) {
        line[0] = '\0';
    }
    const int code = pipe.close();
    std::printf("%d\n", code);
    if (code == 0 && resource != nullptr) {
        fill(*resource, line);
    }
    return code;
}

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_set_resource(zor_sys_handle *handle, const char *cgroup, const char *app_name,
                         zor_sys_resource resource) noexcept {
    using namespace zorsys;
    const ResourceKind *kind = kind_of(resource.type);
    return change_limit({__LINE__, __func__}, kind != nullptr ? kind->limit : nullptr, true, " -g ",
                        handle, cgroup, app_name, resource, kLimited, kLimitFailed);
}

int zor_sys_unset_resource(zor_sys_handle *handle, const char *cgroup, const char *app_name,
                           zor_sys_resource resource) noexcept {
    using namespace zorsys;
    const ResourceKind *kind = kind_of(resource.type);
    return change_limit({__LINE__, __func__}, kind != nullptr ? kind->unlimit : nullptr, false,
                        " -c ", handle, cgroup, app_name, resource, kUnlimited, kUnlimitFailed);
}

int zor_sys_get_resource(zor_sys_handle *handle, int32_t pid, const char *app_name,
                         zor_sys_resource *resource) noexcept {
    using namespace zorsys;
    const int code = read_usage(handle, pid, app_name, resource);
    if (code != 0) {
        frame::write_failure({__LINE__, __func__}, kUsageFailed, code, name_of(handle));
    }
    return code;
}

}  // extern "C"
