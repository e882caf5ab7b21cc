// zor-logger: sends the words of its command line to the system log through libkestal.
#include <kestal.h>

#include "message_batch.hpp"
#include "priority_code.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr char kUsage[] = "usage: zor-logger [-is] [-f format] [-p pri] [-t tag] [ message ... ]\n";

[[noreturn]] void usage() {
    std::fputs(kUsage, stderr);
    std::exit(EXIT_FAILURE);
}

struct SinkContext {
    int priority;
};

void send_message(const char *message, void *context) {
    kestal_log(static_cast<SinkContext *>(context)->priority, nullptr, 0, nullptr, "%s", message);
}

}  // namespace

int main(int argc, char *argv[]) {
    SinkContext sink{LOG_NOTICE};
    int options = 0;
    const char *tag = nullptr;
    bool tag_given = false;
    const char *format = nullptr;

    int option;
    while ((option = getopt(argc, argv, "ip:st:f:")) != -1) {
        switch (option) {
        case 'i':
            options |= LOG_PID;
            break;
        case 's':
            options |= LOG_PERROR;
            break;
        case 'p': {
            const zor_logger::PriorityCode code = zor_logger::parse_priority(optarg);
            switch (code.status) {
            case zor_logger::PriorityCode::Status::kOk:
                sink.priority = code.priority;
                break;
            case zor_logger::PriorityCode::Status::kUnknownFacility:
                std::fprintf(stderr, "unknown facility name: %s.\n", code.bad_part);
                return EXIT_FAILURE;
            case zor_logger::PriorityCode::Status::kUnknownLevel:
                std::fprintf(stderr, "unknown priority name: %s.\n", code.bad_part);
                return EXIT_FAILURE;
            }
            break;
        }
        case 't':
            tag = optarg;
            tag_given = true;
            break;
        case 'f':
            format = optarg;
            break;
        default:
            usage();
        }
    }

    if (format != nullptr) {
        kestal_log_set_format(format);
    }
    if (!tag_given) {
        tag = getlogin();
    }
    kestal_log_open(tag, options, 0);

    zor_logger::MessageBatch batch(send_message, &sink);
    for (int i = optind; i < argc; ++i) {
        batch.add(argv[i]);
    }
    batch.flush();

    kestal_log_close();
    return EXIT_SUCCESS;
}
