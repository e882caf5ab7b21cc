// Moving one container's picture over one TCP connection. The conversation:
//   sender:   header, name frame, record frame
//   receiver: header, answer "accepted" (or "refused" with why, and the end)
//   sender:   an announcement of the folder's size (file bytes, entries), the folder
//             (directories, files in chunks of at most kChunk bytes, symbolic links, overlay
//             whiteouts), then the end frame with the digest of its whole stream
//   receiver: answer "running" once the container runs there, or "failed" with why
//   sender:   a commit frame: it lets go of its copy
// A receiver that hears no commit takes its copy away again, so that a sender that dies
// after its dump (its copy frozen, not removed) still holds the only copy.
// Each side refuses with kMigrationFailure when the other breaks the conversation, goes silent
// for the channel's timeout, or sends a damaged stream (frame_stream.hpp).
#pragma once

#include "frame_stream.hpp"
#include "stream_socket.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace zor {

// The largest piece of a file in one data frame.
constexpr std::size_t kChunk = std::size_t{256} * 1024;

// What the sender offers before the folder.
struct Offer {
    std::string name;    // the container's name
    std::string record;  // its record (JSON)
};

// The sending side.
class Sender {
public:
    explicit Sender(Channel channel);
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;
    // Offers the container and waits for the answer; refuses with the receiver's reason.
    void offer(const Offer &offer);
    // Sends everything below folder (which is not itself sent), then the end frame. When the
    // receiver gives up half-way, refuses with its reason where it gave one.
    void send_folder(const std::string &folder);
    // Waits at most wait for the receiver to say that the container runs; refuses with its
    // reason, or when it says nothing.
    void await_running(Milliseconds wait);
    // Tells the receiver that it may keep the container.
    void commit();

private:
    Channel channel_;
    FrameWriter writer_;
    FrameReader reader_;
    bool answers_started_ = false;
    std::pair<std::uint64_t, std::string> next_answer();
};

// The receiving side.
class Receiver {
public:
    explicit Receiver(Channel channel);
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;
    // Reads the sender's header and offer.
    Offer receive_offer();
    void accept();
    void refuse(const std::string &why);
    // Makes folder (which must not exist) and everything the sender sends into it, and checks
    // the whole stream's digest. Entry names are checked: no absolute path, no "..", nothing
    // made through a symbolic link or outside folder. Only directories, regular files,
    // symbolic links and overlay whiteouts (character devices 0:0) are made; any other node
    // is refused. The transfer stops at once when it goes past the size the sender announced,
    // or when the disk that holds folder would keep less than the reserve free.
    void receive_folder(const std::string &folder);
    // The bytes the disk must keep free while a folder is received (0 by default).
    void set_disk_reserve(std::uint64_t bytes) { reserve_ = bytes; }
    void report_running();
    // Waits for the sender's commit; refuses when it does not come.
    void await_commit();
    void report_failure(const std::string &why);

private:
    Channel channel_;
    FrameWriter writer_;
    FrameReader reader_;
    std::uint64_t reserve_ = 0;
    void answer(std::uint64_t kind, const std::string &text);
};

}  // namespace zor
