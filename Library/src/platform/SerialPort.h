#pragma once

#include <cstddef>
#include <cstdint>

#include "../Deadline.h"

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
// the caller takes them, so that a full line reopens for the rest.
enum class WaitResult { Ready, Partial, TimedOut, Failed };

// One open serial port: the seam between the stream buffer and the operating system.
// Failing calls leave the system's error number for LastSystemError().
class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `name` exclusively and sets 115200 baud, 8 data bits, no parity, 1 stop bit in
    // raw binary mode, keeping the port's flow control. Returns the open code: 1 opened,
    // -1 no such port, -2 not opened (busy or refused), -3 settings unreadable, -5 settings
    // not written, -6 time-outs not set. On -3, -5 and -6 the port stays open.
    std::int8_t Open(const char* name);
    bool IsOpen() const { return handle_ != kInvalid; }
    void Close();

    bool SetTimeouts(const PortTimeouts& timeouts);
    // Raises DTR; false where the port has no modem lines (a pseudo-terminal).
    bool RaiseDtr();

    // Reads up to n bytes under the time-outs: the count delivered (0 to n), or -1.
    int Read(char* buffer, int n);
    // Writes all n bytes within the write time-out; false on failure or time-out.
    bool Write(const char* data, std::size_t n);

    // Bytes waiting in the input queue, or -1 when the query fails.
    int Queued() const;
    // Waits until n bytes are queued, or some are and the rest are late (Partial). Returns at
    // once on hang-up or error.
    WaitResult WaitForBytes(int n, const Deadline& deadline) const;

  private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t handle_ = kInvalid;  // file descriptor, or HANDLE on Windows
    PortTimeouts timeouts_;
    // What the last count said, less what has been read since: a floor under the bytes
    // queued, since nobody else reads this port (it is opened exclusively).
    mutable int known_queued_ = 0;
};

}  // namespace Brivane::HardwareAPI::Platform
