// The command frame's composing: the command as given and its escaped twin, in step.
#include "command_frame.hpp"

#include <cstdio>
#include <cstring>

namespace ZOR_FRAME_NAMESPACE::frame {

Command::Command(const char *prefix) noexcept
    : text_{}, escaped_{}, length_(0), escaped_length_(0), escaped_overflow_(false), refusal_(0) {
    add(fixed(prefix));
}

Command &Command::add(const Piece &piece) noexcept {
    if (refusal_ != 0) {
        return *this;
    }
    switch (piece.kind) {
    case Piece::Kind::kSkip:
        break;
    case Piece::Kind::kAbsent:
        refusal_ = kMissing;
        break;
    case Piece::Kind::kFixed:
        append(piece.text, std::strlen(piece.text));
        append_escaped(piece.text, std::strlen(piece.text));
        break;
    case Piece::Kind::kText:
    case Piece::Kind::kNumber: {
        // The option buffer bounds the formatted option as the command buffer bounds the
        // command: an option that does not fit refuses the command like any long piece.
        char option_text[kBufferSize];
        const int written =
            piece.kind == Piece::Kind::kNumber
                ? std::snprintf(option_text, sizeof option_text, "%s%d", piece.flag, piece.number)
                : std::snprintf(option_text, sizeof option_text, "%s%s", piece.flag, piece.text);
        if (written < 0 || static_cast<std::size_t>(written) > kMaxLength) {
            refusal_ = kTooLong;
            break;
        }
        append(option_text, static_cast<std::size_t>(written));
        if (refusal_ != 0) {
            break;
        }
        if (piece.kind == Piece::Kind::kNumber) {
            append_escaped(option_text, static_cast<std::size_t>(written));
        } else {
            append_escaped(piece.flag, std::strlen(piece.flag));
            append_word(piece.text);
        }
        break;
    }
    }
    return *this;
}

void Command::append(const char *piece, std::size_t piece_length) noexcept {
    if (length_ + piece_length > kMaxLength) {
        refusal_ = kTooLong;
        return;
    }
    std::memcpy(text_ + length_, piece, piece_length);
    length_ += piece_length;
    text_[length_] = '\0';
}

// The frame's own text reaches the shell as it is: it holds no metacharacter, and its blanks
// separate the words.
void Command::append_escaped(const char *piece, std::size_t piece_length) noexcept {
    if (escaped_overflow_ || escaped_length_ + piece_length > kMaxLength) {
        escaped_overflow_ = true;
        return;
    }
    std::memcpy(escaped_ + escaped_length_, piece, piece_length);
    escaped_length_ += piece_length;
    escaped_[escaped_length_] = '\0';
}

void Command::append_word(const char *word) noexcept {
    if (escaped_overflow_) {
        return;
    }
    if (escape_within(escaped_ + escaped_length_, word, kMaxLength - escaped_length_) != 0) {
        escaped_overflow_ = true;
        return;
    }
    escaped_length_ += std::strlen(escaped_ + escaped_length_);
}

int Command::escape_into(char *run, std::size_t reserve) const noexcept {
    if (refusal_ != 0) {
        run[0] = '\0';
        return refusal_;
    }
    if (escaped_overflow_ || escaped_length_ + reserve > kMaxLength) {
        run[0] = '\0';
        return kTooLong;
    }
    std::memcpy(run, escaped_, escaped_length_ + 1);
    return 0;
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
