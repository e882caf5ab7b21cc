// Listings: reading every line of a tool's output into a list that the caller owns.
#include "name_list.hpp"

#include <cstdio>
#include <cstring>

namespace ZOR_FRAME_NAMESPACE::frame {

OutputLines::OutputLines(std::FILE *stream, const char *header_marker) noexcept
    : stream_(stream),
      header_marker_(header_marker),
      header_skipped_(header_marker == nullptr),
      in_cut_line_(false),
      buffer_{} {}

bool OutputLines::read_piece(Piece &piece) noexcept {
    // fgets leaves the buffer after its terminator as it was. Filled with newlines first, the
    // last NUL in the buffer is then where the piece ends, also when the output holds NUL
    // bytes of its own, at which the text of the piece ends.
    std::memset(buffer_, '\n', sizeof buffer_);
    if (stream_ == nullptr ||
        std::fgets(buffer_, static_cast<int>(sizeof buffer_), stream_) == nullptr) {
        return false;
    }
    std::size_t length = std::strlen(buffer_);
    std::size_t read = length;
    if (length < kMaxLength && (length == 0 || buffer_[length - 1] != '\n')) {
        // The output ended, or the piece holds a NUL byte.
        read = static_cast<std::size_t>(
            static_cast<const char *>(memrchr(buffer_, '\0', sizeof buffer_)) - buffer_);
    }
    const bool ends_line = read > 0 && buffer_[read - 1] == '\n';
    if (ends_line && length == read) {
        --length;
        buffer_[length] = '\0';
    }
    piece.continues = in_cut_line_;
    piece.ends_line = ends_line;
    piece.newline_alone = ends_line && read == 1;
    piece.length = length;
    // A piece without its newline is either cut at kMaxLength characters or the last line
    // of output; in both cases the next piece, if any, continues it.
    in_cut_line_ = !ends_line;
    return true;
}

bool OutputLines::next_piece(OutputLine &line) noexcept {
    Piece piece{};
    while (read_piece(piece)) {
        if (piece.continues && piece.newline_alone) {
            continue;  // the newline of a cut line, read alone
        }
        line = OutputLine{buffer_, piece.length, piece.continues};
        return true;
    }
    return false;
}

bool OutputLines::skip_header() noexcept {
    Piece piece{};
    bool marker_seen = false;
    while (read_piece(piece)) {
        marker_seen = marker_seen || std::strstr(buffer_, header_marker_) != nullptr;
        // The header ends with the line that holds the marker, all of its pieces included:
        // with the piece that holds its newline, which may be a piece of its own.
        if (marker_seen && piece.ends_line) {
            return true;
        }
    }
    return false;
}

bool OutputLines::next(OutputLine &line) noexcept {
    if (!header_skipped_) {
        header_skipped_ = true;
        if (!skip_header()) {
            return false;
        }
    }
    return next_piece(line);
}

bool add_name(NameList &names, const char *text, std::size_t length) noexcept {
    auto *block = static_cast<char *>(std::malloc(kBufferSize));
    if (block == nullptr) {
        return false;
    }
    if (length > kMaxLength) {
        length = kMaxLength;
    }
    // The block keeps its full size for the caller; only the text and its end are written,
    // since clearing a kilobyte per entry would cost more than reading the line.
    std::memcpy(block, text, length);
    block[length] = '\0';
    return names.adopt(block);
}

Field whole_line(const OutputLine &line) noexcept {
    return {line.text, line.length};
}

Field second_field(const char *text) noexcept {
    const char *at = text;
    while (*at == ' ') {
        ++at;
    }
    while (*at != ' ' && *at != '\0') {
        ++at;
    }
    while (*at == ' ') {
        ++at;
    }
    std::size_t length = 0;
    while (at[length] != ' ' && at[length] != '\0') {
        ++length;
    }
    if (length == 0) {
        return {nullptr, 0};
    }
    return {at, length};
}

Field second_field(const OutputLine &line) noexcept {
    return second_field(line.text);
}

int read_names(std::FILE *stream, const NameListRules &rules, char ***list) noexcept {
    const FieldRule entry_of = rules.entry != nullptr ? rules.entry : whole_line;
    OutputLines lines(stream, rules.header_marker);
    NameList names;
    for (OutputLine line{}; lines.next(line);) {
        const Field entry = entry_of(line);
        if (entry.text != nullptr && !add_name(names, entry.text, entry.length)) {
            return kMissing;  // the entries are freed on the way out
        }
    }
    *list = names.release();
    return 0;
}

int read_name_list(const Command &command, const NameListRules &rules, char ***list) noexcept {
    if (list == nullptr) {
        return kMissing;
    }
    Pipe pipe(command);
    if (!pipe.is_open()) {
        return pipe.result().code;
    }
    // On failure the pipe closes on the way out.
    const int read = read_names(pipe.stream(), rules, list);
    if (read != 0) {
        return read;
    }
    // The tool's exit status says nothing about the list: what it printed is the list.
    pipe.close();
    return 0;
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
