#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../Deadline.h"
#include "SystemError.h"

namespace Brivane::HardwareAPI::Platform {

// The port's time-outs in milliseconds, with the meaning a Windows serial port gives them:
// a read of n bytes returns at n bytes, or once a byte came and no further byte came within
// the interval, or when per_byte * n + constant has passed; a write of n bytes gives up
// after per_byte * n + constant. Zero totals mean no limit.
struct PortTimeouts {
    std::uint32_t read_interval = 0;
    std::uint32_t read_total_per_byte = 0;
    std::uint32_t read_total_constant = 0;
    std::uint32_t write_total_per_byte = 0;
    std::uint32_t write_total_constant = 0;
};

// Ready: the bytes are queued. Partial: some are, and no more came within their wire time;
// the caller takes them, so that a full line reopens for the rest. Interrupted: a signal
// came and the interrupt check (Interrupt.h) asked the operation to stop.
enum class WaitResult { Ready, Partial, TimedOut, Failed, Interrupted };

// Written: every byte went to the system. TimedOut: the line did not take them all in time;
// the unsent rest of a frame already begun goes out first on the next write, so that the
// device never sees a torn frame. Failed: the system refused the write, and the line is
// taken as broken from then on.
enum class WriteResult { Written, TimedOut, Failed, Interrupted };

// One open serial port: the seam between the stream buffer and the operating system.
// Failing calls leave an error number for LastSystemError().
//
// A port may be read on one thread while another writes: the two sides share only the
// handle and the fault, which is atomic.
class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `name` exclusively and sets 115200 baud, 8 data bits, no parity, 1 stop bit in
    // raw binary mode, keeping the port's flow control. Returns the open code: 1 opened,
    // -1 no such port, -2 not opened (busy, refused, or no character device), -3 settings
    // unreadable (no terminal), -5 settings not written. Only a port that opened is kept:
    // nothing is ever written to a file, a disk or a device that is not a serial line.
    std::int8_t Open(const char* name);
    bool IsOpen() const { return handle_ != kInvalid; }
    void Close();

    // Applies all five time-outs; writes keep the write time-outs given here. Called once,
    // after Open; false when the system refused them.
    bool SetTimeouts(const PortTimeouts& timeouts);
    // Raises DTR; false where the port has no modem lines (a pseudo-terminal).
    bool RaiseDtr();

    // Applies `timeouts` for this read, then reads up to n bytes under them: the count
    // delivered (0 to n), -1 when the time-outs could not be applied, -2 when the read failed.
    int Read(char* buffer, int n, const PortTimeouts& timeouts);
    WriteResult Write(const char* data, std::size_t n);

    // Bytes waiting in the input queue, or -1 when the query fails.
    int Queued() const;
    // Waits until n bytes are queued, or some are and the rest are late (Partial). Returns at
    // once on a hang-up or error. On a line already known to be broken, or a port that is not
    // open, the first wait fails at once and later ones sleep until the deadline and then fail,
    // as long as a silent line would keep the caller waiting.
    WaitResult WaitForBytes(int n, const Deadline& deadline) const;

    // The error number of what broke the line (a hang-up, a failed write), that of a port
    // which is not open, or 0 while the line is sound.
    int Fault() const { return IsOpen() ? fault_.load() : NotOpenError(); }

  private:
    // Shared by the backends (SerialPort.cpp).
    WaitResult WaitOnBrokenLine(const Deadline& deadline) const;
    // Each backend's own: writes what the line takes of data[sent..n) until `deadline`,
    // advancing `sent`; and a sleep until the deadline, false when the caller is stopping.
    WriteResult WriteSome(const char* data, std::size_t n, std::size_t& sent,
                          const Deadline& deadline);
    static bool SleepUntil(const Deadline& deadline);
    // The first cause to break the line is the one it keeps.
    void Break(int error) const {
        int none = 0;
        fault_.compare_exchange_strong(none, error != 0 ? error : LineLostError());
    }

    static constexpr std::intptr_t kInvalid = -1;
    static constexpr std::size_t kMaxPending = 1024;  // the longest frame a device writes

    std::intptr_t handle_ = kInvalid;  // file descriptor, or HANDLE on Windows
    mutable std::atomic<int> fault_{0};
    [[maybe_unused]] std::intptr_t timer_ = kInvalid;  // Windows: the read side's nap timer

    // Read side.
    // What the last count said, less what has been read since: a floor under the bytes
    // queued, since nobody else reads this port (it is opened exclusively).
    mutable int known_queued_ = 0;
    mutable bool fault_reported_ = false;  // the first read after a fault fails at once

    // Write side: fixed at SetTimeouts, and the rest of a frame a timed-out write began.
    PortTimeouts write_timeouts_;
    char pending_[kMaxPending] = {};
    std::size_t pending_length_ = 0;
};

}  // namespace Brivane::HardwareAPI::Platform
