// CRIU's images are a magic number (two for most images: the common one, then the image's),
// then entries, each a 32-bit little-endian length and a protobuf message. The few messages
// and fields read here are decoded from the protobuf wire format directly, with their field
// numbers from CRIU's image definitions (images/*.proto); every length is checked against
// what is left, so a damaged or hostile image is refused, never read past.
#include "picture_checks.hpp"

#include "refusal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <vector>

namespace zor {

namespace {

constexpr std::uint32_t kCommonMagic = 0x54564319;
constexpr std::uint32_t kPstreeMagic = 0x50273030;
constexpr std::uint32_t kCoreMagic = 0x55053847;
constexpr std::uint32_t kIdsMagic = 0x54432030;
// Far above a real core, pstree or ids image.
constexpr long kMostImageBytes = 16L << 20;

// Field numbers: pstree_entry
constexpr int kPstreePid = 1;
constexpr int kPstreeThreads = 5;
// core_entry
constexpr int kCoreIds = 4;
constexpr int kCoreThread = 5;
// thread_core_entry
constexpr int kThreadCreds = 10;
constexpr int kThreadSeccompMode = 11;
// creds_entry
constexpr int kCredsInheritable = 9;
constexpr int kCredsPermitted = 10;
constexpr int kCredsEffective = 11;
constexpr int kCredsBounding = 12;
constexpr int kCredsNoNewPrivs = 18;
constexpr int kCredsAmbient = 19;
// task_kobj_ids_entry: pid, net, ipc, uts, mnt, user, cgroup and time namespaces
constexpr int kFirstNamespaceId = 5;
constexpr int kLastNamespaceId = 12;
// seccomp_mode: filter
constexpr std::uint64_t kSeccompFilter = 2;

[[noreturn]] void refuse(const std::string &what) {
    throw Refusal(kMigrationFailure, "the picture is refused: " + what);
}

// One field of a message: a number (varint or fixed) or bytes (length-delimited).
struct Field {
    int wire_type = 0;
    std::uint64_t number = 0;
    std::string bytes;
};

using Message = std::multimap<int, Field>;

std::uint64_t varint(const std::string &bytes, std::size_t &at) {
    std::uint64_t value = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
        if (at >= bytes.size()) {
            refuse("an image is damaged");
        }
        const auto byte = static_cast<unsigned char>(bytes[at++]);
        value |= static_cast<std::uint64_t>(byte & 0x7FU) << shift;
        if ((byte & 0x80U) == 0) {
            return value;
        }
    }
    refuse("an image is damaged");
}

Message decode(const std::string &bytes) {
    Message message;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::uint64_t key = varint(bytes, at);
        Field field;
        field.wire_type = static_cast<int>(key & 7U);
        const std::uint64_t number = key >> 3U;
        std::size_t size = 0;
        if (field.wire_type == 0) {
            field.number = varint(bytes, at);
        } else if (field.wire_type == 1 || field.wire_type == 5) {
            size = field.wire_type == 1 ? 8 : 4;
        } else if (field.wire_type == 2) {
            const std::uint64_t length = varint(bytes, at);
            if (length > bytes.size() - at) {
                refuse("an image is damaged");
            }
            size = static_cast<std::size_t>(length);
        } else {
            refuse("an image is damaged");
        }
        if (size > bytes.size() - at || number == 0 || number > 536870911U) {
            refuse("an image is damaged");
        }
        if (field.wire_type == 1 || field.wire_type == 5) {
            for (std::size_t i = size; i > 0; --i) {
                field.number = (field.number << 8U) | static_cast<unsigned char>(bytes[at + i - 1]);
            }
        } else if (field.wire_type == 2) {
            field.bytes = bytes.substr(at, size);
        }
        at += size;
        message.emplace(static_cast<int>(number), std::move(field));
    }
    return message;
}

// The numbers of a repeated integer field, packed or not.
std::vector<std::uint64_t> numbers(const Message &message, int number) {
    std::vector<std::uint64_t> values;
    const auto range = message.equal_range(number);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.wire_type == 2) {
            for (std::size_t at = 0; at < it->second.bytes.size();) {
                values.push_back(varint(it->second.bytes, at));
            }
        } else {
            values.push_back(it->second.number);
        }
    }
    return values;
}

bool has(const Message &message, int number) {
    return message.count(number) != 0;
}

// The last value of a singular integer field (protobuf's rule for a repeated one).
std::uint64_t number_of(const Message &message, int number) {
    const std::vector<std::uint64_t> values = numbers(message, number);
    return values.empty() ? 0 : values.back();
}

Message submessage(const Message &message, int number, const std::string &what) {
    const auto range = message.equal_range(number);
    if (range.first == range.second) {
        refuse(what + " is missing");
    }
    auto last = range.second;
    --last;
    if (last->second.wire_type != 2) {
        refuse(what + " is damaged");
    }
    return decode(last->second.bytes);
}

std::uint32_t little_endian(const std::string &bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i > 0; --i) {
        value = (value << 8U) | static_cast<unsigned char>(bytes[at + i - 1]);
    }
    return value;
}

// The entries of one image, after its magic numbers.
std::vector<std::string> entries_of(const std::string &path, std::uint32_t magic) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size > kMostImageBytes) {
        if (fd >= 0) {
            close(fd);
        }
        refuse(path.substr(path.rfind('/') + 1) + " is missing or not a plain image");
    }
    std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
    const ssize_t got = read(fd, bytes.data(), bytes.size());
    close(fd);
    if (got != status.st_size || bytes.size() < 8 || little_endian(bytes, 0) != kCommonMagic ||
        little_endian(bytes, 4) != magic) {
        refuse(path.substr(path.rfind('/') + 1) + " is not the image it should be");
    }
    std::vector<std::string> entries;
    for (std::size_t at = 8; at < bytes.size();) {
        if (bytes.size() - at < 4 || little_endian(bytes, at) > bytes.size() - at - 4) {
            refuse(path.substr(path.rfind('/') + 1) + " is damaged");
        }
        const std::size_t size = little_endian(bytes, at);
        entries.push_back(bytes.substr(at + 4, size));
        at += 4 + size;
    }
    return entries;
}

Message first_entry(const std::string &path, std::uint32_t magic) {
    const std::vector<std::string> entries = entries_of(path, magic);
    if (entries.empty()) {
        refuse(path.substr(path.rfind('/') + 1) + " is empty");
    }
    return decode(entries.front());
}

void check_thread(const std::string &directory, std::uint64_t thread, std::uint64_t allowed) {
    const std::string who = "process " + std::to_string(thread);
    const Message core =
        first_entry(directory + "/core-" + std::to_string(thread) + ".img", kCoreMagic);
    const Message thread_core = submessage(core, kCoreThread, who + "'s thread state");
    const Message creds = submessage(thread_core, kThreadCreds, who + "'s credentials");
    for (const int set :
         {kCredsEffective, kCredsPermitted, kCredsInheritable, kCredsBounding, kCredsAmbient}) {
        const std::vector<std::uint64_t> words = numbers(creds, set);
        // 32 capabilities a word, the lowest first; no word beyond the second is allowed any.
        for (std::size_t word = 0; word < words.size(); ++word) {
            const bool outside = word >= 2 || (words[word] >> 32U) != 0
                                     ? words[word] != 0
                                     : ((words[word] << (32U * word)) & ~allowed) != 0;
            if (outside) {
                refuse(who + " holds capabilities outside the container's set");
            }
        }
    }
    if (number_of(creds, kCredsNoNewPrivs) != 1) {
        refuse(who + " lacks no_new_privs");
    }
    if (number_of(thread_core, kThreadSeccompMode) != kSeccompFilter) {
        refuse(who + " has no seccomp filter");
    }
}

// The namespace ids of a process: in its core image, or in an ids image of its own.
std::vector<std::uint64_t> namespaces_of(const std::string &directory, std::uint64_t pid) {
    const std::string number = std::to_string(pid);
    const Message core = first_entry(directory + "/core-" + number + ".img", kCoreMagic);
    const Message ids = has(core, kCoreIds)
                            ? submessage(core, kCoreIds, "process " + number + "'s namespaces")
                            : first_entry(directory + "/ids-" + number + ".img", kIdsMagic);
    std::vector<std::uint64_t> namespaces;
    for (int field = kFirstNamespaceId; field <= kLastNamespaceId; ++field) {
        namespaces.push_back(has(ids, field) ? number_of(ids, field) + 1 : 0);
    }
    return namespaces;
}

}  // namespace

void check_picture(const std::string &directory, std::uint64_t allowed) {
    const std::vector<std::string> tasks = entries_of(directory + "/pstree.img", kPstreeMagic);
    if (tasks.empty()) {
        refuse("it holds no process");
    }
    std::vector<std::uint64_t> container_namespaces;
    for (const std::string &bytes : tasks) {
        const Message task = decode(bytes);
        const std::uint64_t pid = number_of(task, kPstreePid);
        const std::vector<std::uint64_t> namespaces = namespaces_of(directory, pid);
        if (container_namespaces.empty()) {
            container_namespaces = namespaces;
        } else if (namespaces != container_namespaces) {
            refuse("process " + std::to_string(pid) + " sits in namespaces not its container's");
        }
        std::vector<std::uint64_t> threads = numbers(task, kPstreeThreads);
        threads.push_back(pid);
        for (const std::uint64_t thread : threads) {
            check_thread(directory, thread, allowed);
        }
    }
}

}  // namespace zor
