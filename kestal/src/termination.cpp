// Registration and unregistration of termination callbacks.
#include <kestal.h>

#include "callback_table.hpp"
#include "proc_kestal.hpp"
#include "termination_channels.hpp"
#include "termination_relay.hpp"

#include <cstdlib>

namespace kestal::termination {

namespace {

constexpr const char *kLogFile = "termination";

int unregister_callback(kestal_termination_callback *record) noexcept;

kestal_termination_callback *register_callback(int signo, kestal_termination_fn callback,
                                               void *data) noexcept {
    if (!any_registered()) {
        (void)write_command(Command::announce);
    }
    if (!is_signal_number(signo)) {
        return nullptr;
    }
    auto *record = static_cast<kestal_termination_callback *>(
        std::malloc(sizeof(kestal_termination_callback)));
    if (record == nullptr) {
        return nullptr;
    }
    record->signo = signo;
    record->callback = callback;
    record->data = data;

    // Every registration replaces the relay thread and its channel.
    (void)stop_thread();
    if (start_relay() != 0) {
        (void)unregister_callback(record);
        return nullptr;
    }
    // A replaced record stays valid and its caller's. A signal with no callback before has
    // nothing pending that belongs to the new one.
    if (exchange_slot(signo, record) == nullptr) {
        discard_pending(signo);
    }
    kestal_log(LOG_INFO, kLogFile, __LINE__, "kestal_termination_register_callback",
               "event=KESTAL Register");
    install_handler(signo);
    return record;
}

int unregister_callback(kestal_termination_callback *record) noexcept {
    if (record != nullptr && is_signal_number(record->signo) &&
        callback_slot(record->signo) == record) {
        restore_default_action(record->signo);
        (void)exchange_slot(record->signo, nullptr);
        kestal_log(LOG_INFO, kLogFile, __LINE__, "kestal_termination_unregister_callback",
                   "event=KESTAL Unregister");
    }
    // Once the relay has stopped, no callback runs and none can still hold the record.
    (void)stop_thread();
    std::free(record);
    if (any_registered()) {
        return start_relay() == 0 ? 0 : -1;
    }
    return write_command(Command::withdraw);
}

}  // namespace

}  // namespace kestal::termination

extern "C" {

kestal_termination_callback *kestal_termination_register_callback(int signo,
                                                                  kestal_termination_fn callback,
                                                                  void *data) {
    return kestal::termination::register_callback(signo, callback, data);
}

int kestal_termination_unregister_callback(kestal_termination_callback *record) {
    return kestal::termination::unregister_callback(record);
}

void kestal_termination_get_time_stamps(struct timespec *start, struct timespec *end) {
    kestal::termination::read_time_stamps(start, end);
}

void kestal_termination_set_clock(int clock) {
    kestal::termination::set_clock(clock);
}

}  // extern "C"
