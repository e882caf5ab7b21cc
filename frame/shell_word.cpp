// Escaping one caller text as exactly one shell word.
#include "command_frame.hpp"

#include <cstring>

namespace ZOR_FRAME_NAMESPACE::frame {

namespace {

// The characters that get a backslash. Besides the quoting, expansion, globbing and command
// characters, this holds the backquote, "&", "<", ">", "#" and "~": left live they would
// start a command substitution, a background command or a redirection, or change the words
// the tool receives. Blank and tab are here so that no caller text splits into words that
// the tool would read as options of their own.
constexpr char kEscapeSet[] = "\\\"$@'()^|[]{};*?`&<>#~ \t";

// A newline cannot be escaped with a backslash (that joins lines), so it is quoted instead.
constexpr char kQuotedNewline[] = "'\n'";
constexpr std::size_t kQuotedNewlineLength = sizeof kQuotedNewline - 1;

// The empty text as a word of its own; appended as nothing, the next word would take its
// place.
constexpr char kEmptyWord[] = "''";
constexpr std::size_t kEmptyWordLength = sizeof kEmptyWord - 1;

// One entry per byte value, so that the escaping costs a load per character instead of a
// scan of the set.
struct EscapeTable {
    bool escaped[256];
};

constexpr EscapeTable make_escape_table() noexcept {
    EscapeTable table{};
    for (const char *at = kEscapeSet; *at != '\0'; ++at) {
        table.escaped[static_cast<unsigned char>(*at)] = true;
    }
    return table;
}

constexpr EscapeTable kEscapeTable = make_escape_table();

bool is_escaped(char c) noexcept {
    return kEscapeTable.escaped[static_cast<unsigned char>(c)];
}

}  // namespace

int escape_within(char *destination, const char *source, std::size_t max_length) noexcept {
    if (source == nullptr || destination == nullptr) {
        return kMissing;
    }
    if (source[0] == '\0') {
        if (kEmptyWordLength > max_length) {
            destination[0] = '\0';
            return kTooLong;
        }
        std::memcpy(destination, kEmptyWord, kEmptyWordLength + 1);
        return 0;
    }
    std::size_t length = 0;
    for (const char *at = source; *at != '\0'; ++at) {
        const std::size_t needed = *at == '\n' ? kQuotedNewlineLength : is_escaped(*at) ? 2 : 1;
        if (length + needed > max_length) {
            destination[0] = '\0';
            return kTooLong;
        }
        if (*at == '\n') {
            std::memcpy(destination + length, kQuotedNewline, kQuotedNewlineLength);
        } else if (needed == 2) {
            destination[length] = '\\';
            destination[length + 1] = *at;
        } else {
            destination[length] = *at;
        }
        length += needed;
    }
    destination[length] = '\0';
    return 0;
}

int escape_meta_char(char *destination, const char *source) noexcept {
    return escape_within(destination, source, kMaxLength);
}

}  // namespace ZOR_FRAME_NAMESPACE::frame
