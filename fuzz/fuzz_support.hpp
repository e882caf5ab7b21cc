// Small helpers that the fuzz targets share: failing a property, a stable hash of the input
// (so that a reproduction of an input takes the same paths), and the input as a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz {

// Ends the run when a property does not hold. libFuzzer reports the abort as a crash and
// writes the input to a crash file, which then becomes a regression seed.
inline void require(bool holds, const char *property) {
    if (!holds) {
        std::fprintf(stderr, "property failed: %s\n", property);
        std::abort();
    }
}

// FNV-1a over the input: picks the checks and bounds that depend on the input, the same ones
// on every run of the same bytes.
inline std::uint32_t hash_of(const std::uint8_t *data, std::size_t size) {
    std::uint32_t hash = 2166136261U;
    for (std::size_t index = 0; index < size; ++index) {
        hash = (hash ^ data[index]) * 16777619U;
    }
    return hash;
}

// The input up to its first NUL byte, as the C string a routine receives.
inline std::string c_string_of(const std::uint8_t *data, std::size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    const std::size_t end = text.find('\0');
    if (end != std::string::npos) {
        text.resize(end);
    }
    return text;
}

// The input as a read-only stream, NUL bytes included, as a tool's output would arrive
// through a pipe. The bytes are copied so that the stream owns what it reads.
class InputStream {
public:
    InputStream(const std::uint8_t *data, std::size_t size)
        : bytes_(data, data + size), stream_(nullptr) {
        // One byte more than is read, so that even an empty input has storage of its own.
        bytes_.push_back(0);
        stream_ = fmemopen(bytes_.data(), size, "r");
        require(stream_ != nullptr, "fmemopen opens the input");
    }
    InputStream(const InputStream &) = delete;
    InputStream &operator=(const InputStream &) = delete;
    ~InputStream() { std::fclose(stream_); }

    std::FILE *get() const { return stream_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::FILE *stream_;
};

}  // namespace fuzz
