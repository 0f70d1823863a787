#include "Device.h"

#include <algorithm>

#include "ErrorLine.h"
#include "Interrupt.h"
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

// A read failure names what broke the stream; only a failed read of its own leaves the
// system's number.
void Device::report_read_failure(std::size_t n, ReadKind kind) {
    const int fault = stream->Fault();
    const int error = fault != 0 ? fault : Platform::LastSystemError();
    if (kind == ReadKind::Header) {
        ReportError(__FILE__, __LINE__, error, "unable to read header code from stream");
    } else {
        ReportError(__FILE__, __LINE__, error, "unable to read '%zu' bytes from stream", n);
    }
}

// Both reads share the description; the line number tells them apart.
void Device::report_timeout(ReadKind kind) {
    if (kind == ReadKind::Header) {
        ReportError(__FILE__, __LINE__, Platform::TimedOutError(),
                    "timeout waiting for header code");
    } else {
        ReportError(__FILE__, __LINE__, Platform::TimedOutError(),
                    "timeout waiting for header code");
    }
}

Device::ReadEnd Device::timed_read(std::size_t n, ReadKind kind, const Deadline& deadline) {
    if (stream == nullptr || Interrupt::Pending()) return ReadEnd::Failed;
    // Each read stands on its own: a short read before must not fail this one.
    stream->clear(stream->rdstate() & std::ios::badbit);

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
                return ReadEnd::Short;
            case Platform::WaitResult::Failed:
                report_read_failure(n, kind);
                return ReadEnd::Failed;
            case Platform::WaitResult::Interrupted:  // the caller is stopping: no line
                return ReadEnd::Failed;
        }
        stream->read(reinterpret_cast<char*>(read_buffer.get() + got),
                     static_cast<std::streamsize>(take));
        if (!stream->good()) {
            if (stream->eof()) return ReadEnd::Short;  // a short read tells by its count
            report_read_failure(n, kind);
            return ReadEnd::Failed;
        }
        got += take;
    }
    return ReadEnd::Complete;
}

Device::ReadEnd Device::read_header(std::uint8_t& code, const Deadline& deadline) {
    const ReadEnd end = timed_read(1, ReadKind::Header, deadline);
    code = end == ReadEnd::Complete ? read_buffer[0] : 0;
    return end;
}

Device::ReadEnd Device::read_header(std::uint8_t& code) {
    return read_header(code, Deadline::After(timeout));
}

std::uint8_t Device::read_header() {
    std::uint8_t code = 0;
    read_header(code);
    return code;
}

Device::ReadEnd Device::read_bytes(std::size_t n, const Deadline& deadline) {
    if (n == 0) return ReadEnd::Complete;
    return timed_read(std::min(n, kBufferSize), ReadKind::Bytes, deadline);
}

std::int32_t Device::read_bytes(std::size_t n) {
    n = std::min(n, kBufferSize);
    if (n == 0 || read_bytes(n, Deadline::After(timeout)) != ReadEnd::Complete) return 0;
    return static_cast<std::int32_t>(n);
}

void Device::send_request(std::size_t length) {
    if (stream == nullptr || Interrupt::Pending()) return;
    stream->Write(reinterpret_cast<const char*>(write_buffer.get()), std::min(length, kBufferSize));
}

bool Device::receive_answer(std::initializer_list<std::uint8_t> codes, std::size_t payload_length) {
    return receive_answer(codes, payload_length, Limits{}).answered();
}

// Codes that did not match are drained with what follows them, or with a deadline, kept
// as far as they came and dropped before the next request; after a failed read there is
// nothing to drain, and the caller may be stopping.
Outcome Device::receive_answer(std::initializer_list<std::uint8_t> codes,
                               std::size_t payload_length, const Limits& limits) {
    const auto limit = [&] {
        return limits.deadline ? *limits.deadline : Deadline::After(timeout);
    };
    Outcome outcome;
    bool match = true;
    bool timed_out = false;
    for (const std::uint8_t expected : codes) {
        std::uint8_t code = 0;
        const ReadEnd end = read_header(code, limit());
        if (end == ReadEnd::Failed) return failed();
        if (end == ReadEnd::Short) {
            timed_out = true;
        } else {
            outcome.keep(code);
        }
        match = end == ReadEnd::Complete && code == expected && match;
        if (!match && limits.deadline != nullptr) break;  // no second wait for a lost cause
    }
    if (!match) {
        if (limits.deadline == nullptr) {
            drain();
        } else {
            // What is here already shows what answered; the rest goes before the next request.
            const std::int32_t queued = std::min<std::int32_t>(
                stream->Available(),
                static_cast<std::int32_t>(outcome.received.size() - outcome.received_length));
            if (queued > 0 && read_bytes(static_cast<std::size_t>(queued),
                                         Deadline::After(0.001)) == ReadEnd::Complete) {
                for (std::int32_t i = 0; i < queued; ++i) outcome.keep(read_buffer[i]);
            }
            mark_stale();
        }
        outcome.kind = timed_out && outcome.received_length == 0 ? Outcome::Kind::NoAnswer
                                                                 : Outcome::Kind::BadAnswer;
        return outcome;
    }
    switch (read_bytes(payload_length, limit())) {
        case ReadEnd::Complete:
            return outcome;
        case ReadEnd::Short:
            mark_stale();
            outcome.kind = Outcome::Kind::NoAnswer;
            return outcome;
        case ReadEnd::Failed:
            break;
    }
    return failed();
}

Outcome Device::failed() const {
    Outcome outcome;
    if (Interrupt::Pending()) {
        outcome.kind = Outcome::Kind::Stopped;
        return outcome;
    }
    outcome.kind = Outcome::Kind::LineLost;
    const int fault = stream != nullptr ? stream->Fault() : Platform::NotOpenError();
    outcome.error = fault != 0 ? fault : Platform::LastSystemError();
    return outcome;
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

// Takes only what is queued now, without waiting: a flood is cut off after a few buffers.
void Device::drop_queued() {
    stale = false;
    if (stream == nullptr) return;
    for (int round = 0; round < 4; ++round) {
        const std::int32_t queued = std::min<std::int32_t>(stream->Available(), kBufferSize);
        if (queued <= 0) return;
        stream->clear(stream->rdstate() & std::ios::badbit);
        stream->read(reinterpret_cast<char*>(read_buffer.get()), queued);
    }
}

}  // namespace Brivane::HardwareAPI::Devices
