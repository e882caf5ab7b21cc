// Framing, per-frame CRC-32 (zlib) and the whole stream's SHA-256 (OpenSSL's libcrypto).
#include "frame_stream.hpp"

#include "refusal.hpp"

#include <zlib.h>

#include <array>
#include <cstring>

namespace zor {

namespace {

constexpr char kMagic[8] = {'Z', 'O', 'R', 'M', 'O', 'V', 'E', '\n'};
// 2: runs inside mutual TLS 1.3, announces the folder's size, carries no device nodes.
constexpr std::uint32_t kVersion = 2;
constexpr std::size_t kDigestSize = 32;

[[noreturn]] void damaged(const std::string &what) {
    throw Refusal(kMigrationFailure, "damaged transfer: " + what);
}

void put_be(std::string &bytes, std::uint64_t value, int size) {
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<char>((value >> shift) & 0xFFU));
    }
}

std::uint64_t get_be(const char *bytes, int size) {
    std::uint64_t value = 0;
    for (int at = 0; at < size; ++at) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at]);
    }
    return value;
}

std::uint32_t checksum(const std::string &bytes) {
    const auto *data = reinterpret_cast<const Bytef *>(bytes.data());
    return static_cast<std::uint32_t>(
        crc32_z(crc32_z(0, Z_NULL, 0), data, static_cast<z_size_t>(bytes.size())));
}

std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> new_digest() {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        throw Refusal(kMigrationFailure, "cannot start a SHA-256 digest");
    }
    return context;
}

void add_to(EVP_MD_CTX *context, const std::string &bytes) {
    EVP_DigestUpdate(context, bytes.data(), bytes.size());
}

// The digest so far, leaving the running one untouched.
std::string digest_of(EVP_MD_CTX *context) {
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> copy(EVP_MD_CTX_new(),
                                                                   EVP_MD_CTX_free);
    std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
    unsigned int size = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), context) != 1 ||
        EVP_DigestFinal_ex(copy.get(), value.data(), &size) != 1 || size != kDigestSize) {
        throw Refusal(kMigrationFailure, "cannot finish a SHA-256 digest");
    }
    return {reinterpret_cast<const char *>(value.data()), size};
}

std::string header_bytes() {
    std::string bytes(kMagic, sizeof kMagic);
    put_be(bytes, kVersion, 4);
    return bytes;
}

}  // namespace

FrameWriter::FrameWriter(Channel &channel) : channel_(channel), digest_(new_digest()) {}

void FrameWriter::write(const std::string &bytes) {
    add_to(digest_.get(), bytes);
    channel_.write_all(bytes.data(), bytes.size());
}

void FrameWriter::header() {
    write(header_bytes());
}

void FrameWriter::frame(FrameType type, const std::string &payload) {
    if (payload.size() > kMaxPayload) {
        throw Refusal(kMigrationFailure,
                      "a frame of " + std::to_string(payload.size()) + " bytes is above the limit");
    }
    std::string bytes;
    bytes.reserve(payload.size() + 9);
    bytes.push_back(static_cast<char>(type));
    put_be(bytes, payload.size(), 4);
    bytes += payload;
    put_be(bytes, checksum(bytes), 4);
    write(bytes);
}

void FrameWriter::end() {
    frame(FrameType::kEnd, digest_of(digest_.get()));
}

FrameReader::FrameReader(Channel &channel) : channel_(channel), digest_(new_digest()) {}

void FrameReader::header() {
    const std::string expected = header_bytes();
    std::string got(expected.size(), '\0');
    channel_.read_exact(got.data(), got.size());
    if (got.compare(0, sizeof kMagic, expected, 0, sizeof kMagic) != 0) {
        throw Refusal(kMigrationFailure, "the peer does not speak the migration protocol");
    }
    if (got != expected) {
        throw Refusal(kMigrationFailure, "the peer speaks protocol version " +
                                             std::to_string(get_be(got.data() + sizeof kMagic, 4)) +
                                             ", not " + std::to_string(kVersion));
    }
    add_to(digest_.get(), got);
}

Frame FrameReader::next() {
    std::string bytes(5, '\0');
    channel_.read_exact(bytes.data(), 5);
    const std::uint64_t length = get_be(bytes.data() + 1, 4);
    // Checked before the payload is read, so that a damaged length cannot make the reader
    // wait for, or allocate, gigabytes.
    if (length > kMaxPayload) {
        damaged("a frame claims " + std::to_string(length) + " bytes");
    }
    bytes.resize(5 + length + 4);
    channel_.read_exact(&bytes[5], length + 4);
    const std::string covered = bytes.substr(0, 5 + length);
    if (get_be(bytes.data() + 5 + length, 4) != checksum(covered)) {
        damaged("a frame's checksum does not match");
    }
    Frame frame;
    frame.type = static_cast<FrameType>(bytes[0]);
    frame.payload = bytes.substr(5, length);
    if (frame.type == FrameType::kEnd) {
        if (frame.payload != digest_of(digest_.get())) {
            damaged("the digest of the whole transfer does not match");
        }
    } else {
        add_to(digest_.get(), bytes);
    }
    return frame;
}

Frame FrameReader::expect(FrameType type) {
    Frame frame = next();
    if (frame.type != type) {
        damaged("frame of type " + std::to_string(static_cast<int>(frame.type)) + " where " +
                std::to_string(static_cast<int>(type)) + " belongs");
    }
    return frame;
}

FieldWriter &FieldWriter::number(std::uint64_t value) {
    put_be(bytes_, value, 8);
    return *this;
}

FieldWriter &FieldWriter::text(const std::string &value) {
    put_be(bytes_, value.size(), 4);
    bytes_ += value;
    return *this;
}

std::uint64_t FieldReader::number() {
    if (payload_.size() - at_ < 8) {
        damaged("a frame is too short for its fields");
    }
    const std::uint64_t value = get_be(payload_.data() + at_, 8);
    at_ += 8;
    return value;
}

std::string FieldReader::text() {
    if (payload_.size() - at_ < 4) {
        damaged("a frame is too short for its fields");
    }
    const std::uint64_t size = get_be(payload_.data() + at_, 4);
    at_ += 4;
    if (payload_.size() - at_ < size) {
        damaged("a frame is too short for its fields");
    }
    std::string value = payload_.substr(at_, size);
    at_ += size;
    return value;
}

void FieldReader::done() const {
    if (at_ != payload_.size()) {
        damaged("a frame has bytes beyond its fields");
    }
}

}  // namespace zor
