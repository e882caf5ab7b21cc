// Small readings of the arguments that several operations share.
#pragma once

#include <zorapp.h>

#include <cstdint>

namespace zorapp {

// The container name of a handle; null for no handle, which the frame refuses as missing
// where a name is required.
inline const char *name_of(const zor_app_handle *handle) noexcept {
    return handle != nullptr ? handle->name : nullptr;
}

// A text option counts only when it is present and not empty.
inline bool is_given(const char *value) noexcept {
    return value != nullptr && value[0] != '\0';
}

}  // namespace zorapp
