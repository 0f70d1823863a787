// The parts of the serial port that are the same on every platform.
#include <cstring>

#include "SerialPort.h"
#include "SystemError.h"

namespace Brivane::HardwareAPI::Platform {

WriteResult SerialPort::Write(const char* data, std::size_t n) {
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
        Break(error);
        SetLastSystemError(error);
    }
    return result;
}

WaitResult SerialPort::WaitOnBrokenLine(const Deadline& deadline) const {
    // Nothing will come. Past the first report, sleep as long as a silent line would keep
    // the caller waiting, so that a loop on a lost device neither spins nor floods.
    if (fault_reported_ && !SleepUntil(deadline)) return WaitResult::Interrupted;
    fault_reported_ = true;
    SetLastSystemError(Fault());
    return WaitResult::Failed;
}

}  // namespace Brivane::HardwareAPI::Platform
