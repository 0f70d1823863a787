#include "SerialStream.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "../base/ErrorLine.h"
#include "../platform/SystemError.h"

namespace Brivane::HardwareAPI::IO {

namespace {

// The line numbers the stream's error lines give: programs that match the lines know them,
// and they stay wherever the reporting code moves in this file.
constexpr unsigned kOpenStreamLine = 18;
constexpr unsigned kOpenPortLine = 39;
constexpr unsigned kWriteFailureLine = 82;

Platform::IoResult NotOpen() {
    Platform::SetLastSystemError(Platform::NotOpenError());
    return Platform::IoResult{Platform::IoStatus::Failed, 0, Platform::NotOpenError()};
}

}  // namespace

SerialStream::SerialStream(const char* port, bool open)
    : std::basic_iostream<char>(nullptr),
      port_name(port != nullptr ? port : ""),  // no name: the open fails as "no such port"
      open_on_construction(open) {
    if (open_on_construction && Open() < 0) {
        const int error = Platform::LastSystemError();
        ReportError(__FILE__, kOpenStreamLine, error, "unable to open stream '%s'",
                    Printable(port_name).c_str());
    }
}

SerialStream::~SerialStream() {
    Close();
}

std::int8_t SerialStream::Open() {
    buffer = std::make_unique<serialib>();
    rdbuf(buffer.get());  // also resets the state to good
    buffer->Port().SetInterruptCheck(interrupt_check);
    std::int8_t code = -1;
    try {
        code = buffer->OpenPort(port_name.c_str());
    } catch (const std::exception&) {  // the device path could not be built
    }
    const int error = code < 0 ? Platform::LastSystemError() : 0;
    if (buffer->IsOpen()) buffer->RaiseDtr();
    if (code == 1) return 1;
    if (WritesErrorLines())
        ReportError(__FILE__, kOpenPortLine, error, "unable to open port '%s'",
                    Printable(port_name).c_str());
    Platform::SetLastSystemError(error);  // for the caller's own line
    return code;
}

void SerialStream::SetInterruptCheck(Interrupt::Check check) {
    interrupt_check = check;
    if (buffer) buffer->Port().SetInterruptCheck(check);
}

void SerialStream::Close() {
    if (buffer) buffer->ClosePort();
}

std::int32_t SerialStream::Available() {
    if (!buffer) return 0;
    const Platform::IoResult queued = buffer->Queued();
    return queued.done() ? queued.count : 0;
}

void SerialStream::Write(const char* data, std::size_t n) {
    Send(data, n);
}

Platform::IoResult SerialStream::Send(const char* data, std::size_t n) {
    // A write that fails without a system call of its own names the cause it remembers.
    int error = 0;
    Platform::IoResult result;
    if (!buffer) {
        result = NotOpen();
        error = result.error;
    } else if (n == 0) {
        error = buffer->Fault();
        if (error != 0) {
            Platform::SetLastSystemError(error);
            result = Platform::IoResult{Platform::IoStatus::Failed, 0, error};
        }
    } else {
        switch ((result = buffer->Send(data, n)).status) {
            case Platform::IoStatus::Done:
            case Platform::IoStatus::Partial:      // a write does not end so
            case Platform::IoStatus::Interrupted:  // the caller is stopping: no line
                break;
            case Platform::IoStatus::TimedOut:  // the stream stays usable
                error = Platform::TimedOutError();
                break;
            case Platform::IoStatus::Failed:
                error = buffer->Fault() != 0 ? buffer->Fault() : result.error;
                break;
        }
    }
    if (error != 0 && WritesErrorLines())
        ReportError(__FILE__, kWriteFailureLine, error, "unable to write '%zu' bytes to stream", n);
    return result;
}

Platform::IoResult SerialStream::Read(char* data, std::size_t n) {
    return buffer ? buffer->Read(data, n) : NotOpen();
}

int SerialStream::Fault() const {
    return buffer ? buffer->Fault() : Platform::NotOpenError();
}

int SerialStream::PeekFetched() const {
    return buffer ? buffer->PeekFetched() : -1;
}

Platform::IoResult SerialStream::WaitForBytes(std::size_t n, const Deadline& deadline) {
    if (!buffer) return NotOpen();
    return buffer->WaitForBytes(static_cast<int>(std::min<std::size_t>(n, INT_MAX)), deadline);
}

Platform::IoResult SerialStream::WaitForAnswer(std::size_t n, const Deadline& deadline) {
    if (!buffer) return NotOpen();
    return buffer->WaitForAnswer(static_cast<int>(std::min<std::size_t>(n, INT_MAX)), deadline);
}

}  // namespace Brivane::HardwareAPI::IO
