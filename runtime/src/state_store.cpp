// The record file in JSON, its lock, and where the state directory is.
#include "state_store.hpp"

#include "refusal.hpp"
#include "state_guard.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace zor {

using nlohmann::json;

static void to_json(json &j, const Limit &limit) {
    j = json{{"kind", limit.kind}, {"value", limit.value}};
}
static void from_json(const json &j, Limit &limit) {
    limit.kind = j.at("kind").get<std::string>();
    limit.value = j.at("value").get<std::string>();
}
static void to_json(json &j, const Binding &binding) {
    j = json{{"pid", binding.pid}, {"origin", binding.origin}};
}
static void from_json(const json &j, Binding &binding) {
    binding.pid = j.at("pid").get<int>();
    binding.origin = j.value("origin", std::map<std::string, std::string>());
}
static void to_json(json &j, const Group &group) {
    j = json{{"name", group.name}, {"limits", group.limits}, {"bound", group.bound}};
}
static void from_json(const json &j, Group &group) {
    group.name = j.at("name").get<std::string>();
    group.limits = j.value("limits", std::vector<Limit>());
    group.bound = j.value("bound", std::vector<Binding>());
}
static void to_json(json &j, const Snapshot &snapshot) {
    j = json{{"name", snapshot.name},
             {"id", snapshot.id},
             {"created", snapshot.created},
             {"shared", snapshot.shared},
             {"limits", snapshot.limits}};
}
static void from_json(const json &j, Snapshot &snapshot) {
    snapshot.name = j.at("name").get<std::string>();
    snapshot.id = j.value("id", 0UL);
    snapshot.created = j.value("created", 0LL);
    snapshot.shared = j.value("shared", false);
    snapshot.limits = j.value("limits", std::vector<Limit>());
}
static void to_json(json &j, const Container &container) {
    j = json{{"name", container.name},
             {"type", container.type},
             {"options", container.options},
             {"base", container.base},
             {"base_is_builtin", container.base_is_builtin},
             {"command", container.command},
             {"hostname", container.hostname},
             {"port", container.port},
             {"pids", container.pids_limit},
             {"overlay", container.overlay},
             {"shared", container.shared},
             {"complete", container.complete},
             {"limits", container.limits},
             {"snapshots", container.snapshots},
             {"checkpoints", container.checkpoints},
             {"groups", container.groups},
             {"registered", container.registered},
             {"network", container.network},
             {"address", container.address},
             {"mac", container.mac},
             {"published", container.published}};
}
static void from_json(const json &j, Container &container) {
    container.name = j.at("name").get<std::string>();
    container.type = j.at("type").get<int>();
    container.options = j.value("options", std::vector<std::pair<std::string, std::string>>());
    container.base = j.value("base", std::string("minimal"));
    container.base_is_builtin = j.value("base_is_builtin", true);
    container.command = j.value("command", std::string());
    container.hostname = j.value("hostname", std::string());
    container.port = j.value("port", 0);
    container.pids_limit = j.value("pids", 0LL);
    container.overlay = j.value("overlay", false);
    container.shared = j.value("shared", false);
    container.complete = j.value("complete", true);
    container.limits = j.value("limits", std::vector<Limit>());
    container.snapshots = j.value("snapshots", std::vector<Snapshot>());
    container.checkpoints = j.value("checkpoints", std::vector<Snapshot>());
    container.groups = j.value("groups", std::vector<Group>());
    container.registered = j.value("registered", std::vector<std::pair<int, int>>());
    container.network = j.value("network", false);
    container.address = j.value("address", std::string());
    container.mac = j.value("mac", std::string());
    container.published = j.value("published", std::vector<std::pair<int, int>>());
}
static void to_json(json &j, const Base &base) {
    j = json{{"name", base.name}, {"created", base.created}};
}
static void from_json(const json &j, Base &base) {
    base.name = j.at("name").get<std::string>();
    base.created = j.value("created", 0LL);
}
static void to_json(json &j, const Domain &domain) {
    j = json{{"containers", domain.containers},
             {"bases", domain.bases},
             {"groups", domain.groups},
             {"next_id", domain.next_id}};
}
static void from_json(const json &j, Domain &domain) {
    domain.containers = j.value("containers", std::map<std::string, Container>());
    domain.bases = j.value("bases", std::vector<Base>());
    domain.groups = j.value("groups", std::vector<Group>());
    domain.next_id = j.value("next_id", 1UL);
}

namespace {

constexpr char kStateFile[] = "state.json";
constexpr char kLockFile[] = "lock";

std::string default_directory() {
    if (geteuid() == 0) {
        return "/var/lib/zor-runtime";
    }
    // The tools run one thread: nothing sets the environment meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    // The tools run one thread: nothing sets the environment meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *temporary = std::getenv("TMPDIR");
    const std::string folder = runtime != nullptr && runtime[0] != '\0'       ? runtime
                               : temporary != nullptr && temporary[0] != '\0' ? temporary
                                                                              : "/tmp";
    return folder + "/zor-runtime-" + std::to_string(geteuid());
}

}  // namespace

std::string state_directory() {
    // The tools run one thread: nothing sets the environment meanwhile.
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *named = std::getenv(kStateVariable);
    const std::string directory =
        named != nullptr && named[0] != '\0' ? named : default_directory();
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(directory, error);
    if (error) {
        throw Refusal(kStateFailure, "cannot use state directory '" + directory + "'");
    }
    std::string path = absolute.lexically_normal().string();
    // Made 0700 when missing; refused when it is not this user's alone.
    open_state_directory(path);
    return path;
}

StateLock::StateLock(const std::string &directory, Kind kind, int wait_seconds) {
    const std::string path = directory + "/" + kLockFile;
    // Not closed on exec: the helpers a command starts (runc above all) hold the lock with it,
    // so that when a command is killed the next one waits until they have ended too rather
    // than meet a runc still at work. runc closes every other descriptor before it runs a
    // container's main process, so no container holds it.
    OwnedFd lock = open_state_file(directory, kLockFile, O_RDWR | O_CREAT);
    if (fcntl(lock.get(), F_SETFD, 0) != 0) {
        throw Refusal(kStateFailure,
                      "cannot use '" + path + "': " + std::generic_category().message(errno));
    }
    fd_ = lock.release();
    const int operation = (kind == Kind::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    while (flock(fd_, operation) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() > deadline) {
            close(fd_);
            fd_ = -1;
            throw Refusal(kStateFailure, "cannot lock '" + path + "'");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

StateLock::~StateLock() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

State load_state(const std::string &directory) {
    State state;
    std::string text;
    if (!read_state_file(directory, kStateFile, text)) {
        return state;
    }
    try {
        const json j = json::parse(text);
        state.system = j.at("system").get<Domain>();
        state.application = j.at("application").get<Domain>();
    } catch (const json::exception &error) {
        throw Refusal(kStateFailure,
                      "the state file of '" + directory + "' is damaged: " + error.what());
    }
    return state;
}

void save_state(const std::string &directory, const State &state) {
    write_state_file(
        directory, kStateFile,
        json{{"system", state.system}, {"application", state.application}}.dump(1) + "\n");
}

std::string container_to_json(const Container &container) {
    return json(container).dump(1) + "\n";
}

Container container_from_json(const std::string &text) {
    try {
        return json::parse(text).get<Container>();
    } catch (const json::exception &error) {
        throw Refusal(kStateFailure,
                      std::string("a container's record is damaged: ") + error.what());
    }
}

}  // namespace zor
