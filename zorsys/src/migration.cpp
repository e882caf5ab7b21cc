// Migration of a system container: the sending side (zor-sys) and the receiving side
// (zor-target), which meet at the same port.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "outcome_line.hpp"
#include "zor_contract.h"

#include <cstdint>

namespace zorsys {

namespace {

using frame::name_of;
using frame::option;
using frame::text;
using Name = const char *;

// No outcome line shows the port.
constexpr frame::Operation<Name, Name> kMigrate{
    "sudo " ZOR_TOOL_SYS " " ZOR_VERB_MIGRATE " " ZOR_OPTION_NAME " ",
    "ZOR-SYS-LIB: migrate: Migrated '%s' to '%s'.",
    "ZOR-SYS-LIB: migrate: Failed to migrate '%s' to '%s'. (ErrNo=%d)"};
constexpr frame::Operation<Name> kImmigrate{
    "sudo " ZOR_TOOL_TARGET " " ZOR_OPTION_NAME " ", "ZOR-SYS-LIB: immigrate: Immigrated '%s'.",
    "ZOR-SYS-LIB: immigrate: Failed to immigrate '%s'. (ErrNo=%d)"};

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_migration_start(zor_sys_handle *handle, const char *destination,
                            int32_t port) noexcept {
    using namespace zorsys;
    const char *name = name_of(handle);
    return kMigrate.perform({__LINE__, __func__},
                            {text(name), option(" " ZOR_OPTION_DESTINATION " ", destination),
                             option(" " ZOR_OPTION_PORT " ", port)},
                            name, destination);
}

int zor_sys_immigration_start(const char *name, int32_t port) noexcept {
    using namespace zorsys;
    return kImmigrate.perform({__LINE__, __func__},
                              {text(name), option(" " ZOR_OPTION_PORT " ", port)}, name);
}

}  // extern "C"
