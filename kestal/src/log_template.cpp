// Line template expansion and the exported key table.
#include "log_template.hpp"

#include <kestal.h>

#include <cstring>
#include <string_view>

namespace kestal::log {
namespace {

// The key texts in index order; the exported table and the expansion both read them here.
constexpr std::string_view kKeyNames[kKeyCount] = {
    "%faci%", "%lvl%",  "%time%", "%host%", "%prog%", "%pid%",
    "%msg%",  "%file%", "%line%", "%func%", "%cont%",
};

constexpr kestal_code key_record(int key) {
    // The platform's record type has a non-const name member; callers treat it as read-only.
    return {const_cast<char *>(kKeyNames[key].data()), key};
}

}  // namespace
}  // namespace kestal::log

extern "C" {
kestal_code logfmt_keys[] = {
    kestal::log::key_record(kestal::log::kKeyFacility),
    kestal::log::key_record(kestal::log::kKeyLevel),
    kestal::log::key_record(kestal::log::kKeyTime),
    kestal::log::key_record(kestal::log::kKeyHost),
    kestal::log::key_record(kestal::log::kKeyProgram),
    kestal::log::key_record(kestal::log::kKeyPid),
    kestal::log::key_record(kestal::log::kKeyMessage),
    kestal::log::key_record(kestal::log::kKeyFile),
    kestal::log::key_record(kestal::log::kKeyLine),
    kestal::log::key_record(kestal::log::kKeyFunction),
    kestal::log::key_record(kestal::log::kKeyContainer),
    {nullptr, -1},
};
}

namespace kestal::log {

void expand_template(const char *tmpl, const char *const (&values)[kKeyCount],
                     char (&out)[kLineSize]) noexcept {
    constexpr std::size_t capacity = kLineSize - 1;
    std::size_t written = 0;
    std::size_t pos = 0;
    for (;;) {
        // Every key begins with "%": elsewhere the pass can only copy the plain character.
        for (int key = 0; key < kKeyCount && tmpl[pos] == '%'; ++key) {
            const std::string_view name = kKeyNames[key];
            if (std::strncmp(tmpl + pos, name.data(), name.size()) != 0) {
                continue;
            }
            const char *value = values[key];
            std::size_t length = std::strlen(value);
            if (length > capacity - written) {
                length = capacity - written;
            }
            std::memcpy(out + written, value, length);
            written += length;
            pos += name.size();
        }
        const char plain = tmpl[pos];
        if (written < capacity) {
            out[written++] = plain;
        }
        if (plain == '\0' || tmpl[pos + 1] == '\0' || written >= capacity) {
            break;
        }
        ++pos;
    }
    // Whatever ended the expansion, the line is terminated right after its last character.
    out[written < capacity ? written : capacity] = '\0';
}

}  // namespace kestal::log
