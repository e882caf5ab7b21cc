// The framed stream of a migration. A stream starts with a header (magic, version); then come
// frames, each
//   type (1 byte) | payload length (4 bytes, big-endian) | payload | CRC-32 (4 bytes)
// where the CRC-32 (zlib's) covers type, length and payload, so that a flipped bit anywhere in
// a frame is caught where it happens. The sender's stream ends with an end frame whose payload
// is the SHA-256 of every byte before it (header and frames), so that a frame lost, repeated
// or reordered whole is caught as well.
#pragma once

#include "stream_socket.hpp"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string>

namespace zor {

enum class FrameType : std::uint8_t {
    kName = 1,       // the container's name
    kRecord = 2,     // the container's record (JSON)
    kDirectory = 3,  // folder entries: see transfer.cpp for their fields
    kFile = 4,
    kData = 5,
    kSymlink = 6,
    kNode = 7,
    kEnd = 8,        // SHA-256 of the stream before this frame
    kAnswer = 9,     // the receiver's answers (transfer.hpp)
    kCommit = 10,    // the sender lets go of the container, after the end frame
    kAnnounce = 11,  // the folder's size before its entries: file bytes, entry count
};

// The longest payload a frame may carry; a longer length is a damaged stream.
constexpr std::uint32_t kMaxPayload = 1U << 20;

struct Frame {
    FrameType type = FrameType::kEnd;
    std::string payload;
};

// Writes one stream on a channel.
class FrameWriter {
public:
    explicit FrameWriter(Channel &channel);
    // The header; once, first.
    void header();
    // One frame; refuses a payload above kMaxPayload.
    void frame(FrameType type, const std::string &payload);
    // The end frame with the digest of everything written before it.
    void end();

private:
    Channel &channel_;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> digest_;
    void write(const std::string &bytes);
};

// Reads one stream from a channel; every fault (bad magic or version, a checksum or length
// that does not fit, the stream ending early, a wrong digest) refuses with kMigrationFailure.
class FrameReader {
public:
    explicit FrameReader(Channel &channel);
    void header();
    // The next frame; an end frame is returned only after its digest has been checked.
    Frame next();
    // The next frame, which must be of type.
    Frame expect(FrameType type);

private:
    Channel &channel_;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> digest_;
};

// Fields within a payload: numbers big-endian, texts with a 4-byte length before them.
class FieldWriter {
public:
    FieldWriter &number(std::uint64_t value);
    FieldWriter &text(const std::string &value);
    const std::string &bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// Reads the fields of a payload back; refuses (kMigrationFailure) a payload that is too short
// for them or that has bytes left over at done().
class FieldReader {
public:
    explicit FieldReader(const std::string &payload) : payload_(payload) {}
    std::uint64_t number();
    std::string text();
    void done() const;

private:
    const std::string &payload_;
    std::size_t at_ = 0;
};

}  // namespace zor
