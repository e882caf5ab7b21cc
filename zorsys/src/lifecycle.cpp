// System-container handles and their life cycle: create, destroy, open, close, start, stop,
// and the status and process-number queries.
#include <zorsys.h>

#include "command_frame.hpp"
#include "decimal_number.hpp"
#include "handle_name.hpp"
#include "outcome_line.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zorsys {

namespace {

using frame::option;
using frame::required;
using frame::text;
using frame::when;
using Name = const char *;

// Only a container of this type passes the configuration's options to the tool.
constexpr std::int32_t kOptionsType = 100;
// Exit statuses up to this one are status numbers; above it the query failed.
constexpr int kHighestStatus = 100;
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

bool is_given(const char *value) noexcept {
    return value != nullptr && value[0] != '\0';
}

// The type number of an info line: the second field, split at spaces, of a line that holds
// the marker; 0 otherwise. The field ends at the next space, so it is cut there in place.
std::int32_t type_of_info_line(char *line) noexcept {
    if (std::strstr(line, kTypeMarker) == nullptr) {
        return 0;
    }
    char *at = line;
    while (*at == ' ') {
        ++at;
    }
    while (*at != ' ' && *at != '\0') {
        ++at;
    }
    while (*at == ' ') {
        ++at;
    }
    if (*at == '\0') {
        return 0;
    }
    char *end = std::strchr(at, ' ');
    if (end != nullptr) {
        *end = '\0';
    }
    return number_of(at);
}

zor_sys_handle *new_handle(const char *name) noexcept {
    auto *handle = static_cast<zor_sys_handle *>(std::malloc(sizeof(zor_sys_handle)));
    if (handle == nullptr) {
        return nullptr;
    }
    const std::size_t size = std::strlen(name) + 1;
    handle->type = 0;
    handle->name = static_cast<char *>(std::malloc(size));
    if (handle->name == nullptr) {
        std::free(handle);
        return nullptr;
    }
    std::memcpy(handle->name, name, size);
    return handle;
}

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
    const frame::Site site{__LINE__, __func__};

    frame::Command search(kSearchPrefix);
    search.add(text(name));
    const frame::Result searched = frame::run_system(search);
    if (searched.refused) {
        frame::write_failure(site, kOpen.failure, searched.code, name);
        return nullptr;
    }
    // The tool's own exit status is not passed on: a failed search means "no such container".
    if (searched.code != 0) {
        frame::write_failure(site, kOpen.failure, frame::kMissing, name);
        return nullptr;
    }

    zor_sys_handle *handle = new_handle(name);
    if (handle == nullptr) {
        frame::write_failure(site, kOpen.failure, frame::kMissing, name);
        return nullptr;
    }

    // Only the first line is read; the query's exit status is not examined.
    frame::Command info(kInfoPrefix);
    info.add(text(name));
    frame::Pipe pipe(info);
    int code = 0;
    if (pipe.is_open()) {
        char line[frame::kBufferSize];
        if (pipe.read_line(line)) {
            handle->type = type_of_info_line(line);
        }
        pipe.close();
    } else {
        code = pipe.result().code;
    }
    if (handle->type != 0) {
        frame::write_success(site, kOpen.success, name);
    } else {
        frame::write_failure(site, kOpen.failure, code, name);
    }
    return handle;
}

int zor_sys_close(zor_sys_handle *handle) noexcept {
    using namespace zorsys;
    const frame::Site site{__LINE__, __func__};
    if (handle == nullptr || handle->name == nullptr) {
        std::free(handle);
        frame::write_failure(site, kClose.failure, frame::kMissing, "");
        return frame::kMissing;
    }
    // The line is written after the handle is gone, so it shows a copy of the name.
    char name[frame::kBufferSize];
    std::snprintf(name, sizeof name, "%s", handle->name);
    std::free(handle->name);
    std::free(handle);
    frame::write_success(site, kClose.success, name);
    return 0;
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
    const char *name = name_of(handle);
    frame::Command command(kStatusPrefix);
    command.add(text(name));
    const frame::Result result = frame::run_system(command);
    if (result.refused) {
        return result.code;
    }
    // The result code is the negated exit status, so this is the status number itself.
    const int exit_status = -result.code;
    if (exit_status <= kHighestStatus) {
        return exit_status;
    }
    frame::write_failure({__LINE__, __func__}, kStatusFailed, result.code, name);
    return result.code;
}

int zor_sys_get_pid(zor_sys_handle *handle, int32_t *pid) noexcept {
    using namespace zorsys;
    const frame::Site site{__LINE__, __func__};
    const char *name = name_of(handle);
    if (pid == nullptr) {
        frame::write_failure(site, kPidFailed, frame::kMissing, name);
        return frame::kMissing;
    }
    frame::Command command(kPidPrefix);
    command.add(text(name));
    char line[frame::kBufferSize];
    const frame::Result result = frame::run_reading_first_line(command, line);
    if (result.code != 0) {
        frame::write_failure(site, kPidFailed, result.code, name);
        return result.code;
    }
    *pid = number_of(line);
    frame::write_success(site, kPidIs, name, *pid);
    return 0;
}

}  // extern "C"
