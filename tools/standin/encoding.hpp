// The text form of the stand-ins' record and script files. Arguments and outputs may hold
// any byte but NUL, so each is written percent-encoded: a blank, a control byte, a byte
// above 0x7E and "%" itself become "%HH", everything else stays as it is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace standin {

std::string encode(std::string_view text);

// Decodes what encode() wrote; a "%" not followed by two hex digits stays as it is.
std::string decode(std::string_view text);

// Splits a line at every single blank (two blanks enclose an empty field).
std::vector<std::string> split_fields(std::string_view line);

// Whether text begins with start.
bool starts_with(std::string_view text, std::string_view start);

}  // namespace standin
