#include "Interrupt.h"

#include <atomic>

namespace Brivane::HardwareAPI::Interrupt {

namespace {

std::atomic<Check> check{nullptr};
thread_local bool pending = false;

}  // namespace

void SetCheck(Check new_check) {
    check.store(new_check);
}

bool Poll() {
    const Check current = check.load();
    if (!pending && current != nullptr && current()) pending = true;
    return pending;
}

bool Pending() {
    return pending;
}

bool Take() {
    const bool was = pending;
    pending = false;
    return was;
}

}  // namespace Brivane::HardwareAPI::Interrupt
