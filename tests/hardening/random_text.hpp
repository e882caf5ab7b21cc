// Random caller texts for the injection tests: bytes 1 to 255, weighted towards what a
// shell reacts to (metacharacters, quotes, backslashes, newlines, substitutions, globs,
// tildes, redirections) and towards lengths around the 1023-character bound.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace hardening {

class TextSource {
public:
    explicit TextSource(std::uint64_t seed) : random_(seed) {}

    // A short text, 0 to about 40 bytes.
    std::string short_text();
    // A text of 880 to 1040 bytes, so that commands land on both sides of the bound.
    std::string long_text();
    // A number as callers pass them: 0, signs, the extremes, anything.
    int number();
    unsigned next() { return static_cast<unsigned>(random_()); }

private:
    void add_piece(std::string &text);

    std::mt19937_64 random_;
};

}  // namespace hardening
