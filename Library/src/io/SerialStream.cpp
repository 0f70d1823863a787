#include "SerialStream.h"

#include <algorithm>
#include <climits>
#include <exception>

#include "../base/ErrorLine.h"
#include "../platform/SystemError.h"

namespace Brivane::HardwareAPI::IO {

SerialStream::SerialStream(const char* port, bool open)
    : std::basic_iostream<char>(nullptr),
      port_name(port != nullptr ? port : ""),  // no name: the open fails as "no such port"
      open_on_construction(open) {
    if (open_on_construction && Open() < 0) {
        const int error = Platform::LastSystemError();
        ReportError(__FILE__, __LINE__, error, "unable to open stream '%s'",
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
        ReportError(__FILE__, __LINE__, error, "unable to open port '%s'",
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
    const int queued = buffer->Queued();
    return queued < 0 ? 0 : queued;
}

void SerialStream::Write(const char* data, std::size_t n) {
    Send(data, n);
}

Platform::WriteResult SerialStream::Send(const char* data, std::size_t n) {
    // A write that fails without a system call of its own names the cause it remembers.
    int error = 0;
    Platform::WriteResult result = Platform::WriteResult::Failed;
    if (!buffer) {
        error = Platform::NotOpenError();
    } else if (n == 0) {
        error = buffer->Fault();
        if (error == 0) result = Platform::WriteResult::Written;
    } else {
        switch (result = buffer->Send(data, n)) {
            case Platform::WriteResult::Written:
            case Platform::WriteResult::Interrupted:  // the caller is stopping: no line
                break;
            case Platform::WriteResult::TimedOut:  // the stream stays usable
                error = Platform::TimedOutError();
                break;
            case Platform::WriteResult::Failed:
                error = buffer->Fault() != 0 ? buffer->Fault() : Platform::LastSystemError();
                break;
        }
    }
    if (error != 0 && WritesErrorLines())
        ReportError(__FILE__, __LINE__, error, "unable to write '%zu' bytes to stream", n);
    return result;
}

int SerialStream::Fault() const {
    return buffer ? buffer->Fault() : Platform::NotOpenError();
}

int SerialStream::PeekFetched() const {
    return buffer ? buffer->PeekFetched() : -1;
}

Platform::WaitResult SerialStream::WaitForBytes(std::size_t n, const Deadline& deadline) {
    if (!buffer) {
        Platform::SetLastSystemError(Platform::NotOpenError());
        return Platform::WaitResult::Failed;
    }
    return buffer->WaitForBytes(static_cast<int>(n), deadline);
}

Platform::WaitResult SerialStream::WaitForAnswer(std::size_t n, const Deadline& deadline) {
    if (!buffer) {
        Platform::SetLastSystemError(Platform::NotOpenError());
        return Platform::WaitResult::Failed;
    }
    return buffer->WaitForAnswer(static_cast<int>(std::min<std::size_t>(n, INT_MAX)), deadline);
}

}  // namespace Brivane::HardwareAPI::IO
