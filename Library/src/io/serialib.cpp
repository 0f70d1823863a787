#include "serialib.h"

#include <algorithm>
#include <climits>

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
Platform::IoResult serialib::ReadWithTimeout(char* buffer, int n) {
    return port.Read(buffer, n, timeouts);
}

// A held byte stays held while the port is closed: only an open port hands it out.
Platform::IoResult serialib::Read(char* data, std::size_t n) {
    if (!port.IsOpen()) {
        Platform::SetLastSystemError(Platform::NotOpenError());
        return Platform::IoResult{Platform::IoStatus::Failed, 0, Platform::NotOpenError()};
    }
    if (n == 0) return Platform::IoResult{};
    std::int32_t delivered = 0;
    if (has_held_byte) {
        data[delivered++] = held_byte;
        has_held_byte = false;
        if (n == 1) return Platform::IoResult{Platform::IoStatus::Done, 1, 0};
    }
    const std::size_t rest =
        std::min<std::size_t>(n - static_cast<std::size_t>(delivered), INT_MAX);
    Platform::IoResult result = ReadWithTimeout(data + delivered, static_cast<int>(rest));
    result.count += delivered;
    // A read that took the held byte and then found nothing still took a byte.
    if (result.status == Platform::IoStatus::TimedOut && result.count > 0) {
        result.status = Platform::IoStatus::Partial;
    }
    return result;
}

// Writing without an open port fails in the port itself, without a system call, so that the
// stream's error line names the reason.
serialib::int_type serialib::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
    const char byte = traits_type::to_char_type(c);
    return Send(&byte, 1).done() ? c : traits_type::eof();
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
    if (ReadWithTimeout(&held_byte, 1).count == 1) {
        has_held_byte = true;
        return 1;
    }
    return 0;
}

serialib::int_type serialib::underflow() {
    if (!port.IsOpen()) return traits_type::eof();
    if (!has_held_byte) {
        if (ReadWithTimeout(&held_byte, 1).count != 1) return traits_type::eof();
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
    if (n <= 0) return 0;
    return Read(out, static_cast<std::size_t>(n)).count;
}

// A write that ran out of time was still taken by the system, as far as it went: only a
// write the system refused is a failure of the stream.
std::streamsize serialib::xsputn(const char_type* data, std::streamsize n) {
    if (n <= 0) return 0;
    switch (Send(data, static_cast<std::size_t>(n)).status) {
        case Platform::IoStatus::Done:
        case Platform::IoStatus::Partial:  // a write does not end so
        case Platform::IoStatus::TimedOut:
            return n;
        case Platform::IoStatus::Failed:
        case Platform::IoStatus::Interrupted:
            break;
    }
    return 0;
}

}  // namespace Brivane::HardwareAPI::IO
