// The conversation of a migration and the folder's entries on the wire:
//   directory: path, mode, uid, gid, mtime (s, ns), count of attributes, (name, value) each
//   file:      path, mode, uid, gid, mtime (s, ns), size; then data frames with the bytes
//   symlink:   path, target, uid, gid
//   node:      path, mode, device number, uid, gid (an overlay's whiteouts, character
//              devices 0:0; the receiver refuses any other node)
// Before the entries, an announce frame: the bytes of all files, the number of entries.
// Paths are relative to the folder. The receiver makes every entry anew (mkdir, O_EXCL,
// symlink, mknod fail on an existing name) and only inside directories that this transfer
// made, so no entry can be written through a symbolic link or outside the folder.
#include "transfer.hpp"

#include "refusal.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

namespace zor {

namespace {

// The answers of the receiver.
enum AnswerKind : std::uint64_t { kAccepted = 1, kRefused = 2, kRunning = 3, kFailed = 4 };

// The extended attributes that carry meaning in an overlay's upper folder: an opaque
// directory, a renamed one. Others (an upper file's origin) name the sender's filesystem.
constexpr const char *kKeptAttributes[] = {"trusted.overlay.opaque", "trusted.overlay.redirect"};

[[noreturn]] void fail(const std::string &what) {
    throw Refusal(kMigrationFailure, what);
}

[[noreturn]] void fail_on(const std::string &path, const char *what) {
    fail(std::string("cannot ") + what + " " + path + ": " +
         std::generic_category().message(errno));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// directory/name, made in place.
std::string inside(const std::string &directory, const std::string &name) {
    std::string path = directory;
    path += '/';
    path += name;
    return path;
}

std::string attribute(const std::string &path, const char *name) {
    std::string value(256, '\0');
    const ssize_t size = lgetxattr(path.c_str(), name, value.data(), value.size());
    return size > 0 ? value.substr(0, static_cast<std::size_t>(size)) : std::string();
}

void send_file(FrameWriter &writer, const std::string &path, const struct stat &status) {
    const Descriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) {
        fail_on(path, "read");
    }
    std::string chunk(kChunk, '\0');
    std::uint64_t sent = 0;
    for (;;) {
        const ssize_t got = read(file.get(), chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            fail_on(path, "read");
        }
        if (got == 0) {
            break;
        }
        sent += static_cast<std::uint64_t>(got);
        if (sent > static_cast<std::uint64_t>(status.st_size)) {
            break;
        }
        writer.frame(FrameType::kData, chunk.substr(0, static_cast<std::size_t>(got)));
    }
    if (sent != static_cast<std::uint64_t>(status.st_size)) {
        fail(path + " changed while it was sent");
    }
}

void send_entries(FrameWriter &writer, const std::string &folder, const std::string &relative) {
    const std::string directory = relative.empty() ? folder : folder + "/" + relative;
    std::error_code error;
    std::filesystem::directory_iterator listing(directory, error);
    std::vector<std::string> names;
    for (const std::filesystem::directory_iterator end; !error && listing != end;
         listing.increment(error)) {
        names.push_back(listing->path().filename().string());
    }
    if (error) {
        fail("cannot list " + directory + ": " + error.message());
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        const std::string path = relative.empty() ? name : inside(relative, name);
        const std::string full = inside(folder, path);
        struct stat status {};
        if (lstat(full.c_str(), &status) != 0) {
            fail_on(full, "look at");
        }
        const auto mode = static_cast<std::uint64_t>(status.st_mode);
        FieldWriter fields;
        fields.text(path);
        if (S_ISDIR(status.st_mode)) {
            fields.number(mode).number(status.st_uid).number(status.st_gid);
            fields.number(static_cast<std::uint64_t>(status.st_mtim.tv_sec));
            fields.number(static_cast<std::uint64_t>(status.st_mtim.tv_nsec));
            std::vector<std::pair<std::string, std::string>> kept;
            for (const char *key : kKeptAttributes) {
                const std::string value = attribute(full, key);
                if (!value.empty()) {
                    kept.emplace_back(key, value);
                }
            }
            fields.number(kept.size());
            for (const auto &pair : kept) {
                fields.text(pair.first).text(pair.second);
            }
            writer.frame(FrameType::kDirectory, fields.bytes());
            send_entries(writer, folder, path);
        } else if (S_ISREG(status.st_mode)) {
            fields.number(mode).number(status.st_uid).number(status.st_gid);
            fields.number(static_cast<std::uint64_t>(status.st_mtim.tv_sec));
            fields.number(static_cast<std::uint64_t>(status.st_mtim.tv_nsec));
            fields.number(static_cast<std::uint64_t>(status.st_size));
            writer.frame(FrameType::kFile, fields.bytes());
            send_file(writer, full, status);
        } else if (S_ISLNK(status.st_mode)) {
            std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
            const ssize_t size = readlink(full.c_str(), target.data(), target.size());
            if (size < 0 || static_cast<std::size_t>(size) >= target.size()) {
                fail_on(full, "read the link");
            }
            target.resize(static_cast<std::size_t>(size));
            fields.text(target).number(status.st_uid).number(status.st_gid);
            writer.frame(FrameType::kSymlink, fields.bytes());
        } else {
            fields.number(mode).number(status.st_rdev).number(status.st_uid).number(status.st_gid);
            writer.frame(FrameType::kNode, fields.bytes());
        }
    }
}

// The bytes of all files below directory and the number of entries, as send_entries sends
// them.
void count_entries(const std::string &directory, std::uint64_t &bytes, std::uint64_t &entries) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator walk(directory, error), end;
         !error && walk != end; walk.increment(error)) {
        struct stat status {};
        if (lstat(walk->path().c_str(), &status) != 0) {
            fail_on(walk->path().string(), "look at");
        }
        ++entries;
        if (S_ISREG(status.st_mode)) {
            bytes += static_cast<std::uint64_t>(status.st_size);
        }
    }
    if (error) {
        fail("cannot list " + directory + ": " + error.message());
    }
}

// Free bytes for an unprivileged writer on the disk that holds path.
std::uint64_t free_bytes(const std::string &path) {
    struct statvfs disk {};
    if (statvfs(path.c_str(), &disk) != 0) {
        fail_on(path, "look at the disk of");
    }
    return static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
}

// What a receiver has been told to expect, and what it has had so far.
struct Budget {
    std::uint64_t bytes = 0;
    std::uint64_t entries = 0;
    std::uint64_t reserve = 0;
    std::string folder;

    // Refuses once the disk would keep less than the reserve with what is still to come.
    void check_room(std::uint64_t still_to_come) const {
        const std::uint64_t free = free_bytes(folder);
        if (free < reserve || free - reserve < still_to_come) {
            fail("the disk here would keep less than " + std::to_string(reserve >> 20) +
                 " MiB free");
        }
    }
    void take_entry() {
        if (entries == 0) {
            fail("the sender sends more entries than it announced");
        }
        --entries;
    }
    void take_bytes(std::uint64_t size) {
        if (size > bytes) {
            fail("the sender sends more bytes than it announced");
        }
        bytes -= size;
    }
};

// A relative path of plain names: no empty, "." or ".." part, nothing absolute.
bool plain_path(const std::string &path) {
    if (path.empty() || path.size() > 4096 || path.find('\0') != std::string::npos) {
        return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string part = path.substr(start, slash - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
        start = slash + 1;
    }
}

std::string parent_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

mode_t mode_bits(std::uint64_t mode) {
    return static_cast<mode_t>(mode & 07777U);
}

// Owner first: chown clears the set-user-ID and set-group-ID bits that chmod then sets.
void own(const std::string &full, std::uint64_t uid, std::uint64_t gid) {
    if (lchown(full.c_str(), static_cast<uid_t>(uid), static_cast<gid_t>(gid)) != 0) {
        fail_on(full, "set the owner of");
    }
}

void set_time(int fd, const std::string &full, std::uint64_t seconds, std::uint64_t nanoseconds) {
    const timespec times[2] = {{static_cast<time_t>(seconds), static_cast<long>(nanoseconds)},
                               {static_cast<time_t>(seconds), static_cast<long>(nanoseconds)}};
    const int done = fd >= 0 ? futimens(fd, times)
                             : utimensat(AT_FDCWD, full.c_str(), times, AT_SYMLINK_NOFOLLOW);
    if (done != 0) {
        fail_on(full, "set the time of");
    }
}

void write_fd_all(int fd, const std::string &bytes, const std::string &full) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            fail_on(full, "write");
        }
        done += static_cast<std::size_t>(wrote);
    }
}

struct DatedDirectory {
    std::string full;
    std::uint64_t seconds;
    std::uint64_t nanoseconds;
};

}  // namespace

Sender::Sender(Channel channel)
    : channel_(std::move(channel)), writer_(channel_), reader_(channel_) {
    writer_.header();
}

std::pair<std::uint64_t, std::string> Sender::next_answer() {
    if (!answers_started_) {
        answers_started_ = true;
        reader_.header();
    }
    const Frame frame = reader_.expect(FrameType::kAnswer);
    FieldReader fields(frame.payload);
    std::pair<std::uint64_t, std::string> answer;
    answer.first = fields.number();
    answer.second = fields.text();
    fields.done();
    return answer;
}

void Sender::offer(const Offer &offer) {
    writer_.frame(FrameType::kName, offer.name);
    writer_.frame(FrameType::kRecord, offer.record);
    const auto answer = next_answer();
    if (answer.first == kRefused) {
        fail("the receiver refused: " + answer.second);
    }
    if (answer.first != kAccepted) {
        fail("the receiver answered out of turn");
    }
}

void Sender::send_folder(const std::string &folder) {
    try {
        std::uint64_t bytes = 0;
        std::uint64_t entries = 0;
        count_entries(folder, bytes, entries);
        writer_.frame(FrameType::kAnnounce, FieldWriter().number(bytes).number(entries).bytes());
        send_entries(writer_, folder, "");
        writer_.end();
    } catch (const Refusal &) {
        // A receiver that gave up says why before it closes; its reason is worth more than
        // the broken pipe it leaves.
        const std::exception_ptr broken = std::current_exception();
        std::pair<std::uint64_t, std::string> answer;
        try {
            channel_.set_timeout(std::min(channel_.timeout(), Milliseconds(1000)));
            answer = next_answer();
        } catch (const Refusal &) {
            std::rethrow_exception(broken);
        }
        if (answer.first != kFailed) {
            throw;
        }
        fail("the receiver failed: " + answer.second);
    }
}

void Sender::await_running(Milliseconds wait) {
    channel_.set_timeout(wait);
    const auto answer = next_answer();
    if (answer.first == kFailed) {
        fail("the receiver failed: " + answer.second);
    }
    if (answer.first != kRunning) {
        fail("the receiver answered out of turn");
    }
}

void Sender::commit() {
    writer_.frame(FrameType::kCommit, "");
}

Receiver::Receiver(Channel channel)
    : channel_(std::move(channel)), writer_(channel_), reader_(channel_) {}

Offer Receiver::receive_offer() {
    reader_.header();
    Offer offer;
    offer.name = reader_.expect(FrameType::kName).payload;
    offer.record = reader_.expect(FrameType::kRecord).payload;
    writer_.header();
    return offer;
}

void Receiver::answer(std::uint64_t kind, const std::string &text) {
    writer_.frame(FrameType::kAnswer, FieldWriter().number(kind).text(text).bytes());
}

void Receiver::accept() {
    answer(kAccepted, "");
}

void Receiver::refuse(const std::string &why) {
    answer(kRefused, why);
}

void Receiver::report_running() {
    answer(kRunning, "");
}

void Receiver::report_failure(const std::string &why) {
    answer(kFailed, why);
    // What the sender still sends is read and dropped until it hangs up: a socket closed
    // with unread bytes resets the connection, and a reset can throw away the answer before
    // the sender reads it.
    channel_.close_write();
    channel_.set_timeout(std::min(channel_.timeout(), Milliseconds(5000)));
    std::string sink(kChunk, '\0');
    try {
        while (channel_.read_some(sink.data(), sink.size()) > 0) {
        }
    } catch (const Refusal &) {
        // The sender hung up, or stayed silent: either way the answer is out.
    }
}

void Receiver::await_commit() {
    reader_.expect(FrameType::kCommit);
}

void Receiver::receive_folder(const std::string &folder) {
    if (mkdir(folder.c_str(), 0700) != 0) {
        fail_on(folder, "make");
    }
    Budget budget;
    {
        const Frame announce = reader_.expect(FrameType::kAnnounce);
        FieldReader fields(announce.payload);
        budget.bytes = fields.number();
        budget.entries = fields.number();
        fields.done();
    }
    budget.reserve = reserve_;
    budget.folder = folder;
    budget.check_room(budget.bytes);
    std::set<std::string> made{""};
    std::vector<DatedDirectory> dated;
    for (;;) {
        const Frame frame = reader_.next();
        if (frame.type == FrameType::kEnd) {
            break;
        }
        if (frame.type != FrameType::kData) {
            budget.take_entry();
        }
        FieldReader fields(frame.payload);
        const std::string path = frame.type == FrameType::kData ? "" : fields.text();
        if (frame.type == FrameType::kData || !plain_path(path) ||
            made.count(parent_of(path)) == 0) {
            fail("damaged transfer: entry '" + path + "' out of place");
        }
        const std::string full = inside(folder, path);
        if (frame.type == FrameType::kDirectory) {
            const std::uint64_t mode = fields.number();
            const std::uint64_t uid = fields.number();
            const std::uint64_t gid = fields.number();
            const std::uint64_t seconds = fields.number();
            const std::uint64_t nanoseconds = fields.number();
            if (mkdir(full.c_str(), 0700) != 0) {
                fail_on(full, "make");
            }
            own(full, uid, gid);
            if (chmod(full.c_str(), mode_bits(mode)) != 0) {
                fail_on(full, "set the mode of");
            }
            for (std::uint64_t count = fields.number(); count > 0; --count) {
                const std::string key = fields.text();
                const std::string value = fields.text();
                if (std::none_of(std::begin(kKeptAttributes), std::end(kKeptAttributes),
                                 [&](const char *kept) { return key == kept; })) {
                    fail("damaged transfer: attribute '" + key + "' is not carried");
                }
                if (lsetxattr(full.c_str(), key.c_str(), value.data(), value.size(), 0) != 0) {
                    fail_on(full, "set an attribute of");
                }
            }
            fields.done();
            made.insert(path);
            dated.push_back({full, seconds, nanoseconds});
        } else if (frame.type == FrameType::kFile) {
            const std::uint64_t mode = fields.number();
            const std::uint64_t uid = fields.number();
            const std::uint64_t gid = fields.number();
            const std::uint64_t seconds = fields.number();
            const std::uint64_t nanoseconds = fields.number();
            std::uint64_t left = fields.number();
            fields.done();
            budget.take_bytes(left);
            const Descriptor file(
                open(full.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (file.get() < 0) {
                fail_on(full, "make");
            }
            while (left > 0) {
                const Frame data = reader_.expect(FrameType::kData);
                if (data.payload.empty() || data.payload.size() > left) {
                    fail("damaged transfer: the data of " + path + " does not fit its size");
                }
                left -= data.payload.size();
                budget.check_room(budget.bytes + left);
                write_fd_all(file.get(), data.payload, full);
            }
            own(full, uid, gid);
            if (fchmod(file.get(), mode_bits(mode)) != 0) {
                fail_on(full, "set the mode of");
            }
            set_time(file.get(), full, seconds, nanoseconds);
        } else if (frame.type == FrameType::kSymlink) {
            const std::string target = fields.text();
            const std::uint64_t uid = fields.number();
            const std::uint64_t gid = fields.number();
            fields.done();
            if (symlink(target.c_str(), full.c_str()) != 0) {
                fail_on(full, "make");
            }
            own(full, uid, gid);
        } else if (frame.type == FrameType::kNode) {
            const std::uint64_t mode = fields.number();
            const std::uint64_t device = fields.number();
            const std::uint64_t uid = fields.number();
            const std::uint64_t gid = fields.number();
            fields.done();
            const auto type = static_cast<mode_t>(mode & S_IFMT);
            // A device node would open the host's devices to whoever reaches the container's
            // files; only an overlay's whiteout is a node a picture needs.
            if (type != S_IFCHR || device != makedev(0, 0)) {
                fail("entry '" + path +
                     "' is a device node, fifo or socket, which a picture may not hold");
            }
            if (mknod(full.c_str(), type | mode_bits(mode), static_cast<dev_t>(device)) != 0) {
                fail_on(full, "make");
            }
            own(full, uid, gid);
            if (chmod(full.c_str(), mode_bits(mode)) != 0) {
                fail_on(full, "set the mode of");
            }
        } else {
            fail("damaged transfer: frame of type " + std::to_string(static_cast<int>(frame.type)) +
                 " inside the folder");
        }
    }
    // Last, and innermost first: making entries inside a directory changes its time.
    for (auto it = dated.rbegin(); it != dated.rend(); ++it) {
        set_time(-1, it->full, it->seconds, it->nanoseconds);
    }
}

}  // namespace zor
