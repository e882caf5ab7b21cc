// Numbers that the tool prints: decimal by the strtol rules, cut to 32 bits.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace zorsys {

// Leading blanks and a sign are allowed, reading stops at the first non-digit, no digits
// give 0; the value is cut to its low 32 bits as the tool's numbers are 32-bit.
inline std::int32_t number_of(const char *digits) noexcept {
    const long value = std::strtol(digits, nullptr, 10);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<unsigned long>(value)));
}

}  // namespace zorsys
