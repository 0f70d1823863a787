#include "serialib.h"

#include "../platform/SystemError.h"

namespace Brivane::HardwareAPI::IO {

serialib::~serialib() {
    port.Close();
}

std::int8_t serialib::OpenPort(const char* name) {
    const std::int8_t code = port.Open(name);
    if (code != 1) return code;
    timeouts = Platform::PortTimeouts{1000, 8, 8, 8, 8};
    if (port.SetTimeouts(timeouts)) {
        timeouts.read_total_constant = 1000;  // each read waits a second beyond its bytes' time
        return 1;
    }
    // A port whose configuration failed is not kept: nothing may reach it.
    const int error = Platform::LastSystemError();
    port.Close();
    Platform::SetLastSystemError(error);
    return -6;
}

void serialib::RaiseDtr() {
    dtr_raised = true;
    port.RaiseDtr();  // a port without modem lines has no DTR to raise
}

// Under the reads' time-outs of the open: nothing changes them after it.
int serialib::ReadWithTimeout(char* buffer, int n) {
    return port.Read(buffer, n, timeouts);
}

// Writing without an open port fails in the port itself, without a system call, so that the
// stream's error line names the reason.
serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    const char byte = traits_type::to_char_type(c);
    return Send(&byte, 1) == Platform::WriteResult::Written ? c : traits_type::eof();
}

serialib::int_type serialib::pbackfail(int_type c) {
    if (has_held_byte || traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::eof();
    }
    held_byte = traits_type::to_char_type(c);
    has_held_byte = true;
    return c;
}

std::streamsize serialib::showmanyc() {
    if (!port.IsOpen()) return 0;
    if (has_held_byte) return 1;
    if (ReadWithTimeout(&held_byte, 1) == 1) {
        has_held_byte = true;
        return 1;
    }
    return 0;
}

serialib::int_type serialib::underflow() {
    if (!port.IsOpen()) return traits_type::eof();
    if (!has_held_byte) {
        if (ReadWithTimeout(&held_byte, 1) != 1) return traits_type::eof();
        has_held_byte = true;
    }
    return traits_type::to_int_type(held_byte);
}

serialib::int_type serialib::uflow() {
    const int_type c = underflow();
    has_held_byte = false;
    return c;
}

std::streamsize serialib::xsgetn(char_type* out, std::streamsize n) {
    if (!port.IsOpen() || n <= 0) return 0;
    std::streamsize delivered = 0;
    if (has_held_byte) {
        out[delivered++] = held_byte;
        has_held_byte = false;
        if (n == 1) return 1;
    }
    const int count = ReadWithTimeout(out + delivered, static_cast<int>(n - delivered));
    return delivered + (count < 0 ? 0 : count);
}

// A write that ran out of time was still taken by the system, as far as it went: only a
// write the system refused is a failure of the stream.
std::streamsize serialib::xsputn(const char_type* data, std::streamsize n) {
    if (n <= 0) return 0;
    switch (Send(data, static_cast<std::size_t>(n))) {
        case Platform::WriteResult::Written:
        case Platform::WriteResult::TimedOut:
            return n;
        case Platform::WriteResult::Failed:
        case Platform::WriteResult::Interrupted:
            break;
    }
    return 0;
}

}  // namespace Brivane::HardwareAPI::IO
