// The parts of the serial port that are the same on every platform.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "../base/Interrupt.h"
#include "../base/SystemText.h"
#include "Guardian.h"
#include "PortLedger.h"
#include "SerialPort.h"
#include "SystemError.h"

namespace Brivane::HardwareAPI {

// What the base layer declares and only the system can do.
bool SystemText(int error_number, char* text, std::size_t size) {
    return Platform::SystemErrorText(error_number, text, size);
}

void Interrupt::Wake() {
    Platform::WakeWaits();
}

}  // namespace Brivane::HardwareAPI

namespace Brivane::HardwareAPI::Platform {

namespace {

// One byte at 115200 baud, 8N1: ten bits on the wire.
constexpr std::chrono::microseconds kByteWireTime{87};
// Shortest nap while an answer is arriving, so that a stalled answer costs no processor.
constexpr std::chrono::microseconds kMinimumNap{1000};

}  // namespace

// A line error passes once cleared: a second failure in a row is a line that stays broken.
bool ReadGoesOnAfterFailure(int attempt, bool cleared) {
    return cleared && attempt == 0;
}

int SerialPort::Read(char* buffer, int n, const PortTimeouts& timeouts) {
    const int held = std::min(n, Held());
    std::memcpy(buffer, ahead_ + ahead_begin_, static_cast<std::size_t>(std::max(0, held)));
    ahead_begin_ += held;
    if (ahead_begin_ == ahead_end_) ahead_begin_ = ahead_end_ = 0;
    if (held == n) return n;
    if (end_mark_) {  // the read ends where the end-of-file character came, short
        end_mark_ = false;
        return held;
    }
    const int got = ReadPort(buffer + held, n - held, timeouts);
    if (got < 0) return held > 0 ? held : got;
    return held + got;
}

int SerialPort::Queued() {
    const int queued = SystemQueued();
    return queued < 0 ? -1 : Held() + queued;
}

WaitResult SerialPort::WaitForBytes(int n, const Deadline& deadline) {
    if (Fault() != 0) return WaitOnBrokenLine(deadline);
    if (Held() >= n) return WaitResult::Ready;
    if (ahead_begin_ > 0) {  // room at the end for the rest of an answer
        std::memmove(ahead_, ahead_ + ahead_begin_, static_cast<std::size_t>(Held()));
        ahead_end_ -= ahead_begin_;
        ahead_begin_ = 0;
    }
    for (;;) {
        // Past an end-of-file character nothing is read ahead: the next read ends there.
        if (end_mark_) return WaitResult::Ready;
        // A full read-ahead takes no more: the rest is counted where it waits.
        if (ahead_end_ == kAheadSize) {
            return SystemQueued() + Held() >= n ? WaitResult::Ready : WaitResult::Partial;
        }
        // Nothing yet: wake when bytes land. Some already: what the system has queued is
        // taken at once; a rest still on the wire is napped for (about its wire time), then
        // taken as it came, rather than waking for each byte as it lands.
        const bool arriving = Held() > 0;
        Deadline until = deadline;
        if (arriving) {
            const auto nap = SystemQueued() > 0 ? Deadline::Clock::duration::zero()
                                                : std::max<Deadline::Clock::duration>(
                                                      kByteWireTime * (n - Held()), kMinimumNap);
            if (deadline.IsNever() || nap < deadline.Remaining()) {
                until = Deadline::At(Deadline::Clock::now() + nap);
            }
        }
        const int got = Fill(until, !arriving, n - Held());
        if (got == kFillInterrupted) return WaitResult::Interrupted;
        if (got == kFillFailed) {
            fault_reported_ = true;
            SetLastSystemError(Fault());
            return WaitResult::Failed;
        }
        if (Held() >= n) return WaitResult::Ready;
        // The system may hold the rest where a read does not reach it at once (a line that
        // hands out one line per read); counted, they are queued.
        if (got > 0 || arriving) {
            const int queued = SystemQueued();
            if (queued > 0 && Held() + queued >= n) return WaitResult::Ready;
        }
        // Bytes that stay short after a nap are handed over rather than waited on.
        if (arriving && got == 0) return WaitResult::Partial;
        if (deadline.Expired()) {
            SetLastSystemError(TimedOutError());
            return WaitResult::TimedOut;
        }
    }
}

WriteResult SerialPort::Write(const char* data, std::size_t n) {
    static_assert(PortLedger::kCapacity == kMaxPending, "the ledger holds any rest kept here");
    if (const int fault = Fault()) {
        SetLastSystemError(fault);
        return WriteResult::Failed;
    }
    // One limit for the rest of an earlier frame and this one.
    const double ms = static_cast<double>(write_timeouts_.write_total_per_byte) *
                          static_cast<double>(pending_length_ + n) +
                      write_timeouts_.write_total_constant;
    const Deadline deadline = Deadline::After(ms / 1000.0);
    WriteResult result = WriteResult::Written;
    if (pending_length_ > 0) {
        std::size_t sent = 0;
        result = WriteSome(pending_, pending_length_, sent, deadline);
        pending_length_ -= sent;
        std::memmove(pending_, pending_ + sent, pending_length_);
    }
    if (result == WriteResult::Written && n > 0) {
        std::size_t sent = 0;
        result = WriteSome(data, n, sent, deadline);
        // A frame that has begun is finished before anything else goes out.
        if (sent > 0 && sent < n && n - sent <= kMaxPending) {
            pending_length_ = n - sent;
            std::memcpy(pending_, data + sent, pending_length_);
        }
    }
    if (result == WriteResult::Failed) {
        const int error = LastSystemError();
        pending_length_ = 0;
        if (ledger_ != nullptr) ledger_->owed.store(0, std::memory_order_release);
        Break(error);
        SetLastSystemError(error);
    }
    return result;
}

void SerialPort::EndWatch() {
    if (guardian_ != nullptr) guardian_->Dismiss();  // which detaches it
}

WaitResult SerialPort::WaitOnBrokenLine(const Deadline& deadline) {
    // Nothing will come. Past the first report, sleep as long as a silent line would keep
    // the caller waiting, so that a loop on a lost device neither spins nor floods.
    if (fault_reported_ && !SleepUntil(deadline)) return WaitResult::Interrupted;
    fault_reported_ = true;
    SetLastSystemError(Fault());
    return WaitResult::Failed;
}

}  // namespace Brivane::HardwareAPI::Platform
