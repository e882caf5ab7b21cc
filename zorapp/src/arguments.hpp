// Small readings of the arguments that several operations share.
#pragma once

#include <zorapp.h>

#include <cstdint>
#include <cstdlib>

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

// A decimal number by the strtol rules (leading blanks, a sign, digits up to the first other
// character; no digits give 0), cut to 32 bits.
inline std::int32_t number_of(const char *digits) noexcept {
    const long value = std::strtol(digits, nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

}  // namespace zorapp
