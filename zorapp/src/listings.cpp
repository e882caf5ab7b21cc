// Name listings of application containers: all containers, all base images, the snapshots
// of one container, and their release. Application containers keep no checkpoints, so the
// checkpoint listing and its release are entry points that do nothing.
#include <zorapp.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "name_list.hpp"
#include "snapshot_table.hpp"

namespace zorapp {

namespace {

using frame::name_of;
using frame::text;

constexpr char kContainerList[] = "sudo zor-app list";
constexpr char kBaseList[] = "sudo zor-app list --base";
constexpr char kSnapshotListPrefix[] = "sudo zor-app list --snapshot -n ";

bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}

constexpr frame::NameListRules kPlainLines{nullptr, frame::whole_line};

}  // namespace

frame::Field first_field(const frame::OutputLine &line) noexcept {
    const char *at = line.text;
    while (is_blank(*at)) {
        ++at;
    }
    if (*at == '\0') {
        return frame::whole_line(line);
    }
    while (*at != '\0' && !is_blank(*at)) {
        ++at;
    }
    return {line.text, static_cast<std::size_t>(at - line.text)};
}

}  // namespace zorapp

extern "C" {

int zor_app_get_container_list(char ***list) noexcept {
    using namespace zorapp;
    return frame::read_name_list(frame::Command(kContainerList), kPlainLines, list);
}

int zor_app_get_base_list(char ***list) noexcept {
    using namespace zorapp;
    return frame::read_name_list(frame::Command(kBaseList), kPlainLines, list);
}

int zor_app_get_snapshot_list(zor_app_handle *handle, char ***list) noexcept {
    using namespace zorapp;
    frame::Command command(kSnapshotListPrefix);
    command.add(text(name_of(handle)));
    const bool table = handle != nullptr && handle->type == kTableType;
    return frame::read_name_list(command, table ? kSnapshotTable : kPlainLines, list);
}

int zor_app_get_checkpoint_list(zor_app_handle * /*handle*/, char *** /*list*/) noexcept {
    return 0;
}

int zor_app_release_container_list(char **list) noexcept {
    using namespace zorapp;
    return frame::release_entries(list, frame::EmptyArray::kFreed);
}

int zor_app_release_snapshot_list(char **list) noexcept {
    return zor_app_release_container_list(list);
}

int zor_app_release_base_list(char **list) noexcept {
    return zor_app_release_container_list(list);
}

int zor_app_release_checkpoint_list(char ** /*list*/) noexcept {
    return 0;
}

}  // extern "C"
