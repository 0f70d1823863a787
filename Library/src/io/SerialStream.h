#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "../base/Deadline.h"
#include "../base/ErrorLine.h"
#include "../platform/SerialPort.h"
#include "serialib.h"

namespace Brivane::HardwareAPI::IO {

// The stream devices hold on one serial port: a standard iostream for programs, and beside
// it Read, Send and the waits for devices, which touch only the port, never the stream's
// state flags. Open, Close, Available and Write report failures as error lines on stderr;
// nothing here throws.
class SerialStream : public std::basic_iostream<char> {
  public:
    // Keeps its own copy of `port`; opens the port at once when `open` is true.
    SerialStream(const char* port, bool open);
    ~SerialStream() override;
    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // Opens the port: 1, or a negative open code after an "unable to open port" line.
    std::int8_t Open();

    virtual void Close();
    // Bytes waiting at the port; 0 when it is not open or the query fails.
    virtual std::int32_t Available();
    // Sends n bytes; a failure is reported on stderr, not to the caller. Touches only the
    // port, never the stream's state flags, so that one thread may write while another reads.
    virtual void Write(const char* data, std::size_t n);
    // The same, telling how it ended: Done, TimedOut (the line did not take the bytes in
    // time; the stream stays usable), Failed (the port is not open or the line broke:
    // Fault() says why), Interrupted (the caller is stopping).
    Platform::IoResult Send(const char* data, std::size_t n);
    // Reads up to n bytes for a device: a byte the stream's own reads left held first, then
    // the port's. Done with n, or short as Platform::SerialPort::Read ends; Failed when the
    // port is not open. Writes no error line: the device tells what a short read means.
    Platform::IoResult Read(char* data, std::size_t n);

    // Waits, without spinning, until n bytes are queued or the deadline passes.
    Platform::IoResult WaitForBytes(std::size_t n, const Deadline& deadline);
    // Waits for the first byte of an answer of n bytes, as WaitForBytes(1, deadline), fetching
    // as much of the answer as the port can in the same wait.
    Platform::IoResult WaitForAnswer(std::size_t n, const Deadline& deadline);
    // The next byte a read would take, when a wait has already fetched it; -1 otherwise.
    // Takes nothing and never waits.
    int PeekFetched() const;

    // The error number of what broke the line, that of a port that is not open, or 0.
    int Fault() const;

    const std::string& PortName() const { return port_name; }
    // The port of the latest Open(), for what watches it (Platform::Guardian); nullptr before
    // the first. Each Open() makes a new one, closing the old one and so ending its watch.
    Platform::SerialPort* Port() { return buffer ? &buffer->Port() : nullptr; }

    // Whether this stream and the devices on it write error lines; set before Open() to
    // quiet its open too.
    void SetErrorOutput(ErrorOutput output) { error_output = output; }
    bool WritesErrorLines() const { return error_output == ErrorOutput::Lines; }
    // What the waits on this stream ask when a signal interrupts them (Interrupt.h), for this
    // port and the ones later Open()s make; null, the default: they run to their end.
    void SetInterruptCheck(Interrupt::Check check);

  private:
    std::string port_name;
    std::unique_ptr<serialib> buffer;
    bool open_on_construction;
    ErrorOutput error_output = ErrorOutput::Lines;
    Interrupt::Check interrupt_check = nullptr;
};

}  // namespace Brivane::HardwareAPI::IO
