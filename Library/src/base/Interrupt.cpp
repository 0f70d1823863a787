#include "Interrupt.h"

namespace Brivane::HardwareAPI::Interrupt {

namespace {

thread_local bool pending = false;

}  // namespace

bool Poll(Check check) {
    if (!pending && check != nullptr && check()) pending = true;
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
