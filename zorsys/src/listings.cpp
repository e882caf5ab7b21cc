// System-container listings: containers, base images, and the snapshots and checkpoints of
// one container, each read into a name list; the removal of a base image; and the release.
#include <zorsys.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "listing_table.hpp"
#include "name_list.hpp"
#include "outcome_line.hpp"

namespace zorsys {

namespace {

using frame::name_of;
using frame::required;
using frame::text;
using Name = const char *;

constexpr char kContainerListCommand[] = "sudo zor-sys list";
constexpr char kBaseListCommand[] = "sudo zor-sys list --base";
constexpr char kSnapshotListPrefix[] = "sudo zor-sys list --snapshot -n ";
// The tool lists checkpoints with the caller's own rights.
constexpr char kCheckpointListPrefix[] = "zor-sys list --checkpoint -n ";

constexpr frame::Operation<Name> kRemoveBase{
    "sudo zor-sys remove --base ", "ZOR-SYS-LIB: remove: Removed base image '%s'.",
    "ZOR-SYS-LIB: remove: Failed to remove base image '%s'. (ErrNo=%d)"};

constexpr frame::NameListRules kEveryLine{nullptr, frame::whole_line};

int list_of(const char *command_text, char ***list) noexcept {
    const frame::Command command(command_text);
    return frame::read_name_list(command, kEveryLine, list);
}

int list_of_container(const char *prefix, const zor_sys_handle *handle, char ***list) noexcept {
    frame::Command command(prefix);
    command.add(required(list)).add(text(name_of(handle)));
    const bool table = handle != nullptr && handle->type == kTableType;
    return frame::read_name_list(command, table ? kTableListing : kEveryLine, list);
}

}  // namespace

}  // namespace zorsys

extern "C" {

int zor_sys_get_container_list(char ***list) noexcept {
    return zorsys::list_of(zorsys::kContainerListCommand, list);
}

int zor_sys_get_base_list(char ***list) noexcept {
    return zorsys::list_of(zorsys::kBaseListCommand, list);
}

int zor_sys_get_snapshot_list(zor_sys_handle *handle, char ***list) noexcept {
    return zorsys::list_of_container(zorsys::kSnapshotListPrefix, handle, list);
}

int zor_sys_get_checkpoint_list(zor_sys_handle *handle, char ***list) noexcept {
    return zorsys::list_of_container(zorsys::kCheckpointListPrefix, handle, list);
}

int zor_sys_remove_base(const char *name) noexcept {
    using namespace zorsys;
    return kRemoveBase.perform({__LINE__, __func__}, {text(name)}, name);
}

int zor_sys_release_container_list(char **list) noexcept {
    return zorsys::frame::release_entries(list, zorsys::frame::EmptyArray::kRefused);
}

int zor_sys_release_snapshot_list(char **list) noexcept {
    return zor_sys_release_container_list(list);
}

int zor_sys_release_checkpoint_list(char **list) noexcept {
    return zor_sys_release_container_list(list);
}

int zor_sys_release_base_list(char **list) noexcept {
    return zor_sys_release_container_list(list);
}

}  // extern "C"
