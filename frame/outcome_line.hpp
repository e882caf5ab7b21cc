// Outcome lines and operations. An operation writes at most one kestal_log line: priority 6
// with its success text or priority 3 with its failure text, which ends with "(ErrNo=%d)" and
// the result code. The texts are printf formats checked at compile time: every text object
// is constexpr, and its constructor refuses a text whose conversions do not match its
// argument types or that breaks the rules of the outcome line (the library's tag, a verb
// word and ": ", "Failed to" in failure texts, a closing "." in success texts).
#pragma once

#include "command_frame.hpp"
#include "frame_settings.hpp"

#include <kestal.h>

#include <cstddef>
#include <initializer_list>

namespace ZOR_FRAME_NAMESPACE::frame {

// Where an outcome line comes from: the operation's source line and function name.
struct Site {
    int line;
    const char *function;
};

namespace detail {

template <typename T>
struct Conversion;
template <>
struct Conversion<const char *> {
    static constexpr char kLetter = 's';
};
template <>
struct Conversion<int> {
    static constexpr char kLetter = 'd';
};

template <typename T>
struct Identity {
    using Type = T;
};

constexpr bool starts_with(const char *text, const char *start) noexcept {
    for (; *start != '\0'; ++text, ++start) {
        if (*text != *start) {
            return false;
        }
    }
    return true;
}

constexpr std::size_t length_of(const char *text) noexcept {
    std::size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

constexpr bool contains(const char *text, const char *part) noexcept {
    for (; *text != '\0'; ++text) {
        if (starts_with(text, part)) {
            return true;
        }
    }
    return false;
}

constexpr bool ends_with(const char *text, const char *end) noexcept {
    const std::size_t text_length = length_of(text);
    const std::size_t end_length = length_of(end);
    return text_length >= end_length && starts_with(text + text_length - end_length, end);
}

// True when format's conversions are exactly letters, in order ("%%" is a literal percent).
constexpr bool has_conversions(const char *format, const char *letters) noexcept {
    for (const char *at = format; *at != '\0'; ++at) {
        if (*at != '%') {
            continue;
        }
        ++at;
        if (*at == '%') {
            continue;
        }
        if (*letters == '\0' || *at != *letters) {
            return false;
        }
        ++letters;
    }
    return *letters == '\0';
}

// The tag, then a verb word of lower-case letters and ": ".
constexpr bool has_tag_and_verb(const char *text) noexcept {
    if (!starts_with(text, ZOR_FRAME_LOG_TAG)) {
        return false;
    }
    const char *verb = text + length_of(ZOR_FRAME_LOG_TAG);
    const char *at = verb;
    while (*at >= 'a' && *at <= 'z') {
        ++at;
    }
    return at != verb && starts_with(at, ": ");
}

constexpr bool is_success_text(const char *text, const char *letters) noexcept {
    return has_tag_and_verb(text) && has_conversions(text, letters) &&
           !contains(text, "Failed to") && ends_with(text, ".");
}

constexpr bool is_failure_text(const char *text, const char *letters) noexcept {
    return has_tag_and_verb(text) && has_conversions(text, letters) &&
           contains(text, "Failed to") && ends_with(text, "(ErrNo=%d)");
}

// Never defined: reaching it while a constexpr text is built stops the compilation.
void outcome_text_breaks_the_line_rules();

inline const char *printable(const char *text) noexcept {
    return text != nullptr ? text : "";
}
inline int printable(int number) noexcept {
    return number;
}

template <typename... Args>
void log_line(int priority, const Site &site, const char *format, Args... args) noexcept {
    // The format is one of the constexpr texts below, checked against these arguments when
    // it was built; the compiler's own check cannot see through the object.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    kestal_log(priority, ZOR_FRAME_LOG_FILE, site.line, site.function, format, printable(args)...);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}

}  // namespace detail

// A success text taking Args (const char * for '%s', int for '%d').
template <typename... Args>
class SuccessText {
public:
    constexpr explicit SuccessText(const char *format) : format_(format) {
        constexpr char kLetters[] = {detail::Conversion<Args>::kLetter..., '\0'};
        if (!detail::is_success_text(format, kLetters)) {
            detail::outcome_text_breaks_the_line_rules();
        }
    }
    constexpr const char *format() const noexcept { return format_; }

private:
    const char *format_;
};

// A failure text taking Args and then the result code.
template <typename... Args>
class FailureText {
public:
    constexpr explicit FailureText(const char *format) : format_(format) {
        constexpr char kLetters[] = {detail::Conversion<Args>::kLetter..., 'd', '\0'};
        if (!detail::is_failure_text(format, kLetters)) {
            detail::outcome_text_breaks_the_line_rules();
        }
    }
    constexpr const char *format() const noexcept { return format_; }

private:
    const char *format_;
};

// Writes the success line at priority 6 (LOG_INFO). A null text argument shows as "".
template <typename... Args>
void write_success(const Site &site, const SuccessText<Args...> &text,
                   typename detail::Identity<Args>::Type... args) noexcept {
    detail::log_line(LOG_INFO, site, text.format(), args...);
}

// Writes the failure line at priority 3 (LOG_ERR) with the result code last.
template <typename... Args>
void write_failure(const Site &site, const FailureText<Args...> &text, int code,
                   typename detail::Identity<Args>::Type... args) noexcept {
    detail::log_line(LOG_ERR, site, text.format(), args..., code);
}

// The two texts of an operation whose success and failure lines show the same arguments.
template <typename... Args>
struct Outcome {
    constexpr Outcome(const char *success_format, const char *failure_format)
        : success(success_format), failure(failure_format) {}

    SuccessText<Args...> success;
    FailureText<Args...> failure;
};

// Writes the success line when code is 0 and the failure line otherwise.
template <typename... Args>
void write_outcome(const Site &site, const Outcome<Args...> &outcome, int code,
                   typename detail::Identity<Args>::Type... args) noexcept {
    if (code == 0) {
        write_success(site, outcome.success, args...);
    } else {
        write_failure(site, outcome.failure, code, args...);
    }
}

// The common operation: the prefix and the pieces, run with system(), one outcome line.
// A command refused by a missing argument or by the length rule runs nothing and writes no
// line; every command that ran writes its line.
template <typename... Args>
class Operation {
public:
    constexpr Operation(const char *prefix, const char *success_format, const char *failure_format)
        : prefix_(prefix), outcome_(success_format, failure_format) {}

    int perform(const Site &site, std::initializer_list<Piece> pieces,
                typename detail::Identity<Args>::Type... args) const noexcept {
        Command command(prefix_);
        for (const Piece &piece : pieces) {
            command.add(piece);
        }
        const Result result = run_system(command);
        if (!result.refused) {
            write_outcome(site, outcome_, result.code, args...);
        }
        return result.code;
    }

private:
    const char *prefix_;
    Outcome<Args...> outcome_;
};

}  // namespace ZOR_FRAME_NAMESPACE::frame
