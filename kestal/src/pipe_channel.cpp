// The pipe channel: the handler writes the signal number, the relay reads them in order.
#include "termination_channels.hpp"
#include "termination_state.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kestal::termination {

namespace {

int *published() noexcept {
    return __atomic_load_n(&kestal_state_pipefd, __ATOMIC_SEQ_CST);
}

void close_end(int fd) noexcept {
    if (fd != 0 && close(fd) != 0) {
        std::perror("close");
    }
}

}  // namespace

int pipeInit() noexcept {
    if (published() != nullptr) {
        return -1;
    }
    auto *ends = static_cast<int *>(std::malloc(2 * sizeof(int)));
    if (ends == nullptr) {
        return -1;
    }
    const int result = pipe2(ends, O_CLOEXEC);
    if (result != 0) {
        std::perror("pipe");
        std::free(ends);
        return result;
    }
    // A signal handler must never block: with the pipe full, the number is dropped with a
    // "write" report instead of stopping the thread that took the signal (perhaps the relay
    // itself, which alone could empty the pipe).
    (void)fcntl(ends[1], F_SETFL, O_NONBLOCK);
    __atomic_store_n(&kestal_state_pipefd, ends, __ATOMIC_SEQ_CST);
    return 0;
}

int pipeSend(int *signo) noexcept {
    if (signo == nullptr) {
        return -1;
    }
    const SendGuard guard;
    const int *const ends = published();
    if (ends == nullptr || ends[1] == 0) {
        return -1;
    }
    const ssize_t written = write(ends[1], signo, sizeof *signo);
    if (written < 0) {
        report_error_signal_safe("write", errno);
        return -1;
    }
    return static_cast<int>(written);
}

int pipeRecv(int *signo) noexcept {
    const int *const ends = published();
    if (ends == nullptr || ends[0] == 0 || signo == nullptr) {
        return -1;
    }
    int number = 0;
    ssize_t got;
    while ((got = read(ends[0], &number, sizeof number)) < 0 && errno == EINTR) {
    }
    if (got < 0) {
        std::perror("read");
        return -1;
    }
    // Writes of one number are atomic, so anything short is the end of the pipe.
    if (got != static_cast<ssize_t>(sizeof number)) {
        return -1;
    }
    *signo = number;
    return static_cast<int>(got);
}

int pipeFinish() noexcept {
    int *const ends = __atomic_exchange_n(&kestal_state_pipefd, nullptr, __ATOMIC_SEQ_CST);
    if (ends == nullptr) {
        return 0;
    }
    // Only once no handler can still write to them are the descriptors closed: a number
    // written after the close could land in whatever file is opened next under that number.
    wait_for_senders();
    close_end(ends[0]);
    close_end(ends[1]);
    std::free(ends);
    return 0;
}

}  // namespace kestal::termination
