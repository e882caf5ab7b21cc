// Migration of a system container: the sending side (zor-sys) and the receiving side
// (zor-target), which meet at the same port.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"

#include <cstdint>

namespace zorsys {

namespace {

using frame::name_of;
using frame::option;
using frame::text;
using Name = const char *;

// No outcome line shows the port.
constexpr frame::Operation<Name, Name> kMigrate{
    "sudo zor-sys migrate -n ", "ZOR-SYS-LIB: migrate: Migrated '%s' to '%s'.",
    "ZOR-SYS-LIB: migrate: Failed to migrate '%s' to '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kImmigrate{
    "sudo zor-target -n ", "ZOR-SYS-LIB: immigrate: Immigrated '%s'.",
    "ZOR-SYS-LIB: immigrate: Failed to immigrate '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_migration_start(zor_sys_handle *handle, const char *destination,
                            int32_t port) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kMigrate.perform({__LINE__, __func__},
                            {text(name), option(" -d ", destination), option(" -p ", port)}, name,
                            destination);
}

int zor_sys_immigration_start(const char *name, int32_t port) noexcept {
    using namespace zorsys;
    return kImmigrate.perform({__LINE__, __func__}, {text(name), option(" -p ", port)}, name);
}

}  // extern "C"
