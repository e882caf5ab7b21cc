// The container name of a handle, or null for no handle, so that a missing handle refuses a
// command like a missing name does.
#pragma once

#include <zorsys.h>

namespace zorsys {

inline const char *name_of(const zor_sys_handle *handle) noexcept {
    return handle != nullptr ? handle->name : nullptr;
}

}  // namespace zorsys
