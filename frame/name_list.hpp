// Listings: every line of a tool's output, read through the frame's Pipe, becomes one entry
// of a null-terminated array of pointers that the caller owns until it hands the array to
// the library's release operation. Name lists hold one 1024-byte text block per entry; other
// lists (pairs of numbers, say) hold blocks of their own entry type.
//
// A line loses only its trailing newline. A line longer than kMaxLength characters arrives
// in pieces of at most kMaxLength characters; every piece is one line of its own and keeps
// all its characters, and the newline that ends such a cut line, read alone, is no line. A
// NUL byte in the output ends the text of its piece, not the line.
//
// Compiled into each client library beside the command frame, in the same namespace.
#pragma once

#include "command_frame.hpp"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ZOR_FRAME_NAMESPACE::frame {

// One line of a tool's output as a listing sees it: at most kMaxLength characters, without
// its newline. text is NUL-terminated and may be changed in place until the next line.
struct OutputLine {
    char *text;
    std::size_t length;
    bool continues_cut_line;  // a later piece of a line longer than kMaxLength characters
};

// Reads a tool's output stream line by line, after skipping its header: with a marker,
// every line up to and including the first line that holds the marker (all the pieces of
// that line, when it was cut) is a header; without a marker (nullptr) there is none. When no
// line holds the marker, the whole output is header.
class OutputLines {
public:
    // stream is a pipe's output (Pipe::stream) or any stream opened for reading; null reads
    // as empty output. The caller keeps and closes it.
    OutputLines(std::FILE *stream, const char *header_marker) noexcept;
    OutputLines(const OutputLines &) = delete;
    OutputLines &operator=(const OutputLines &) = delete;

    // The next line after the header into line; false at the end of the output.
    bool next(OutputLine &line) noexcept;

private:
    // What one read of the stream gave; the text is in buffer_.
    struct Piece {
        std::size_t length;  // of the text, which ends at the newline or at a NUL byte
        bool continues;      // a later piece of a cut line
        bool ends_line;      // the piece held its line's newline
        bool newline_alone;  // the piece was nothing but that newline
    };

    // The next piece as the stream gives it; false at the end of the output.
    bool read_piece(Piece &piece) noexcept;
    // The next piece that is a line: the newline of a cut line, read alone, is none.
    bool next_piece(OutputLine &line) noexcept;
    bool skip_header() noexcept;

    std::FILE *stream_;
    const char *header_marker_;
    bool header_skipped_;
    bool in_cut_line_;  // the last piece read did not end its line
    char buffer_[kBufferSize];
};

// A null-terminated array of pointers to Entry blocks allocated with malloc, being built.
// The array grows geometrically, so a list of n entries costs O(n) copying in all; there is
// always room for the terminator. Until release() hands the array over, the list owns it and
// frees every block and the array when it goes out of scope.
template <typename Entry>
class EntryList {
public:
    EntryList() noexcept = default;
    EntryList(const EntryList &) = delete;
    EntryList &operator=(const EntryList &) = delete;
    ~EntryList() {
        for (std::size_t index = 0; index < count_; ++index) {
            std::free(slots_[index]);
        }
        std::free(slots_);
    }

    // Takes the malloc'ed block as the next entry. False when the array cannot grow; the
    // block is then freed and the list keeps what it held.
    bool adopt(Entry *block) noexcept {
        if (block == nullptr || !make_room()) {
            std::free(block);
            return false;
        }
        slots_[count_] = block;
        ++count_;
        slots_[count_] = nullptr;
        return true;
    }

    // Appends a copy of value in a block of sizeof(Entry) bytes. False when memory runs out.
    bool add_copy(const Entry &value) noexcept {
        auto *block = static_cast<Entry *>(std::malloc(sizeof(Entry)));
        if (block != nullptr) {
            std::memcpy(block, &value, sizeof(Entry));
        }
        return adopt(block);
    }

    std::size_t size() const noexcept { return count_; }

    // Hands the array over: null when the list is empty (no array is kept then).
    Entry **release() noexcept {
        Entry **array = slots_;
        if (count_ == 0) {
            std::free(array);
            array = nullptr;
        }
        slots_ = nullptr;
        count_ = 0;
        capacity_ = 0;
        return array;
    }

private:
    static constexpr std::size_t kFirstCapacity = 16;

    // Room for one more entry and the terminator after it.
    bool make_room() noexcept {
        if (count_ + 2 <= capacity_) {
            return true;
        }
        const std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
        if (capacity > static_cast<std::size_t>(-1) / sizeof(Entry *)) {
            return false;
        }
        void *grown = std::realloc(static_cast<void *>(slots_), capacity * sizeof(Entry *));
        if (grown == nullptr) {
            return false;
        }
        slots_ = static_cast<Entry **>(grown);
        capacity_ = capacity;
        return true;
    }

    Entry **slots_ = nullptr;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
};

using NameList = EntryList<char>;

// Appends the first length characters of text (at most kMaxLength) as a name entry in a
// block of its own of kBufferSize bytes. False when memory runs out.
bool add_name(NameList &names, const char *text, std::size_t length) noexcept;

// The part of a line that becomes its entry; text is null when the line gives no entry.
struct Field {
    const char *text;
    std::size_t length;
};

// Picks the entry of a line (a listing's table parsing, say).
using FieldRule = Field (*)(const OutputLine &line) noexcept;

// The whole line.
Field whole_line(const OutputLine &line) noexcept;

// The second field of a text: fields are split at runs of blanks (a tab belongs to its
// field) and leading blanks are skipped. Null when the text has no second field (an empty
// line, a lone word).
Field second_field(const char *text) noexcept;

// The second field of a line, as a table row gives its entry: a row without one gives none.
Field second_field(const OutputLine &line) noexcept;

// How a name listing reads the tool's output.
struct NameListRules {
    const char *header_marker;  // see OutputLines; nullptr for output without a header
    FieldRule entry;            // what of each line becomes its entry
};

// Makes one name entry of every line of stream after the header. Stores the array (null
// when no line gave an entry) in *list and returns 0; kMissing, with *list as it was, when
// memory runs out (the entries read so far are freed). The caller keeps and closes stream.
int read_names(std::FILE *stream, const NameListRules &rules, char ***list) noexcept;

// Runs the command through a pipe and makes one name entry of every line after the header.
// On success stores the array (null when no line gave an entry) in *list and returns 0; the
// exit status of the tool is not examined. Otherwise *list keeps what it held and the result
// is the refusal of the command (kMissing, kTooLong), kMissing when the pipe failed to start,
// or kMissing when memory ran out (the entries read so far are freed).
int read_name_list(const Command &command, const NameListRules &rules, char ***list) noexcept;

// What releasing a list whose first slot is already the terminator does.
enum class EmptyArray {
    kRefused,  // returns kMissing and frees nothing
    kFreed,    // frees the array and returns 0
};

// Frees the entries of list in order, clearing each slot after its entry is freed, then the
// array. Returns 0, or kMissing for a null list (nothing freed) and, by the rule given, for
// a list whose first slot is the terminator.
template <typename Entry>
int release_entries(Entry **list, EmptyArray empty) noexcept {
    if (list == nullptr || (list[0] == nullptr && empty == EmptyArray::kRefused)) {
        return kMissing;
    }
    for (Entry **slot = list; *slot != nullptr; ++slot) {
        std::free(*slot);
        *slot = nullptr;
    }
    std::free(static_cast<void *>(list));
    return 0;
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
