// The migration's transfer without containers: a folder crosses a real loopback connection
// whole, and every kind of damage to the stream, a silent peer and a closed port end in a
// refusal that says what went wrong, never in a hang or in a folder accepted as whole.
#include "loopback_support.hpp"

#include "refusal.hpp"
#include "stream_socket.hpp"
#include "transfer.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using zor::Milliseconds;

constexpr Milliseconds kPatient(10000);

// A folder of the test's own, removed at the end.
struct Scratch {
    fs::path path;
    Scratch() {
        char pattern[] = "/tmp/zor-transfer-test-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~Scratch() { fs::remove_all(path); }
};

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const fs::path &path, const std::string &bytes, fs::perms mode) {
    std::ofstream(path, std::ios::binary) << bytes;
    fs::permissions(path, mode);
}

// Every kind of entry: nested directories, files of 0, 1 and several chunks, a link that
// points nowhere, an overlay whiteout (which only root may make).
void fill(const fs::path &root) {
    std::mt19937 random(7);
    std::string big(2 * zor::kChunk + 123, '\0');
    for (char &byte : big) {
        byte = static_cast<char>(random());
    }
    fs::create_directories(root / "images" / "deep");
    write_file(root / "images" / "deep" / "pages.img", big, fs::perms::owner_read);
    write_file(root / "record.json", "{\"name\":\"web\"}", fs::perms(0640));
    write_file(root / "empty", "", fs::perms(0755));
    fs::permissions(root / "images", fs::perms(0711));
    fs::create_symlink("/nowhere/at/all", root / "images" / "link");
    mknod((root / "whiteout").c_str(), S_IFCHR | 0620, makedev(0, 0));
}

// A path and its kind, mode, size, content or target, for every entry below root.
std::map<std::string, std::string> describe(const fs::path &root) {
    std::map<std::string, std::string> entries;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        struct stat status {};
        lstat(entry.path().c_str(), &status);
        std::string text = std::to_string(status.st_mode) + " " + std::to_string(status.st_size);
        if (entry.is_symlink()) {
            text += " -> " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_regular_file()) {
            text += " " + std::to_string(std::hash<std::string>()(read_file(entry.path())));
        }
        entries[fs::relative(entry.path(), root).string()] = text;
    }
    return entries;
}

// Runs the receiving side to its end on channel and returns "" or its refusal.
std::string receive(zor::Channel channel, const fs::path &into) {
    try {
        zor::Receiver receiver(std::move(channel));
        const zor::Offer offer = receiver.receive_offer();
        receiver.accept();
        receiver.receive_folder(into.string());
        receiver.report_running();
        receiver.await_commit();
        return "";
    } catch (const zor::Refusal &refusal) {
        return refusal.what();
    }
}

// Reads a fake sender's answers until the receiver closes, so that its answers never meet a
// closed socket.
void drain(int fd) {
    fcntl(fd, F_SETFL, 0);
    char answers[4096];
    while (read(fd, answers, sizeof answers) > 0) {
    }
}

// The receiver fed with bytes as given, through a socket pair, the sending end closed after.
std::string receive_bytes(const std::string &bytes, const fs::path &into) {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    std::thread feeder([&] {
        zor::Channel feed(pair[1], kPatient);
        try {
            feed.write_all(bytes.data(), bytes.size());
        } catch (const zor::Refusal &) {
            // The receiver stopped reading; what it says is the test's subject.
        }
        shutdown(pair[1], SHUT_WR);
        drain(pair[1]);
    });
    std::string why = receive(zor::Channel(pair[0], kPatient), into);
    feeder.join();
    return why;
}

// The frames of a recorded stream: offset of each after the 12-byte header.
std::vector<std::size_t> frame_offsets(const std::string &stream) {
    std::vector<std::size_t> offsets;
    for (std::size_t at = 12; at + 5 <= stream.size();) {
        offsets.push_back(at);
        std::uint32_t length = 0;
        for (std::size_t i = 1; i <= 4; ++i) {
            length = (length << 8) | static_cast<unsigned char>(stream[at + i]);
        }
        at += 5 + length + 4;
    }
    return offsets;
}

class Transfer : public ::testing::Test {
protected:
    Scratch scratch_;
    // One whole migration of a filled folder through a recording proxy.
    std::string recorded_;

    void SetUp() override {
        fill(scratch_.path / "out");
        zor::Listener listener(0, true);
        transfer_test::ByteProxy proxy(listener.port());
        std::string sent_error;
        std::thread sending([&] {
            try {
                zor::Sender sender(zor::connect_to("127.0.0.1", proxy.port(), kPatient));
                sender.offer({"web", "{\"name\":\"web\"}"});
                sender.send_folder((scratch_.path / "out").string());
                sender.await_running(kPatient);
                sender.commit();
            } catch (const zor::Refusal &refusal) {
                sent_error = refusal.what();
            }
        });
        const std::string received =
            receive(listener.accept(kPatient, kPatient), scratch_.path / "in");
        sending.join();
        ASSERT_EQ(received, "");
        ASSERT_EQ(sent_error, "");
        recorded_ = proxy.forwarded();
    }
};

TEST_F(Transfer, AFolderArrivesWhole) {
    EXPECT_EQ(describe(scratch_.path / "in"), describe(scratch_.path / "out"));
    EXPECT_GT(frame_offsets(recorded_).size(), 10U);
}

TEST_F(Transfer, DamageIsCaughtWhereverItIs) {
    const std::vector<std::size_t> frames = frame_offsets(recorded_);
    // Two data frames of the big file, side by side and of the same size: swapped, every
    // frame's own checksum still holds and only the whole stream's digest tells.
    std::size_t first_data = 0;
    std::size_t last = 0;  // the end frame
    for (std::size_t at : frames) {
        if (recorded_[at] == static_cast<char>(zor::FrameType::kData) && first_data == 0) {
            first_data = at;
        }
        if (recorded_[at] == static_cast<char>(zor::FrameType::kEnd)) {
            last = at;
        }
    }
    ASSERT_GT(last, first_data);
    const std::size_t data_frame = 5 + zor::kChunk + 4;
    const struct {
        const char *name;
        std::function<void(std::string &)> damage;
        const char *refusal;
    } cases[] = {
        {"magic", [](std::string &s) { s[0] ^= 1; }, "does not speak the migration protocol"},
        {"version", [](std::string &s) { s[11] = 9; }, "protocol version 9"},
        {"name", [](std::string &s) { s[18] ^= 0x20; }, "checksum does not match"},
        {"length", [](std::string &s) { s[13] = 0x40; }, "a frame claims"},
        {"data", [&](std::string &s) { s[first_data + 1000] ^= 4; }, "checksum does not match"},
        {"digest", [&](std::string &s) { s[last + 20] ^= 1; }, "checksum does not match"},
        {"order",
         [&](std::string &s) {
             std::swap_ranges(s.begin() + static_cast<long>(first_data),
                              s.begin() + static_cast<long>(first_data + data_frame),
                              s.begin() + static_cast<long>(first_data + data_frame));
         },
         "digest of the whole transfer does not match"},
        {"cut in the header", [](std::string &s) { s.resize(7); }, "closed the connection early"},
        {"cut in a frame", [&](std::string &s) { s.resize(first_data + 77); }, "early"},
        {"end frame missing", [&](std::string &s) { s.resize(last); }, "early"},
        {"commit missing", [&](std::string &s) { s.resize(frames.back()); }, "early"},
    };
    for (const auto &c : cases) {
        std::string damaged = recorded_;
        c.damage(damaged);
        const fs::path into = scratch_.path / (std::string("in-") + c.name);
        EXPECT_NE(receive_bytes(damaged, into).find(c.refusal), std::string::npos) << c.name;
    }
    EXPECT_EQ(receive_bytes(recorded_, scratch_.path / "again"), "");
}

using Frames = std::vector<std::pair<zor::FrameType, std::string>>;

// A folder entry's frame as the sender writes it: path, then mode 0755 of kind and zeros
// (uid, gid, times, and for a file its size), or a link's target, uid and gid.
std::pair<zor::FrameType, std::string> entry(zor::FrameType type, const std::string &path,
                                             std::uint64_t kind = 040000, std::uint64_t size = 0) {
    zor::FieldWriter fields;
    fields.text(path);
    if (type == zor::FrameType::kSymlink) {
        fields.text("/").number(0).number(0);
    } else if (type == zor::FrameType::kNode) {
        fields.number(kind | 0666).number(size).number(0).number(0);
    } else {
        fields.number(kind | 0755).number(0).number(0).number(0).number(0).number(size);
    }
    return {type, fields.bytes()};
}

std::pair<zor::FrameType, std::string> announce(std::uint64_t bytes, std::uint64_t entries) {
    return {zor::FrameType::kAnnounce, zor::FieldWriter().number(bytes).number(entries).bytes()};
}

// A whole stream of frames (after the header, name and record) given to a receiver that keeps
// reserve free; returns its refusal.
std::string receive_frames(const Frames &frames, const fs::path &into, std::uint64_t reserve) {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    std::thread feeder([&] {
        zor::Channel feed(pair[1], kPatient);
        zor::FrameWriter writer(feed);
        try {
            writer.header();
            writer.frame(zor::FrameType::kName, "web");
            writer.frame(zor::FrameType::kRecord, "{}");
            for (const auto &frame : frames) {
                writer.frame(frame.first, frame.second);
            }
            writer.end();
        } catch (const zor::Refusal &) {
            // The receiver gave up first, as it should.
        }
        drain(pair[1]);
    });
    std::string why;
    try {
        zor::Receiver receiver(zor::Channel(pair[0], kPatient));
        receiver.set_disk_reserve(reserve);
        receiver.receive_offer();
        receiver.accept();
        receiver.receive_folder(into.string());
    } catch (const zor::Refusal &refusal) {
        why = refusal.what();
    }
    feeder.join();
    return why;
}

// Streams that are whole but name places they must not touch, carry nodes that open the
// host's devices, go past what they announced or would fill the disk: each is refused, and
// nothing outside the folder is made.
TEST_F(Transfer, TheReceiverTakesOnlyWhatAPictureMayHold) {
    using zor::FrameType;
    const std::uint64_t disk = std::uint64_t{1} << 60;
    const struct {
        const char *name;
        Frames frames;
        const char *refusal;
        std::uint64_t reserve;
    } cases[] = {
        {"parent", {announce(0, 9), entry(FrameType::kDirectory, "../escape")}, "out of place", 0},
        {"absolute",
         {announce(0, 9), entry(FrameType::kDirectory, scratch_.path.string() + "/escape")},
         "out of place",
         0},
        {"through a link",
         {announce(0, 9), entry(FrameType::kSymlink, "link"),
          entry(FrameType::kDirectory, "link/inside")},
         "out of place",
         0},
        {"no parent", {announce(0, 9), entry(FrameType::kFile, "missing/file")}, "out of place", 0},
        {"a device",
         {announce(0, 9), entry(FrameType::kNode, "null", S_IFCHR, makedev(1, 3))},
         "device node",
         0},
        {"a block device",
         {announce(0, 9), entry(FrameType::kNode, "disk", S_IFBLK, makedev(8, 0))},
         "device node",
         0},
        {"a fifo", {announce(0, 9), entry(FrameType::kNode, "fifo", S_IFIFO, 0)}, "fifo", 0},
        {"bytes beyond the announcement",
         {announce(10, 9), entry(FrameType::kFile, "big", 0100000, 20)},
         "more bytes than it announced",
         0},
        {"entries beyond the announcement",
         {announce(0, 1), entry(FrameType::kDirectory, "a"), entry(FrameType::kDirectory, "b")},
         "more entries than it announced",
         0},
        {"no announcement", {entry(FrameType::kDirectory, "a")}, "where 11 belongs", 0},
        {"a full disk", {announce(0, 9)}, "would keep less than", disk},
        {"a disk that fills",
         {announce(disk, 9), entry(FrameType::kFile, "huge", 0100000, disk)},
         "would keep less than",
         0},
    };
    for (const auto &c : cases) {
        const fs::path into = scratch_.path / "into";
        EXPECT_NE(receive_frames(c.frames, into, c.reserve).find(c.refusal), std::string::npos)
            << c.name;
        EXPECT_FALSE(fs::exists(scratch_.path / "escape")) << c.name;
        EXPECT_FALSE(fs::exists(scratch_.path / "inside")) << c.name;
        EXPECT_FALSE(fs::exists(into / "null") || fs::exists(into / "disk") ||
                     fs::exists(into / "fifo"))
            << c.name;
        fs::remove_all(into);
    }
}

// A sender that says nothing. (A silent receiver, a closed port and a taken one are met by
// the tools themselves in the migration tests.)
TEST(TransferConnection, SilenceFailsInsteadOfHanging) {
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    EXPECT_NE(receive(zor::Channel(pair[0], Milliseconds(200)), "/nonexistent").find("no answer"),
              std::string::npos);
    close(pair[1]);
}

}  // namespace
