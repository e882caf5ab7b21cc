// How operations of both client libraries read their arguments: a handle's container name,
// the container option that follows a handle, and whether a text option was given.
#pragma once

#include "command_frame.hpp"

namespace ZOR_FRAME_NAMESPACE::frame {

// The flag that precedes a container name in the tools' commands.
constexpr char kContainerFlag[] = " -n ";

// The container name of a handle (a zor_sys_handle or zor_app_handle); null for no handle,
// so that a missing handle refuses a command like a missing name does.
template <typename Handle>
const char *name_of(const Handle *handle) noexcept {
    return handle != nullptr ? handle->name : nullptr;
}

// The container option, present only when a handle is given; a handle without a name
// refuses the command.
template <typename Handle>
Piece container_option(const Handle *handle) noexcept {
    return when(handle != nullptr, option(kContainerFlag, name_of(handle)));
}

// A text option counts only when it is present and not empty.
inline bool is_given(const char *value) noexcept {
    return value != nullptr && value[0] != '\0';
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
