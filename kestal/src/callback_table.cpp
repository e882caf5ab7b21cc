// The callback table (slot n - 1 for signal n). Registration and unregistration store whole
// pointers; the relay thread loads one per signal, so the slots are atomic.
#include "callback_table.hpp"

#include "termination_channels.hpp"

#include <atomic>

namespace kestal::termination {

namespace {

// Static storage rather than a table made by the first registration: it cannot fail to be
// made, and there is no moment at which it does not exist.
std::atomic<kestal_termination_callback *> cblist[kSignalLimit];

}  // namespace

kestal_termination_callback *callback_slot(int signo) noexcept {
    if (!is_signal_number(signo)) {
        return nullptr;
    }
    return cblist[signo - 1].load(std::memory_order_acquire);
}

kestal_termination_callback *exchange_slot(int signo,
                                           kestal_termination_callback *record) noexcept {
    if (!is_signal_number(signo)) {
        return nullptr;
    }
    return cblist[signo - 1].exchange(record, std::memory_order_acq_rel);
}

bool any_registered() noexcept {
    const int limit = max_signal();
    for (int index = 0; index < limit; ++index) {
        if (cblist[index].load(std::memory_order_acquire) != nullptr) {
            return true;
        }
    }
    return false;
}

}  // namespace kestal::termination
