// Decimal numbers in the tools' output, read the same way by both client libraries.
#pragma once

#include "frame_settings.hpp"

#include <cstdint>
#include <cstdlib>

namespace ZOR_FRAME_NAMESPACE::frame {

// A decimal number by the strtol rules (leading blanks, a sign, digits up to the first other
// character; no digits give 0), cut to 32 bits.
inline std::int32_t decimal_of(const char *digits) noexcept {
    const long value = std::strtol(digits, nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
