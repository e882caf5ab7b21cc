// Resource limits of application containers and their use: one kind (cpu, core, mem, memsw)
// per call. The numeric kinds share the record's one number; core is a text of the tool's.
#include <zorapp.h>

#include "command_frame.hpp"
#include "handle_arguments.hpp"
#include "decimal_number.hpp"
#include "outcome_line.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zorapp {

namespace {

using frame::name_of;
using frame::option;
using frame::when;
using Name = const char *;

constexpr std::int32_t kCore = 2;

// Each kind by type number 1 to 4: its option word, alone (unset, get) and as the flag that
// the limit value follows (set).
struct Kind {
    const char *word;
    const char *flag;
};
constexpr Kind kKinds[] = {
    {"--cpu", "--cpu "}, {"--core", "--core "}, {"--mem", "--mem "}, {"--memsw", "--memsw "}};

constexpr char kLimitPrefix[] = "sudo zor-app limit ";
constexpr char kUnlimitPrefix[] = "sudo zor-app unlimit ";
constexpr char kUsagePrefix[] = "sudo zor-app usage ";

// Set and unset name the container in their success line and the group in their failure.
constexpr frame::SuccessText<Name> kLimited{
    "ZOR-APP-LIB: limit: Set limitation of resource usage '%s'."};
constexpr frame::FailureText<Name> kLimitFailed{
    "ZOR-APP-LIB: limit: Failed to set limitation of resource usage '%s'. (ErrNo=%d)"};
constexpr frame::SuccessText<Name> kUnlimited{
    "ZOR-APP-LIB: unlimit: Unset limitation of resource usage '%s'."};
constexpr frame::FailureText<Name> kUnlimitFailed{
    "ZOR-APP-LIB: unlimit: Failed to unset limitation of resource usage '%s'. (ErrNo=%d)"};
constexpr frame::FailureText<Name> kUsageFailed{
    "ZOR-APP-LIB: usage: Failed to get resource usage of '%s'. (ErrNo=%d)"};

// The core text handed back by a reading lives here, so that it outlives the call without
// the caller having to release it; each thread has its own and its next reading replaces it.
thread_local char core_text[frame::kBufferSize];

// The kind of a type number; null for one that names none.
const Kind *kind_of(std::int32_t type) noexcept {
    constexpr auto kCount = static_cast<std::int32_t>(sizeof kKinds / sizeof kKinds[0]);
    return type >= 1 && type <= kCount ? &kKinds[type - 1] : nullptr;
}

// The kind word alone; a type number that names no kind refuses the command as missing,
// since without its word the tool would be asked nothing it knows.
frame::Piece word_of(std::int32_t type) noexcept {
    const Kind *kind = kind_of(type);
    return frame::fixed(kind != nullptr ? kind->word : nullptr);
}

// The kind word with the value to limit it to: "--cpu 50", "--core 0-3".
frame::Piece limit_of(const zor_app_resource &resource) noexcept {
    const Kind *kind = kind_of(resource.type);
    if (kind == nullptr) {
        return frame::fixed(nullptr);
    }
    return resource.type == kCore ? option(kind->flag, resource.value.core)
                                  : option(kind->flag, resource.value.cpu);
}

// Set and unset: the kind, the container, then the group when one is given; every outcome,
// a refusal too, writes its line.
int limit(const frame::Site &site, frame::Piece kind, const char *prefix,
          const frame::SuccessText<Name> &success, const frame::FailureText<Name> &failure,
          const zor_app_handle *handle, const char *cgroup) noexcept {
    const char *name = name_of(handle);
    frame::Command command(prefix);
    command.add(kind)
        .add(option(" -n ", name))
        .add(when(cgroup != nullptr, option(" -c ", cgroup)));
    const int code = frame::run_system(command).code;
    if (code == 0) {
        frame::write_success(site, success, name);
    } else {
        frame::write_failure(site, failure, code, cgroup);
    }
    return code;
}

// Removes the newline that ends a complete line; a line without one is kept whole.
void drop_newline(char *line) noexcept {
    const std::size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n') {
        line[length - 1] = '\0';
    }
}

}  // namespace

}  // namespace zorapp

extern "C" {

int zor_app_set_resource(zor_app_handle *handle, const char *cgroup,
                         zor_app_resource resource) noexcept {
    using namespace zorapp;
    return limit({__LINE__, __func__}, limit_of(resource), kLimitPrefix, kLimited, kLimitFailed,
                 handle, cgroup);
}

int zor_app_unset_resource(zor_app_handle *handle, const char *cgroup,
                           zor_app_resource resource) noexcept {
    using namespace zorapp;
    return limit({__LINE__, __func__}, word_of(resource.type), kUnlimitPrefix, kUnlimited,
                 kUnlimitFailed, handle, cgroup);
}

int zor_app_get_resource(zor_app_handle *handle, int32_t pid, const char *cgroup,
                         zor_app_resource *resource) noexcept {
    using namespace zorapp;
    const frame::Site site{__LINE__, __func__};
    const char *name = name_of(handle);
    if (resource == nullptr) {
        frame::write_failure(site, kUsageFailed, frame::kMissing, name);
        return frame::kMissing;
    }
    // Without a handle the tool is asked about the process itself, by its own number.
    frame::Command command(kUsagePrefix);
    command.add(word_of(resource->type))
        .add(when(handle != nullptr, option(" -n ", name)))
        .add(when(cgroup != nullptr, option(" -g ", cgroup)))
        .add(when(pid > 0, option(handle != nullptr ? " -vpid " : " -pid ", pid)));
    char line[frame::kBufferSize];
    const int code = frame::run_reading_first_line(command, line).code;
    if (code != 0) {
        frame::write_failure(site, kUsageFailed, code, name);
        return code;
    }
    drop_newline(line);
    if (resource->type == kCore) {
        std::memcpy(core_text, line, std::strlen(line) + 1);
        resource->value.core = core_text;
    } else {
        resource->value.cpu = frame::decimal_of(line);
    }
    return 0;
}

}  // extern "C"
