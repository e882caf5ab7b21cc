// A second client library built from the same command frame in a namespace of its own, as
// libzorapp will be: the link tests put both archives into one program.
#include "command_frame.hpp"
#include "outcome_line.hpp"

namespace zortwin {
namespace {
constexpr frame::Operation<const char *> kStart{
    "sudo zor-twin start -n ", "ZOR-TWIN-LIB: start: Started twin '%s'.",
    "ZOR-TWIN-LIB: start: Failed to start '%s'. (ErrNo=%d)"};
}  // namespace
}  // namespace zortwin

extern "C" {

__attribute__((visibility("default"))) int zor_twin_escape(char *destination,
                                                           const char *source) noexcept;
__attribute__((visibility("default"))) int zor_twin_start(const char *name) noexcept;

int zor_twin_escape(char *destination, const char *source) noexcept {
    return zortwin::frame::escape_meta_char(destination, source);
}

int zor_twin_start(const char *name) noexcept {
    return zortwin::kStart.perform({__LINE__, __func__}, {zortwin::frame::text(name)}, name);
}

}  // extern "C"
