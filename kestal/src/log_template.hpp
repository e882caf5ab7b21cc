// Line template expansion of the log facility.
#pragma once

#include <cstddef>

namespace kestal::log {

// Index of each template key in logfmt_keys, which is also its expansion order.
enum TemplateKey : int {
    kKeyFacility,
    kKeyLevel,
    kKeyTime,
    kKeyHost,
    kKeyProgram,
    kKeyPid,
    kKeyMessage,
    kKeyFile,
    kKeyLine,
    kKeyFunction,
    kKeyContainer,
    kKeyCount
};

// A line buffer: at most 1023 characters and the terminator.
constexpr std::size_t kLineSize = 1024;
// The template buffer: at most 255 characters and the terminator.
constexpr std::size_t kTemplateSize = 256;

// Expands tmpl into out (kLineSize bytes, always terminated), with values[i]
// the text of key i. Each pass tries every key once in index order at the current position,
// then copies one plain character; so a key directly after one of an equal or higher index
// is not recognised. What does not fit in 1023 characters is dropped.
void expand_template(const char *tmpl, const char *const (&values)[kKeyCount],
                     char (&out)[kLineSize]) noexcept;

}  // namespace kestal::log
