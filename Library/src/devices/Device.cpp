#include "Device.h"

#include <algorithm>
#include <chrono>

#include "../base/ErrorLine.h"
#include "../base/Interrupt.h"
#include "../platform/SystemError.h"

namespace Brivane::HardwareAPI::Devices {

namespace {

// An owed answer that has not come after the line stayed quiet this many times as long as
// its exchange waited, and at least kShortestQuiet, was dropped by the device.
constexpr int kQuietFactor = 10;
constexpr std::chrono::milliseconds kShortestQuiet{100};
constexpr std::chrono::milliseconds kLongestQuiet{2000};
// Exchanges after an owed answer was given up that first drop what is queued.
constexpr int kChecksAfterGivingUp = 16;

// The line numbers the reads' error lines give: programs that match the lines know them, and
// they stay wherever the reporting code moves in this file.
constexpr unsigned kHeaderTimeoutLine = 58;
constexpr unsigned kHeaderFailureLine = 75;
constexpr unsigned kBytesTimeoutLine = 87;
constexpr unsigned kBytesFailureLine = 97;

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
    if (!stream->WritesErrorLines()) return;
    const int fault = stream->Fault();
    const int error = fault != 0 ? fault : Platform::LastSystemError();
    if (kind == ReadKind::Header) {
        ReportError(__FILE__, kHeaderFailureLine, error, "unable to read header code from stream");
    } else {
        ReportError(__FILE__, kBytesFailureLine, error, "unable to read '%zu' bytes from stream",
                    n);
    }
}

// Both reads share the description; the line number tells them apart.
void Device::report_timeout(ReadKind kind) {
    if (!stream->WritesErrorLines()) return;
    ReportError(__FILE__, kind == ReadKind::Header ? kHeaderTimeoutLine : kBytesTimeoutLine,
                Platform::TimedOutError(), "timeout waiting for header code");
}

Device::ReadEnd Device::timed_read(std::size_t n, ReadKind kind, const Deadline& deadline,
                                   bool report) {
    missing_ = n;
    if (stream == nullptr || Interrupt::Pending()) return ReadEnd::Failed;

    std::size_t got = 0;
    while (got < n) {
        std::size_t take = n - got;
        switch (stream->WaitForBytes(take, deadline).status) {
            case Platform::IoStatus::Done:
                break;
            case Platform::IoStatus::Partial:
                take = std::min(take, static_cast<std::size_t>(stream->Available()));
                break;
            case Platform::IoStatus::TimedOut:
                if (report) report_timeout(kind);
                return ReadEnd::Short;
            case Platform::IoStatus::Failed:
                if (report) report_read_failure(n, kind);
                return ReadEnd::Failed;
            case Platform::IoStatus::Interrupted:  // the caller is stopping: no line
                return ReadEnd::Failed;
        }
        // The wait found the bytes: a read that still comes short is Short, whatever ended
        // it, without a line; a broken line fails the next wait, with its line.
        const Platform::IoResult read =
            stream->Read(reinterpret_cast<char*>(read_buffer.get() + got), take);
        if (static_cast<std::size_t>(read.count) < take) return ReadEnd::Short;
        got += take;
        missing_ = n - got;
    }
    return ReadEnd::Complete;
}

Outcome Device::read_code(std::uint8_t& code, const Deadline& deadline, bool lines) {
    const ReadEnd end = timed_read(1, ReadKind::Header, deadline, lines);
    code = end == ReadEnd::Complete ? read_buffer[0] : 0;
    return outcome_of(end);
}

Outcome Device::read_payload(std::size_t n, const Deadline& deadline, bool lines) {
    if (n == 0) return Outcome{};
    return outcome_of(timed_read(std::min(n, kBufferSize), ReadKind::Bytes, deadline, lines));
}

void Device::send_request(std::size_t length) {
    if (stream == nullptr || Interrupt::Pending()) return;
    stream->Write(reinterpret_cast<const char*>(write_buffer.get()), std::min(length, kBufferSize));
}

Outcome Device::send_frame(std::size_t length) {
    Outcome outcome;
    if (Interrupt::Pending()) {
        outcome.kind = Outcome::Kind::Stopped;
        return outcome;
    }
    const Platform::IoStatus status =
        stream == nullptr ? Platform::IoStatus::Failed
                          : stream
                                ->Send(reinterpret_cast<const char*>(write_buffer.get()),
                                       std::min(length, kBufferSize))
                                .status;
    switch (status) {
        case Platform::IoStatus::Done:
        case Platform::IoStatus::Partial:  // a write does not end so
            break;
        case Platform::IoStatus::TimedOut:
            outcome.kind = Outcome::Kind::NoAnswer;
            outcome.error = Platform::TimedOutError();
            break;
        case Platform::IoStatus::Failed:
            outcome.kind = Outcome::Kind::LineLost;
            outcome.error = stream != nullptr ? stream->Fault() : Platform::NotOpenError();
            break;
        case Platform::IoStatus::Interrupted:
            outcome.kind = Outcome::Kind::Stopped;
            break;
    }
    return outcome;
}

// Codes that did not match are drained with what follows them, or with a deadline, kept
// as far as they came and dropped before the next request; after a failed read there is
// nothing to drain, and the caller may be stopping. An answer that ran out of time is owed.
Outcome Device::receive_answer(std::initializer_list<std::uint8_t> codes,
                               std::size_t payload_length, const Limits& limits) {
    const auto limit = [&] {
        return limits.waits_each_read() ? Deadline::After(timeout) : limits.deadline();
    };
    const bool lines = limits.tells_lines();
    const Deadline::Clock::duration waited = wait_of(limits);
    Outcome outcome;
    bool match = true;
    bool timed_out = false;
    bool wrong = false;
    std::size_t missing = codes.size() + payload_length;
    bool first = true;
    for (const std::uint8_t expected : codes) {
        std::uint8_t code = 0;
        const Deadline deadline = limit();
        ReadEnd end = ReadEnd::Complete;
        if (first && stream != nullptr && !Interrupt::Pending()) {
            // The first code's wait fetches the whole answer where the port can (one read on
            // Windows); the reads after it find its bytes there. It ends as the code's read.
            switch (stream->WaitForAnswer(missing, deadline).status) {
                case Platform::IoStatus::Done:
                case Platform::IoStatus::Partial:
                    break;
                case Platform::IoStatus::TimedOut:
                    missing_ = 1;
                    if (lines) report_timeout(ReadKind::Header);
                    end = ReadEnd::Short;
                    break;
                case Platform::IoStatus::Failed:
                    missing_ = 1;
                    if (lines) report_read_failure(1, ReadKind::Header);
                    return failed();
                case Platform::IoStatus::Interrupted:  // the caller is stopping: no line
                    missing_ = 1;
                    return failed();
            }
        }
        first = false;
        if (end == ReadEnd::Complete) {
            end = timed_read(1, ReadKind::Header, deadline, lines);
            code = end == ReadEnd::Complete ? read_buffer[0] : 0;
        }
        if (end == ReadEnd::Failed) return failed();
        if (end == ReadEnd::Short) {
            timed_out = true;
        } else {
            outcome.keep(code);
            --missing;
            wrong = wrong || code != expected;
        }
        match = end == ReadEnd::Complete && code == expected && match;
        if (!match && !limits.drains_wrong_answer()) break;  // no second wait for a lost cause
    }
    if (!match) {
        // Nothing but the right codes came: the rest of the answer may yet come, and what
        // the drain took of it is paid.
        const std::size_t drained = limits.drains_wrong_answer() ? drain() : 0;
        if (!wrong && drained < missing) owe(missing - drained, waited);
        if (wrong && !limits.drains_wrong_answer()) {
            // What is here already shows what answered; the rest goes before the next request.
            const std::int32_t queued = std::min<std::int32_t>(
                stream->Available(),
                static_cast<std::int32_t>(outcome.received.size() - outcome.received_length));
            if (queued > 0 && timed_read(static_cast<std::size_t>(queued), ReadKind::Bytes,
                                         Deadline::After(0.001), lines) == ReadEnd::Complete) {
                for (std::int32_t i = 0; i < queued; ++i) outcome.keep(read_buffer[i]);
            }
            mark_stale();
        }
        outcome.kind = timed_out && outcome.received_length == 0 ? Outcome::Kind::NoAnswer
                                                                 : Outcome::Kind::BadAnswer;
        return outcome;
    }
    const Outcome payload = read_payload(payload_length, limit(), lines);
    if (payload.kind == Outcome::Kind::NoAnswer) {
        owe(missing_, waited);
        outcome.kind = Outcome::Kind::NoAnswer;
        return outcome;
    }
    return payload.answered() ? outcome : payload;  // a failed read: LineLost or Stopped
}

void Device::owe(std::size_t bytes, Deadline::Clock::duration waited, bool length_last) {
    if (bytes == 0) return;
    owed_.bytes += bytes;
    owed_.length_last = length_last;
    owed_.closing = -1;
    owed_.quiet_since = Deadline::Clock::now();
    owed_.forgive_after =
        std::clamp<Deadline::Clock::duration>(waited * kQuietFactor, kShortestQuiet, kLongestQuiet);
}

void Device::owe_closing(std::uint8_t byte, Deadline::Clock::duration waited) {
    const bool alone = owed_.bytes == 0;
    owe(1, waited);
    if (alone) owed_.closing = byte;
}

Outcome Device::settle(const Limits& limits) {
    if (limits.owed() == Limits::Owed::LeftToReader) return Outcome{};
    if (owed_.bytes == 0) {
        drop_stale();
        return Outcome{};
    }
    // Each step of an exchange that waits read by read stands on its own: a broken line is
    // met, with its own lines, by the reads that follow.
    const bool legacy = limits.waits_each_read();
    const Deadline deadline = legacy ? Deadline::After(timeout) : limits.deadline();
    while (owed_.bytes > 0) {
        const auto forgive_at = owed_.quiet_since + owed_.forgive_after;
        const bool forgive_first = deadline.IsNever() || forgive_at <= deadline.When();
        const Deadline until = forgive_first ? Deadline::At(forgive_at) : deadline;
        if (owed_.closing >= 0 && stream != nullptr) {
            // Only the closing byte pays: another byte that comes first begins a message.
            const Platform::IoResult wait = stream->WaitForBytes(1, until);
            const int next = stream->PeekFetched();
            if (wait.arrived() && next >= 0 && next != owed_.closing) {
                owed_ = Owed{};
                break;
            }
            if (wait.status == Platform::IoStatus::Failed ||
                wait.status == Platform::IoStatus::Interrupted)
                return legacy && !Interrupt::Pending() ? Outcome{} : failed();
        }
        const std::size_t wanted = std::min(owed_.bytes, kBufferSize);
        const ReadEnd end = timed_read(wanted, ReadKind::Bytes, until, false);
        const std::size_t got = wanted - missing_;
        if (got > 0) {
            owed_.bytes -= got;
            owed_.quiet_since = Deadline::Clock::now();
            if (owed_.bytes == 0 && owed_.length_last) {
                owed_.length_last = false;
                owed_.bytes = read_buffer[got - 1];
            }
        }
        if (end == ReadEnd::Complete) continue;
        // The legacy exchange meets a broken line itself, with its own lines.
        if (end == ReadEnd::Failed) return legacy && !Interrupt::Pending() ? Outcome{} : failed();
        if (forgive_first) {  // the device dropped it
            owed_ = Owed{};
            if (answers_only_when_asked) checks_ = kChecksAfterGivingUp;
            break;
        }
        if (legacy && limits.tells_lines()) report_timeout(ReadKind::Header);
        Outcome outcome;
        outcome.kind = Outcome::Kind::NoAnswer;
        return outcome;
    }
    drop_stale();
    return Outcome{};
}

Deadline::Clock::duration Device::wait_of(const Limits& limits) const {
    if (!limits.waits_each_read()) return limits.deadline().Span();
    return std::chrono::duration_cast<Deadline::Clock::duration>(
        std::chrono::duration<double>(std::max(timeout, 0.0f)));
}

Outcome Device::outcome_of(ReadEnd end) const {
    if (end == ReadEnd::Failed) return failed();
    Outcome outcome;
    if (end == ReadEnd::Short) outcome.kind = Outcome::Kind::NoAnswer;
    return outcome;
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

std::size_t Device::drain() {
    std::size_t drained = 0;
    if (read_payload(kBufferSize, Deadline::After(timeout)).answered()) {
        drained = kBufferSize;
    } else if (stream != nullptr) {
        // The line went quiet before a full buffer came: discard what did come, so that the
        // rest of a wrong answer is not taken for the next one.
        const std::int32_t queued = std::min<std::int32_t>(stream->Available(), kBufferSize);
        if (queued > 0) {
            const Platform::IoResult read = stream->Read(reinterpret_cast<char*>(read_buffer.get()),
                                                         static_cast<std::size_t>(queued));
            drained = static_cast<std::size_t>(read.count);
        }
    }
    return drained;
}

void Device::drop_stale() {
    if (checks_ == 0) return;
    --checks_;
    // Bytes before a request after an answer was given up: that answer came after all, and
    // the watch goes on.
    if (drop_queued() && answers_only_when_asked && checks_ > 0) checks_ = kChecksAfterGivingUp;
}

// Takes only what is queued now, without waiting: a flood is cut off after a few buffers.
bool Device::drop_queued() {
    if (stream == nullptr) return false;
    bool dropped = false;
    for (int round = 0; round < 4; ++round) {
        const std::int32_t queued = std::min<std::int32_t>(stream->Available(), kBufferSize);
        if (queued <= 0) break;
        stream->Read(reinterpret_cast<char*>(read_buffer.get()), static_cast<std::size_t>(queued));
        dropped = true;
    }
    return dropped;
}

}  // namespace Brivane::HardwareAPI::Devices
