// The handle operations both client libraries share in shape: open, close and the status and
// process-number queries. Each library passes its own handle type, prefixes, info marker and
// texts; the caller's site keeps the outcome line's source line and function its own.
#pragma once

#include "command_frame.hpp"
#include "decimal_number.hpp"
#include "name_list.hpp"
#include "outcome_line.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ZOR_FRAME_NAMESPACE::frame {

using Name = const char *;

// Exit statuses up to this one are status numbers; above it the query failed.
constexpr int kHighestStatus = 100;

// The type number of an info line: its second field, split at spaces, when the line holds
// the marker; 0 otherwise. The field ends at the next space (a tab is part of it), so it is
// cut there in place before it is read as a number.
inline std::int32_t type_of_info_line(char *line, const char *marker) noexcept {
    if (std::strstr(line, marker) == nullptr) {
        return 0;
    }
    const Field type = second_field(line);
    if (type.text == nullptr) {
        return 0;
    }
    char *const field = line + (type.text - line);
    field[type.length] = '\0';
    return decimal_of(field);
}

template <typename Handle>
Handle *new_handle(const char *name) noexcept {
    auto *handle = static_cast<Handle *>(std::malloc(sizeof(Handle)));
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

// The prefixes and texts of one library's open operation.
struct OpenCommands {
    const char *search_prefix;
    const char *info_prefix;
    const char *type_marker;
};

// Searches for the container, then reads its type from the first info line. A handle is
// returned whenever the search succeeded; the success line only when a type was read.
template <typename Handle>
Handle *open_handle(const Site &site, const OpenCommands &commands, const Outcome<Name> &texts,
                    const char *name) noexcept {
    Command search(commands.search_prefix);
    search.add(text(name));
    const Result searched = run_system(search);
    if (searched.refused) {
        write_failure(site, texts.failure, searched.code, name);
        return nullptr;
    }
    // The tool's own exit status is not passed on: a failed search means "no such container".
    if (searched.code != 0) {
        write_failure(site, texts.failure, kMissing, name);
        return nullptr;
    }

    auto *handle = new_handle<Handle>(name);
    if (handle == nullptr) {
        write_failure(site, texts.failure, kMissing, name);
        return nullptr;
    }

    // Only the first line is read; the query's exit status is not examined.
    Command info(commands.info_prefix);
    info.add(text(name));
    Pipe pipe(info);
    int code = 0;
    if (pipe.is_open()) {
        char line[kBufferSize];
        if (pipe.read_line(line)) {
            handle->type = type_of_info_line(line, commands.type_marker);
        }
        pipe.close();
    } else {
        code = pipe.result().code;
    }
    if (handle->type != 0) {
        write_success(site, texts.success, name);
    } else {
        write_failure(site, texts.failure, code, name);
    }
    return handle;
}

template <typename Handle>
int close_handle(const Site &site, const Outcome<Name> &texts, Handle *handle) noexcept {
    if (handle == nullptr || handle->name == nullptr) {
        std::free(handle);
        write_failure(site, texts.failure, kMissing, "");
        return kMissing;
    }
    // The line is written after the handle is gone, so it shows a copy of the name.
    char name[kBufferSize];
    std::snprintf(name, sizeof name, "%s", handle->name);
    std::free(handle->name);
    std::free(handle);
    write_success(site, texts.success, name);
    return 0;
}

// The status number (the tool's exit status 0 to 100), or the failure's result code.
inline int query_status(const Site &site, const char *prefix, const FailureText<Name> &failed,
                        const char *name) noexcept {
    Command command(prefix);
    command.add(text(name));
    const Result result = run_system(command);
    if (result.refused) {
        return result.code;
    }
    // The result code is the negated exit status, so this is the status number itself.
    const int exit_status = -result.code;
    if (exit_status <= kHighestStatus) {
        return exit_status;
    }
    write_failure(site, failed, result.code, name);
    return result.code;
}

// Reads the main process's number from the first output line into pid.
inline int query_pid(const Site &site, const char *prefix, const SuccessText<Name, int> &found,
                     const FailureText<Name> &failed, const char *name,
                     std::int32_t *pid) noexcept {
    if (pid == nullptr) {
        write_failure(site, failed, kMissing, name);
        return kMissing;
    }
    Command command(prefix);
    command.add(text(name));
    char line[kBufferSize];
    const Result result = run_reading_first_line(command, line);
    if (result.code != 0) {
        write_failure(site, failed, result.code, name);
        return result.code;
    }
    *pid = decimal_of(line);
    write_success(site, found, name, *pid);
    return 0;
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
