#include "Device.h"

#include <algorithm>

#include "ErrorLine.h"
#include "platform/SystemError.h"

namespace Brivane::HardwareAPI::Devices {

namespace {

std::unique_ptr<std::uint8_t[]> ZeroedBuffer() {
    return std::unique_ptr<std::uint8_t[]>(new std::uint8_t[Device::kBufferSize]());
}

}  // namespace

Device::Device(IO::SerialStream* stream_, float timeout_)
    : timeout(timeout_),
      stream(stream_),
      write_buffer(ZeroedBuffer()),
      read_buffer(ZeroedBuffer()) {}

void Device::report_read_failure(std::size_t n, ReadKind kind) {
    if (kind == ReadKind::Header) {
        ReportError(__FILE__, __LINE__, Platform::LastSystemError(),
                    "unable to read header code from stream");
    } else {
        ReportError(__FILE__, __LINE__, Platform::LastSystemError(),
                    "unable to read '%zu' bytes from stream", n);
    }
}

// Both reads share the description; the line number tells them apart.
void Device::report_timeout(ReadKind kind) {
    if (kind == ReadKind::Header) {
        ReportError(__FILE__, __LINE__, Platform::LastSystemError(),
                    "timeout waiting for header code");
    } else {
        ReportError(__FILE__, __LINE__, Platform::LastSystemError(),
                    "timeout waiting for header code");
    }
}

std::size_t Device::timed_read(std::size_t n, ReadKind kind) {
    if (stream == nullptr) return 0;
    // Each read stands on its own: a short read before must not fail this one.
    stream->clear(stream->rdstate() & std::ios::badbit);

    const Deadline deadline = Deadline::After(timeout);
    std::size_t got = 0;
    while (got < n) {
        std::size_t take = n - got;
        switch (stream->WaitForBytes(take, deadline)) {
            case Platform::WaitResult::Ready:
                break;
            case Platform::WaitResult::Partial:
                take = std::min(take, static_cast<std::size_t>(stream->Available()));
                break;
            case Platform::WaitResult::TimedOut:
                report_timeout(kind);
                return 0;
            case Platform::WaitResult::Failed:
                report_read_failure(n, kind);
                return 0;
        }
        stream->read(reinterpret_cast<char*>(read_buffer.get() + got),
                     static_cast<std::streamsize>(take));
        if (!stream->good()) {
            if (!stream->eof()) report_read_failure(n, kind);  // a short read tells by its count
            return 0;
        }
        got += take;
    }
    return got;
}

std::uint8_t Device::read_header() {
    return timed_read(1, ReadKind::Header) == 1 ? read_buffer[0] : 0;
}

std::int32_t Device::read_bytes(std::size_t n) {
    if (n == 0) return 0;
    n = std::min(n, kBufferSize);
    return static_cast<std::int32_t>(timed_read(n, ReadKind::Bytes));
}

void Device::send_request(std::size_t length) {
    if (stream == nullptr) return;
    stream->Write(reinterpret_cast<const char*>(write_buffer.get()), std::min(length, kBufferSize));
}

bool Device::receive_answer(std::initializer_list<std::uint8_t> codes, std::size_t payload_length) {
    bool match = true;
    for (const std::uint8_t code : codes) match = (read_header() == code) && match;
    if (!match) {
        drain();
        return false;
    }
    return read_bytes(payload_length) == static_cast<std::int32_t>(payload_length);
}

void Device::drain() {
    if (read_bytes(kBufferSize) != 0 || stream == nullptr) return;
    // The line went quiet before a full buffer came: discard what did come, so that the
    // rest of a wrong answer is not taken for the next one.
    const std::int32_t queued = std::min<std::int32_t>(stream->Available(), kBufferSize);
    if (queued > 0) {
        stream->clear(stream->rdstate() & std::ios::badbit);
        stream->read(reinterpret_cast<char*>(read_buffer.get()), queued);
    }
}

}  // namespace Brivane::HardwareAPI::Devices
