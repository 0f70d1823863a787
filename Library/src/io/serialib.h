#pragma once

#include <cstdint>
#include <streambuf>

#include "../platform/SerialPort.h"

namespace Brivane::HardwareAPI::IO {

// The std::streambuf over one serial port, for programs that use the port as a standard
// stream. Unbuffered: every get and put of the owning stream is served directly by the
// port's read or write. Only one byte of look-ahead (or put-back) is kept. Failures surface
// as end-of-file or short counts, never as exceptions; the calls beside the overrides say
// how each ended (Platform::IoResult).
class serialib : public std::basic_streambuf<char> {
  public:
    serialib() = default;
    ~serialib() override;

    // Opens and configures the port; returns the open code of Platform::SerialPort::Open.
    std::int8_t OpenPort(const char* name);
    void RaiseDtr();

    bool IsOpen() const { return port.IsOpen(); }
    // The port itself, for what watches it (Platform::Guardian).
    Platform::SerialPort& Port() { return port; }
    void ClosePort() { port.Close(); }
    // Writes n bytes to the port; what xsputn and overflow do, with the outcome told apart.
    Platform::IoResult Send(const char* data, std::size_t n) { return port.Write(data, n); }
    // Reads up to n bytes, the held byte first, under the time-outs of the open; what xsgetn
    // does, with the outcome told apart. Failed, with nothing taken, on a port that is not open.
    Platform::IoResult Read(char* data, std::size_t n);
    // The error number of what broke the line, or 0 (Platform::SerialPort::Fault).
    int Fault() const { return port.Fault(); }
    // Bytes waiting at the port, Failed when the query fails. A held byte is not counted.
    Platform::IoResult Queued() { return port.Queued(); }
    Platform::IoResult WaitForBytes(int n, const Deadline& deadline) {
        return port.WaitForBytes(n, deadline);
    }
    Platform::IoResult WaitForAnswer(int n, const Deadline& deadline) {
        return port.WaitForAnswer(n, deadline);
    }
    // The next byte a read would take, held here or fetched by a wait; -1 when none is.
    int PeekFetched() const {
        return has_held_byte ? static_cast<unsigned char>(held_byte) : port.PeekAhead();
    }

  protected:
    int_type overflow(int_type c) override;
    int_type pbackfail(int_type c) override;
    std::streamsize showmanyc() override;
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize xsgetn(char_type* out, std::streamsize n) override;
    std::streamsize xsputn(const char_type* data, std::streamsize n) override;

  private:
    // Reads up to n bytes under the time-outs of the open (a one-second read constant).
    Platform::IoResult ReadWithTimeout(char* buffer, int n);

    char held_byte = 0;
    bool dtr_raised = true;
    bool has_held_byte = false;
    Platform::SerialPort port;
    Platform::PortTimeouts timeouts;  // set by the open only, so a writer shares nothing
};

}  // namespace Brivane::HardwareAPI::IO
