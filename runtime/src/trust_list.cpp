// The trust list as a small text file, read without following links and replaced whole
// (written apart, then renamed), so that a reader sees one version of it.
#include "trust_list.hpp"

#include "file_replace.hpp"
#include "refusal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace zor {

namespace {

constexpr char kListFile[] = "/trusted-machines";
constexpr char kPrefix[] = "SHA256:";
constexpr std::size_t kHexDigits = 64;
// Far above any real list; a bigger file is not one this runtime wrote.
constexpr long kMostBytes = 1L << 20;

[[noreturn]] void fail(const std::string &what) {
    throw Refusal(kStateFailure, what);
}

bool is_fingerprint(const std::string &text) {
    const std::string prefix = kPrefix;
    return text.size() == prefix.size() + kHexDigits &&
           text.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(text.begin() + static_cast<long>(prefix.size()), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string read_list(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return "";
        }
        fail("cannot read " + path + ": " + std::generic_category().message(errno));
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        (status.st_mode & 022) != 0 || status.st_size > kMostBytes) {
        close(fd);
        fail(path + " is not a file of this user's that only its owner may write");
    }
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    const ssize_t got = read(fd, text.data(), text.size());
    close(fd);
    if (got != status.st_size) {
        fail("cannot read " + path);
    }
    return text;
}

void write_list(const std::string &directory, const std::vector<std::string> &list) {
    const std::string path = directory + kListFile;
    std::string text;
    for (const std::string &fingerprint : list) {
        text += fingerprint + "\n";
    }
    const int error = replace_file(path, text, 0600);
    if (error != 0) {
        throw Refusal(kStateFailure, "cannot write " + path, error);
    }
}

}  // namespace

const std::string &checked_fingerprint(const std::string &text) {
    if (!is_fingerprint(text)) {
        throw Refusal(kUsage, "'" + text +
                                  "' is not a fingerprint: give SHA256: and 64 lowercase hex "
                                  "digits, as trust show prints them");
    }
    return text;
}

std::vector<std::string> trusted_machines(const std::string &directory) {
    const std::string path = directory + kListFile;
    const std::string text = read_list(path);
    std::vector<std::string> list;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        if (!is_fingerprint(line)) {
            fail(path + " is damaged: a line is not a fingerprint");
        }
        list.push_back(line);
        start = end + 1;
    }
    return list;
}

bool add_trusted_machine(const std::string &directory, const std::string &fingerprint) {
    std::vector<std::string> list = trusted_machines(directory);
    if (std::find(list.begin(), list.end(), checked_fingerprint(fingerprint)) != list.end()) {
        return false;
    }
    list.push_back(fingerprint);
    write_list(directory, list);
    return true;
}

bool remove_trusted_machine(const std::string &directory, const std::string &fingerprint) {
    std::vector<std::string> list = trusted_machines(directory);
    const auto found = std::find(list.begin(), list.end(), checked_fingerprint(fingerprint));
    if (found == list.end()) {
        return false;
    }
    list.erase(found);
    write_list(directory, list);
    return true;
}

}  // namespace zor
