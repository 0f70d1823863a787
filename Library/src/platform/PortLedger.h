#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace Brivane::HardwareAPI::Platform {

// What a port's writes leave for a process that outlives this one (Guardian.h): the rest of
// the frame the line has taken only part of. It lives in memory shared with that process,
// which reads it only once this one is gone; so the writer never waits, and a write costs
// three stores besides the system call.
//
// A process killed inside a system write leaves `writing` set: how much that write took
// cannot be told, and it is taken as having gone out whole.
struct PortLedger {
    static constexpr std::size_t kCapacity = 1024;  // the longest rest a port keeps

    std::atomic<std::uint32_t> writing{0};  // a system write is under way
    std::atomic<std::uint32_t> owed{0};     // rest[0, owed) is still to go out
    char rest[kCapacity] = {};
};

static_assert(std::atomic<std::uint32_t>::is_always_lock_free,
              "the ledger is shared between processes: its atomics must need no lock");

// Around each system write of data[sent, n): the stores the port makes on its ledger, if
// it has one.
inline void LedgerBeginWrite(PortLedger* ledger) {
    if (ledger != nullptr) ledger->writing.store(1, std::memory_order_release);
}
// After the write: `took` is whether it took any byte; what is left is the rest of a begun
// frame. A rest the port would not keep either (longer than its capacity) is not owed.
inline void LedgerEndWrite(PortLedger* ledger, bool took, const char* left, std::size_t length) {
    if (ledger == nullptr) return;
    if (took) {
        if (length > PortLedger::kCapacity) length = 0;
        if (length > 0) std::memcpy(ledger->rest, left, length);
        ledger->owed.store(static_cast<std::uint32_t>(length), std::memory_order_release);
    }
    ledger->writing.store(0, std::memory_order_release);
}

}  // namespace Brivane::HardwareAPI::Platform
