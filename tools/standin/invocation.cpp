// Reading, recording and parsing the invocation of a stand-in tool.
#include "invocation.hpp"

#include "encoding.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

constexpr char kViaSudo[] = "sudo";
constexpr char kDirect[] = "direct";

std::string base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

Invocation current_invocation(int argc, char **argv) {
    Invocation invocation;
    invocation.program = base_name(argc > 0 ? argv[0] : "");
    const char *marker = std::getenv(kViaSudoVariable);
    invocation.via_sudo = marker != nullptr && std::strcmp(marker, "1") == 0;
    unsetenv(kViaSudoVariable);
    for (int index = 1; index < argc; ++index) {
        invocation.args.emplace_back(argv[index]);
    }
    return invocation;
}

std::string record_line(const Invocation &invocation) {
    std::string line = encode(invocation.program);
    line += ' ';
    line += invocation.via_sudo ? kViaSudo : kDirect;
    for (const std::string &arg : invocation.args) {
        line += ' ';
        line += encode(arg);
    }
    return line;
}

bool parse_record_line(const std::string &line, Invocation &invocation) {
    const std::vector<std::string> fields = split_fields(line);
    if (fields.size() < 2 || (fields[1] != kViaSudo && fields[1] != kDirect)) {
        return false;
    }
    invocation.program = decode(fields[0]);
    invocation.via_sudo = fields[1] == kViaSudo;
    invocation.args.clear();
    for (std::size_t index = 2; index < fields.size(); ++index) {
        invocation.args.push_back(decode(fields[index]));
    }
    return true;
}

void append_record(const Invocation &invocation) {
    const char *path = std::getenv(kRecordVariable);
    if (path == nullptr || path[0] == '\0') {
        return;
    }
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::perror(path);
        return;
    }
    const std::string line = record_line(invocation) + '\n';
    if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        std::perror("write");
    }
    close(fd);
}

}  // namespace standin
