// The state file of the stateful stand-ins, its lock and its text form.
#include "state_store.hpp"

#include "encoding.hpp"
#include "refusal.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace standin {

namespace {

constexpr char kHeader[] = "zor-standin-state 1";
constexpr char kStateFile[] = "state";
constexpr char kLockFile[] = "lock";

std::string failure_text(const std::string &what, const std::string &path) {
    return what + " " + path + ": " + std::strerror(errno);
}

void make_directory(const std::string &directory) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        throw Refusal(kStateFailure, failure_text("cannot create the state directory", directory));
    }
}

bool read_number(const std::string &text, long long &number) {
    if (text.empty()) {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    number = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

// Writes the fields of one line, each percent-encoded.
class LineWriter {
public:
    explicit LineWriter(std::string &text) : text_(text) {}
    LineWriter &field(const std::string &value) {
        if (!first_) {
            text_ += ' ';
        }
        text_ += encode(value);
        first_ = false;
        return *this;
    }
    LineWriter &field(long long value) { return field(std::to_string(value)); }
    ~LineWriter() { text_ += '\n'; }
    LineWriter(const LineWriter &) = delete;
    LineWriter &operator=(const LineWriter &) = delete;

private:
    std::string &text_;
    bool first_ = true;
};

void write_limits(std::string &text, const char *kind, const std::vector<Limit> &limits) {
    for (const Limit &limit : limits) {
        LineWriter(text)
            .field(kind)
            .field(limit.app)
            .field(limit.group)
            .field(limit.kind)
            .field(limit.value);
    }
}

void write_container(std::string &text, const Container &container) {
    LineWriter(text)
        .field("container")
        .field(container.name)
        .field(container.type)
        .field(container.shared ? 1 : 0)
        .field(container.main.pid)
        .field(static_cast<long long>(container.main.start_time));
    for (const auto &option : container.options) {
        LineWriter(text).field("option").field(option.first).field(option.second);
    }
    write_limits(text, "limit", container.limits);
    for (const Record &snapshot : container.snapshots) {
        LineWriter(text)
            .field("snapshot")
            .field(snapshot.name)
            .field(static_cast<long long>(snapshot.id))
            .field(snapshot.created)
            .field(snapshot.shared ? 1 : 0);
        write_limits(text, "snapshot-limit", snapshot.limits);
    }
    for (const Record &checkpoint : container.checkpoints) {
        LineWriter(text)
            .field("checkpoint")
            .field(checkpoint.name)
            .field(static_cast<long long>(checkpoint.id))
            .field(checkpoint.created)
            .field(checkpoint.shared ? 1 : 0)
            .field(checkpoint.run_state);
        write_limits(text, "checkpoint-limit", checkpoint.limits);
    }
    for (const auto &pair : container.registered) {
        LineWriter(text).field("registered").field(pair.first).field(pair.second);
    }
}

void write_group(std::string &text, const Group &group, bool with_bound) {
    LineWriter(text).field("group").field(group.container).field(group.name);
    if (with_bound) {
        for (const int pid : group.bound) {
            LineWriter(text).field("bound").field(pid);
        }
    }
}

void write_domain(std::string &text, const char *name, const Domain &domain) {
    LineWriter(text).field("domain").field(name);
    LineWriter(text).field("next-id").field(static_cast<long long>(domain.next_id));
    for (const auto &entry : domain.containers) {
        write_container(text, entry.second);
    }
    for (const Base &base : domain.bases) {
        LineWriter(text)
            .field("base")
            .field(base.name)
            .field(base.container)
            .field(base.snapshot)
            .field(base.created);
    }
    for (const Group &group : domain.groups) {
        write_group(text, group, true);
    }
}

// Reads lines back into a domain; each line adds to the container, record or group that the
// line before it began.
class DomainReader {
public:
    explicit DomainReader(Domain &domain) : domain_(&domain) {}
    void switch_to(Domain &domain) {
        domain_ = &domain;
        container_ = nullptr;
        record_ = nullptr;
        group_ = nullptr;
    }

    bool read(const std::vector<std::string> &fields) {
        const std::string &kind = fields[0];
        if (kind == "next-id" && fields.size() == 2) {
            long long id = 0;
            if (!read_number(fields[1], id) || id < 1) {
                return false;
            }
            domain_->next_id = static_cast<unsigned long>(id);
            return true;
        }
        if (kind == "container" && fields.size() == 6) {
            return read_container(fields);
        }
        if ((kind == "option" && fields.size() == 3) && container_ != nullptr) {
            container_->options.emplace_back(fields[1], fields[2]);
            return true;
        }
        if (fields.size() == 5 &&
            (kind == "limit" || kind == "snapshot-limit" || kind == "checkpoint-limit")) {
            return read_limit(fields);
        }
        if (kind == "snapshot" && fields.size() == 5) {
            return read_record(fields, false);
        }
        if (kind == "checkpoint" && fields.size() == 6) {
            return read_record(fields, true);
        }
        if (kind == "registered" && fields.size() == 3 && container_ != nullptr) {
            long long pid = 0;
            long long vpid = 0;
            if (!read_number(fields[1], pid) || !read_number(fields[2], vpid)) {
                return false;
            }
            container_->registered.emplace_back(static_cast<int>(pid), static_cast<int>(vpid));
            return true;
        }
        if (kind == "base" && fields.size() == 5) {
            Base base{fields[1], fields[2], fields[3], 0};
            if (!read_number(fields[4], base.created)) {
                return false;
            }
            domain_->bases.push_back(base);
            return true;
        }
        if (kind == "group" && fields.size() == 3) {
            domain_->groups.push_back(Group{fields[1], fields[2], {}});
            group_ = &domain_->groups.back();
            return true;
        }
        if (kind == "bound" && fields.size() == 2 && group_ != nullptr) {
            long long pid = 0;
            if (!read_number(fields[1], pid)) {
                return false;
            }
            group_->bound.push_back(static_cast<int>(pid));
            return true;
        }
        return false;
    }

private:
    bool read_container(const std::vector<std::string> &fields) {
        Container container;
        container.name = fields[1];
        long long type = 0;
        long long shared = 0;
        long long pid = 0;
        long long start = 0;
        if (!read_number(fields[2], type) || !read_number(fields[3], shared) ||
            !read_number(fields[4], pid) || !read_number(fields[5], start) || pid < 0 ||
            start < 0 || domain_->containers.count(container.name) != 0) {
            return false;
        }
        container.type = static_cast<int>(type);
        container.shared = shared != 0;
        container.main.pid = static_cast<pid_t>(pid);
        container.main.start_time = static_cast<unsigned long long>(start);
        container_ = &domain_->containers.emplace(container.name, container).first->second;
        record_ = nullptr;
        return true;
    }

    bool read_limit(const std::vector<std::string> &fields) {
        const Limit limit{fields[1], fields[2], fields[3], fields[4]};
        if (fields[0] == "limit" && container_ != nullptr) {
            container_->limits.push_back(limit);
            return true;
        }
        const bool for_checkpoint = fields[0] == "checkpoint-limit";
        if (record_ == nullptr || record_is_checkpoint_ != for_checkpoint) {
            return false;
        }
        record_->limits.push_back(limit);
        return true;
    }

    bool read_record(const std::vector<std::string> &fields, bool checkpoint) {
        if (container_ == nullptr) {
            return false;
        }
        Record record;
        record.name = fields[1];
        long long id = 0;
        long long shared = 0;
        long long run_state = 0;
        if (!read_number(fields[2], id) || !read_number(fields[3], record.created) ||
            !read_number(fields[4], shared) || (checkpoint && !read_number(fields[5], run_state))) {
            return false;
        }
        record.id = static_cast<unsigned long>(id);
        record.shared = shared != 0;
        record.run_state = static_cast<int>(run_state);
        std::vector<Record> &records = checkpoint ? container_->checkpoints : container_->snapshots;
        records.push_back(record);
        record_ = &records.back();
        record_is_checkpoint_ = checkpoint;
        return true;
    }

    Domain *domain_;
    Container *container_ = nullptr;
    Record *record_ = nullptr;
    bool record_is_checkpoint_ = false;
    Group *group_ = nullptr;
};

}  // namespace

std::string state_directory() {
    const char *named = std::getenv(kStateVariable);
    if (named != nullptr && named[0] != '\0') {
        return named;
    }
    const char *temporary = std::getenv("TMPDIR");
    const std::string base = temporary != nullptr && temporary[0] != '\0' ? temporary : "/tmp";
    return base + "/zor-standin-" + std::to_string(getuid());
}

StateLock::StateLock(const std::string &directory, Kind kind, int wait_seconds) {
    make_directory(directory);
    const std::string path = directory + "/" + kLockFile;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        throw Refusal(kStateFailure, failure_text("cannot open the lock file", path));
    }
    const int operation = (kind == Kind::kShared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_seconds);
    while (flock(fd_, operation) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) ||
            std::chrono::steady_clock::now() >= deadline) {
            close(fd_);
            fd_ = -1;
            throw Refusal(kStateFailure, "the state directory " + directory +
                                             " stayed locked for " + std::to_string(wait_seconds) +
                                             " s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

StateLock::~StateLock() {
    if (fd_ >= 0) {
        close(fd_);  // closing the only descriptor of the file releases the lock
    }
}

State load_state(const std::string &directory) {
    State state;
    const std::string path = directory + "/" + kStateFile;
    std::ifstream file(path);
    if (!file) {
        return state;  // nothing recorded yet
    }
    std::string line;
    if (!std::getline(file, line) || line != kHeader) {
        throw Refusal(kStateFailure, "the state file " + path + " is not one this tool wrote");
    }
    DomainReader reader(state.system);
    bool in_domain = false;
    for (int number = 2; std::getline(file, line); ++number) {
        std::vector<std::string> fields = split_fields(line);
        for (std::string &field : fields) {
            field = decode(field);
        }
        bool good = false;
        if (fields.size() == 2 && fields[0] == "domain") {
            if (fields[1] == "system" || fields[1] == "application") {
                reader.switch_to(fields[1] == "system" ? state.system : state.application);
                in_domain = true;
                good = true;
            }
        } else if (in_domain) {
            good = reader.read(fields);
        }
        if (!good) {
            throw Refusal(kStateFailure, "the state file " + path + " is damaged at line " +
                                             std::to_string(number));
        }
    }
    return state;
}

void save_state(const std::string &directory, const State &state) {
    std::string text = kHeader;
    text += '\n';
    write_domain(text, "system", state.system);
    write_domain(text, "application", state.application);

    const std::string path = directory + "/" + kStateFile;
    const std::string temporary = path + ".new." + std::to_string(getpid());
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw Refusal(kStateFailure, failure_text("cannot write", temporary));
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written <= 0) {
            if (written < 0 && errno == EINTR) {
                continue;
            }
            close(fd);
            unlink(temporary.c_str());
            throw Refusal(kStateFailure, failure_text("cannot write", temporary));
        }
        done += static_cast<std::size_t>(written);
    }
    // The data must be on disk before the rename makes it the state, or a crash could
    // leave an empty file under the state's name.
    const bool synced = fsync(fd) == 0;
    close(fd);
    if (!synced || rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string message = failure_text("cannot replace", path);
        unlink(temporary.c_str());
        throw Refusal(kStateFailure, message);
    }
}

std::string container_text(const Container &container, const std::vector<Group> &groups) {
    std::string text;
    write_container(text, container);
    for (const Group &group : groups) {
        if (group.container == container.name) {
            write_group(text, group, false);
        }
    }
    return text;
}

bool parse_container_text(const std::string &text, Container &container,
                          std::vector<Group> &groups) {
    Domain domain;
    DomainReader reader(domain);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields = split_fields(line);
        for (std::string &field : fields) {
            field = decode(field);
        }
        // Only the container itself and its groups may travel: no bases, no bindings.
        const std::string &kind = fields[0];
        if (kind == "base" || kind == "bound" || kind == "next-id" || !reader.read(fields)) {
            return false;
        }
    }
    if (domain.containers.size() != 1) {
        return false;
    }
    container = domain.containers.begin()->second;
    for (const Group &group : domain.groups) {
        if (group.container != container.name) {
            return false;
        }
    }
    groups = domain.groups;
    return true;
}

void remove_container(Domain &domain, const std::string &name) {
    auto &groups = domain.groups;
    groups.erase(std::remove_if(groups.begin(), groups.end(),
                                [&](const Group &group) { return group.container == name; }),
                 groups.end());
    domain.containers.erase(name);
}

}  // namespace standin
