// Control-group files: finding the hierarchies, making and removing cgroups, moving processes,
// and the files behind each kind of limit and usage in v1 and v2.
#include "cgroups.hpp"

#include "refusal.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace zor {

namespace fs = std::filesystem;

namespace {

constexpr const char *kKnownControllers[] = {
    "cpu",      "cpuacct", "cpuset",     "memory",  "devices", "freezer", "net_cls",
    "net_prio", "blkio",   "perf_event", "hugetlb", "pids",    "rdma",    "misc"};
constexpr long long kCpuPeriodMicroseconds = 100000;
constexpr long long kMebibyte = 1024LL * 1024LL;

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) {
        parts.push_back(part);
    }
    return parts;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// mountinfo writes a blank, tab, newline and backslash in a path as \ and three octal digits.
std::string unescaped(const std::string &field) {
    std::string text;
    for (std::size_t at = 0; at < field.size(); ++at) {
        const auto octal = [&](std::size_t index) {
            return index < field.size() && field[index] >= '0' && field[index] <= '7';
        };
        if (field[at] == '\\' && octal(at + 1) && octal(at + 2) && octal(at + 3)) {
            text += static_cast<char>((field[at + 1] - '0') * 64 + (field[at + 2] - '0') * 8 +
                                      (field[at + 3] - '0'));
            at += 3;
        } else {
            text += field[at];
        }
    }
    return text;
}

bool read_file(const std::string &path, std::string &text) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}

// One write() per value: the kernel takes a cgroup file's value from a single write.
int write_file(const std::string &path, const std::string &value) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const ssize_t wrote = ::write(fd, value.data(), value.size());
    const int error = wrote == static_cast<ssize_t>(value.size()) ? 0 : errno;
    close(fd);
    return error;
}

long long number_of(const std::string &text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

std::string state_tag(const std::string &directory) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : directory) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%012llx",
                  static_cast<unsigned long long>(hash & 0xFFFFFFFFFFFFULL));
    return text;
}

std::vector<Hierarchy> hierarchies_in_mountinfo(const std::string &mountinfo) {
    std::vector<Hierarchy> hierarchies;
    std::stringstream lines(mountinfo);
    std::string line;
    while (std::getline(lines, line)) {
        const std::size_t dash = line.find(" - ");
        if (dash == std::string::npos) {
            continue;
        }
        const std::vector<std::string> head = split(line.substr(0, dash), ' ');
        const std::vector<std::string> tail = split(line.substr(dash + 3), ' ');
        if (head.size() < 5 || tail.size() < 3 || (tail[0] != "cgroup" && tail[0] != "cgroup2")) {
            continue;
        }
        Hierarchy hierarchy;
        hierarchy.mount = unescaped(head[4]);
        hierarchy.unified = tail[0] == "cgroup2";
        for (const std::string &option : split(tail[2], ',')) {
            for (const char *known : kKnownControllers) {
                if (option == known) {
                    hierarchy.controllers.push_back(option);
                }
            }
        }
        const bool seen =
            std::any_of(hierarchies.begin(), hierarchies.end(),
                        [&](const Hierarchy &other) { return other.mount == hierarchy.mount; });
        if (!seen) {
            hierarchies.push_back(hierarchy);
        }
    }
    return hierarchies;
}

Cgroups::Cgroups() {
    std::string mountinfo;
    read_file("/proc/self/mountinfo", mountinfo);
    hierarchies_ = hierarchies_in_mountinfo(mountinfo);
    pure_v2_ = std::none_of(hierarchies_.begin(), hierarchies_.end(), [](const Hierarchy &h) {
        return !h.unified && !h.controllers.empty();
    });
    if (hierarchies_.empty()) {
        throw Refusal(kHostFailure, "no control-group hierarchy is mounted");
    }
}

std::string Cgroups::container_path(const std::string &state_id, bool system,
                                    const std::string &name) {
    return "/zor." + state_id + (system ? ".s" : ".a") + ":ns,:/" + name;
}

std::string Cgroups::free_group_root(const std::string &state_id) {
    return "/zor." + state_id + ".g";
}

const Hierarchy *Cgroups::hierarchy_of(const std::string &controller) const {
    for (const Hierarchy &hierarchy : hierarchies_) {
        if (pure_v2_ ? hierarchy.unified
                     : std::find(hierarchy.controllers.begin(), hierarchy.controllers.end(),
                                 controller) != hierarchy.controllers.end()) {
            return &hierarchy;
        }
    }
    return nullptr;
}

std::string Cgroups::file(const std::string &path, const std::string &controller,
                          const std::string &name) const {
    const Hierarchy *hierarchy = hierarchy_of(controller);
    return hierarchy == nullptr ? std::string() : hierarchy->mount + path + "/" + name;
}

std::string Cgroups::read(const std::string &path, const std::string &controller,
                          const std::string &name) const {
    const std::string where = file(path, controller, name);
    std::string text;
    if (where.empty() || !read_file(where, text)) {
        throw Refusal(kHostFailure, "cannot read " + (where.empty() ? controller : where));
    }
    return trimmed(text);
}

void Cgroups::write(const std::string &path, const std::string &controller, const std::string &name,
                    const std::string &value) const {
    const std::string where = file(path, controller, name);
    if (where.empty()) {
        throw Refusal(kHostFailure, "the " + controller + " controller is not mounted");
    }
    const int error = write_file(where, value);
    if (error == EINVAL) {
        throw Refusal(kUsage, "the kernel refused " + value + " for " + name);
    }
    if (error != 0) {
        throw Refusal(kHostFailure, "cannot write " + value + " to " + where + ": " +
                                        std::generic_category().message(error));
    }
}

void Cgroups::make(const std::string &path) const {
    for (const Hierarchy &hierarchy : hierarchies_) {
        const bool cpuset = std::find(hierarchy.controllers.begin(), hierarchy.controllers.end(),
                                      "cpuset") != hierarchy.controllers.end();
        fs::path at = hierarchy.mount;
        for (const fs::path &part : fs::path(path).relative_path()) {
            const fs::path parent = at;
            at /= part;
            if (mkdir(at.c_str(), 0755) != 0 && errno != EEXIST) {
                throw Refusal(kHostFailure, "cannot make cgroup " + at.string() + ": " +
                                                std::generic_category().message(errno));
            }
            if (cpuset) {
                for (const char *name : {"cpuset.cpus", "cpuset.mems"}) {
                    std::string mine;
                    std::string theirs;
                    if (read_file(at / name, mine) && trimmed(mine).empty() &&
                        read_file(parent / name, theirs)) {
                        write_file(at / name, trimmed(theirs));
                    }
                }
            }
            if (pure_v2_ && hierarchy.unified) {
                // One write per controller: the kernel refuses a whole list when one of it is
                // not available in the parent, which would leave the others off as well.
                for (const char *controller : {"+cpu", "+cpuset", "+memory", "+pids"}) {
                    write_file(parent / "cgroup.subtree_control", controller);
                }
            }
        }
    }
}

bool Cgroups::remove(const std::string &path) const {
    bool removed = true;
    for (const Hierarchy &hierarchy : hierarchies_) {
        const fs::path top = fs::path(hierarchy.mount) / fs::path(path).relative_path();
        std::error_code error;
        if (!fs::exists(top, error)) {
            continue;
        }
        std::vector<fs::path> folders;
        for (fs::recursive_directory_iterator it(top, error), end; !error && it != end;
             it.increment(error)) {
            if (it->is_directory(error)) {
                folders.push_back(it->path());
            }
        }
        folders.push_back(top);
        // Deepest first: a cgroup goes only once it has no children.
        std::sort(folders.begin(), folders.end(), [](const fs::path &a, const fs::path &b) {
            return a.string().size() > b.string().size();
        });
        for (const fs::path &folder : folders) {
            if (rmdir(folder.c_str()) != 0 && errno != ENOENT) {
                removed = false;
            }
        }
    }
    return removed;
}

void Cgroups::remove_parent_if_empty(const std::string &path) const {
    const std::string parent = fs::path(path).parent_path().string();
    if (parent.size() <= 1) {
        return;
    }
    for (const Hierarchy &hierarchy : hierarchies_) {
        // rmdir refuses a cgroup with children or processes, which is the test wanted.
        rmdir((hierarchy.mount + parent).c_str());
    }
}

bool Cgroups::exists(const std::string &path, const std::string &controller) const {
    std::error_code error;
    if (!controller.empty()) {
        const Hierarchy *hierarchy = hierarchy_of(controller);
        return hierarchy != nullptr && fs::is_directory(hierarchy->mount + path, error);
    }
    return std::any_of(hierarchies_.begin(), hierarchies_.end(),
                       [&](const Hierarchy &h) { return fs::is_directory(h.mount + path, error); });
}

std::vector<pid_t> Cgroups::processes(const std::string &path) const {
    std::vector<pid_t> pids;
    for (const Hierarchy &hierarchy : hierarchies_) {
        std::string text;
        if (!read_file(hierarchy.mount + path + "/cgroup.procs", text)) {
            continue;
        }
        for (const std::string &line : split(text, '\n')) {
            const auto pid = static_cast<pid_t>(number_of(line));
            if (pid > 0 && std::find(pids.begin(), pids.end(), pid) == pids.end()) {
                pids.push_back(pid);
            }
        }
    }
    return pids;
}

bool Cgroups::kill_all(const std::string &path) const {
    const auto inside = [&] {
        std::vector<pid_t> pids;
        std::error_code error;
        for (const Hierarchy &hierarchy : hierarchies_) {
            const fs::path top = hierarchy.mount + path;
            if (!fs::is_directory(top, error)) {
                continue;
            }
            std::vector<std::string> folders{path};
            for (fs::recursive_directory_iterator it(top, error), end; !error && it != end;
                 it.increment(error)) {
                if (it->is_directory(error)) {
                    folders.push_back(path + "/" + fs::relative(it->path(), top).string());
                }
            }
            for (const std::string &folder : folders) {
                for (const pid_t pid : processes(folder)) {
                    pids.push_back(pid);
                }
            }
        }
        return pids;
    };
    for (int round = 0; round < 400; ++round) {
        const std::vector<pid_t> pids = inside();
        if (pids.empty()) {
            return true;
        }
        for (const pid_t pid : pids) {
            ::kill(pid, SIGKILL);
        }
        usleep(5000);
    }
    return inside().empty();
}

void Cgroups::move(pid_t pid, const std::string &path) const {
    for (const Hierarchy &hierarchy : hierarchies_) {
        const std::string procs = hierarchy.mount + path + "/cgroup.procs";
        if (access(procs.c_str(), F_OK) != 0) {
            continue;
        }
        const int error = write_file(procs, std::to_string(pid));
        if (error == ESRCH) {
            throw Refusal(kNotFound, "no process " + std::to_string(pid));
        }
        if (error != 0) {
            throw Refusal(kHostFailure, "cannot move process " + std::to_string(pid) + " to " +
                                            procs + ": " + std::generic_category().message(error));
        }
    }
}

void Cgroups::move_back(pid_t pid, const std::map<std::string, std::string> &origin) {
    for (const auto &entry : origin) {
        // A process that has gone needs no moving; a cgroup that has gone cannot take it.
        write_file(entry.first + entry.second + "/cgroup.procs", std::to_string(pid));
    }
}

std::map<std::string, std::string> Cgroups::cgroup_paths(pid_t pid) const {
    std::map<std::string, std::string> paths;
    std::ifstream in("/proc/" + std::to_string(pid) + "/cgroup");
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) {
            continue;
        }
        const std::string list = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        for (const Hierarchy &hierarchy : hierarchies_) {
            bool match = false;
            if (list.empty()) {
                match = hierarchy.unified;
            } else if (!hierarchy.unified) {
                const std::vector<std::string> names = split(list, ',');
                match = hierarchy.controllers.empty()
                            ? list.rfind("name=", 0) == 0 &&
                                  hierarchy.mount.find(list.substr(5)) != std::string::npos
                            : std::is_permutation(names.begin(), names.end(),
                                                  hierarchy.controllers.begin(),
                                                  hierarchy.controllers.end());
            }
            if (match) {
                paths[hierarchy.mount] = path;
            }
        }
    }
    return paths;
}

void Cgroups::set_limit(const std::string &path, const std::string &kind,
                        const std::string &value) const {
    const bool lift = value.empty();
    if (kind == "cpu") {
        const long long quota = lift ? -1 : number_of(value) * kCpuPeriodMicroseconds / 100;
        if (pure_v2_) {
            write(path, "cpu", "cpu.max",
                  (lift ? std::string("max") : std::to_string(quota)) + " " +
                      std::to_string(kCpuPeriodMicroseconds));
        } else {
            write(path, "cpu", "cpu.cfs_period_us", std::to_string(kCpuPeriodMicroseconds));
            write(path, "cpu", "cpu.cfs_quota_us", std::to_string(quota));
        }
    } else if (kind == "core") {
        std::string cores = value;
        if (lift) {
            // Back to all that the parent may use.
            const std::string parent = fs::path(path).parent_path().string();
            cores = read(parent, "cpuset", pure_v2_ ? "cpuset.cpus.effective" : "cpuset.cpus");
        }
        write(path, "cpuset", "cpuset.cpus", cores);
    } else if (kind == "mem") {
        if (lift && !pure_v2_) {
            // Memory alone may not exceed memory plus swap: under a memsw limit, lifting the
            // memory limit leaves memory bounded by that sum (the kernel shows "no limit" as
            // a number of 19 digits).
            const std::string memsw = file(path, "memory", "memory.memsw.limit_in_bytes");
            std::string sum;
            if (read_file(memsw, sum)) {
                sum = trimmed(sum);
            }
            write(path, "memory", "memory.limit_in_bytes",
                  sum.empty() || sum.size() >= 19 ? std::string("-1") : sum);
            return;
        }
        const std::string bytes =
            lift ? std::string("max") : std::to_string(number_of(value) * kMebibyte);
        write(path, "memory", pure_v2_ ? "memory.max" : "memory.limit_in_bytes", bytes);
    } else if (kind == "memsw") {
        if (pure_v2_) {
            std::string swap = "max";
            if (!lift) {
                const std::string memory = read(path, "memory", "memory.max");
                const long long total = number_of(value) * kMebibyte;
                const long long rest = memory == "max" ? total : total - number_of(memory);
                swap = std::to_string(std::max(0LL, rest));
            }
            write(path, "memory", "memory.swap.max", swap);
        } else {
            const std::string memsw = "memory.memsw.limit_in_bytes";
            if (file(path, "memory", memsw).empty() ||
                access(file(path, "memory", memsw).c_str(), F_OK) != 0) {
                throw Refusal(kHostFailure, "this kernel does not account swap");
            }
            const long long bytes = lift ? -1 : number_of(value) * kMebibyte;
            // Memory plus swap is never below memory alone: a tighter sum lowers both.
            if (!lift && number_of(read(path, "memory", "memory.limit_in_bytes")) > bytes) {
                write(path, "memory", "memory.limit_in_bytes", std::to_string(bytes));
            }
            write(path, "memory", memsw, std::to_string(bytes));
        }
    } else {
        throw Refusal(kUsage, "unknown limit kind '" + kind + "'");
    }
}

std::string Cgroups::usage(const std::string &path, const std::string &kind) const {
    if (kind == "cpu") {
        if (pure_v2_) {
            for (const std::string &line : split(read(path, "cpu", "cpu.stat"), '\n')) {
                if (line.rfind("usage_usec ", 0) == 0) {
                    return std::to_string(number_of(line.substr(11)) / 1000);
                }
            }
            throw Refusal(kHostFailure, "cpu.stat shows no usage_usec");
        }
        return std::to_string(number_of(read(path, "cpuacct", "cpuacct.usage")) / 1000000);
    }
    if (kind == "mem") {
        return std::to_string(
            number_of(read(path, "memory", pure_v2_ ? "memory.current" : "memory.usage_in_bytes")) /
            1024);
    }
    if (kind == "memsw") {
        if (pure_v2_) {
            const long long swap =
                exists(path, "memory") &&
                        access(file(path, "memory", "memory.swap.current").c_str(), F_OK) == 0
                    ? number_of(read(path, "memory", "memory.swap.current"))
                    : 0;
            return std::to_string((number_of(read(path, "memory", "memory.current")) + swap) /
                                  1024);
        }
        return std::to_string(number_of(read(path, "memory", "memory.memsw.usage_in_bytes")) /
                              1024);
    }
    if (kind == "core") {
        return read(path, "cpuset", pure_v2_ ? "cpuset.cpus.effective" : "cpuset.effective_cpus");
    }
    throw Refusal(kUsage, "unknown usage kind '" + kind + "'");
}

}  // namespace zor
