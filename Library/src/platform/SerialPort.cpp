// The parts of the serial port that are the same on every platform.
#include <algorithm>
#include <chrono>
#include <cstdint>
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

IoResult SerialPort::FailedWith(int error, std::int32_t count) {
    SetLastSystemError(error);
    return IoResult{IoStatus::Failed, count, error};
}

IoResult SerialPort::Read(char* buffer, int n, const PortTimeouts& timeouts) {
    n = std::max(n, 0);
    const int held = std::min(n, Held());
    std::memcpy(buffer, ahead_ + ahead_begin_, static_cast<std::size_t>(held));
    ahead_begin_ += held;
    if (ahead_begin_ == ahead_end_) ahead_begin_ = ahead_end_ = 0;
    IoResult result{IoStatus::Done, held, 0};
    if (held == n) return result;
    if (end_mark_) {  // the read ends where the end-of-file character came, short
        end_mark_ = false;
    } else {
        const IoResult port = ReadPort(buffer + held, n - held, timeouts);
        result.status = port.status;
        result.count += port.count;
        result.error = port.error;
    }
    // The backends end a read short on its time-outs as Done: here it is told apart.
    if (result.done() && result.count < n) {
        result.status = result.count > 0 ? IoStatus::Partial : IoStatus::TimedOut;
    }
    return result;
}

IoResult SerialPort::Queued() {
    const int queued = SystemQueued();
    if (queued < 0) return FailedWith(IsOpen() ? LastSystemError() : NotOpenError());
    return IoResult{IoStatus::Done, Held() + queued, 0};
}

IoResult SerialPort::WaitForBytes(int n, const Deadline& deadline) {
    if (Fault() != 0) return WaitOnBrokenLine(deadline);
    const auto ready = [](int queued) { return IoResult{IoStatus::Done, queued, 0}; };
    if (Held() >= n) return ready(Held());
    if (ahead_begin_ > 0) {  // room at the end for the rest of an answer
        std::memmove(ahead_, ahead_ + ahead_begin_, static_cast<std::size_t>(Held()));
        ahead_end_ -= ahead_begin_;
        ahead_begin_ = 0;
    }
    for (;;) {
        // Past an end-of-file character nothing is read ahead: the next read ends there.
        if (end_mark_) return ready(Held());
        // A full read-ahead takes no more: the rest is counted where it waits.
        if (ahead_end_ == kAheadSize) {
            const int queued = std::max(SystemQueued(), 0) + Held();
            return queued >= n ? ready(queued) : IoResult{IoStatus::Partial, queued, 0};
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
        if (got == kFillInterrupted) return IoResult{IoStatus::Interrupted, Held(), 0};
        if (got == kFillFailed) {
            fault_reported_ = true;
            return FailedWith(Fault());
        }
        if (Held() >= n) return ready(Held());
        // The system may hold the rest where a read does not reach it at once (a line that
        // hands out one line per read); counted, they are queued.
        if (got > 0 || arriving) {
            const int queued = SystemQueued();
            if (queued > 0 && Held() + queued >= n) return ready(Held() + queued);
        }
        // Bytes that stay short after a nap are handed over rather than waited on.
        if (arriving && got == 0) return IoResult{IoStatus::Partial, Held(), 0};
        if (deadline.Expired()) {
            SetLastSystemError(TimedOutError());
            return IoResult{IoStatus::TimedOut, Held(), 0};
        }
    }
}

IoResult SerialPort::Write(const char* data, std::size_t n) {
    static_assert(PortLedger::kCapacity == kMaxPending, "the ledger holds any rest kept here");
    if (const int fault = Fault()) return FailedWith(fault);
    // One limit for the rest of an earlier frame and this one.
    const double ms = static_cast<double>(write_timeouts_.write_total_per_byte) *
                          static_cast<double>(pending_length_ + n) +
                      write_timeouts_.write_total_constant;
    const Deadline deadline = Deadline::After(ms / 1000.0);
    IoStatus status = IoStatus::Done;
    std::size_t sent = 0;
    if (pending_length_ > 0) {
        std::size_t rest_sent = 0;
        status = WriteSome(pending_, pending_length_, rest_sent, deadline);
        pending_length_ -= rest_sent;
        std::memmove(pending_, pending_ + rest_sent, pending_length_);
    }
    if (status == IoStatus::Done && n > 0) {
        status = WriteSome(data, n, sent, deadline);
        // A frame that has begun is finished before anything else goes out.
        if (sent > 0 && sent < n && n - sent <= kMaxPending) {
            pending_length_ = n - sent;
            std::memcpy(pending_, data + sent, pending_length_);
        }
    }
    const auto count = static_cast<std::int32_t>(std::min<std::size_t>(sent, INT32_MAX));
    if (status == IoStatus::Failed) {
        const int error = LastSystemError();
        pending_length_ = 0;
        if (ledger_ != nullptr) ledger_->owed.store(0, std::memory_order_release);
        Break(error);
        return FailedWith(error, count);
    }
    return IoResult{status, count, 0};
}

void SerialPort::EndWatch() {
    if (guardian_ != nullptr) guardian_->Dismiss();  // which detaches it
}

IoResult SerialPort::WaitOnBrokenLine(const Deadline& deadline) {
    // Nothing will come. Past the first report, sleep as long as a silent line would keep
    // the caller waiting, so that a loop on a lost device neither spins nor floods.
    if (fault_reported_ && !SleepUntil(deadline)) return IoResult{IoStatus::Interrupted, 0, 0};
    fault_reported_ = true;
    return FailedWith(Fault());
}

}  // namespace Brivane::HardwareAPI::Platform
