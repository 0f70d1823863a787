#include "Handle.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "../platform/SerialPort.h"
#include "HandleMessages.h"

namespace Brivane::HardwareAPI::Devices {

namespace {

using namespace HandleMessages;

}  // namespace

Handle::Handle(IO::SerialStream* stream_, float timeout_) : Device(stream_, timeout_) {
    answers_only_when_asked = false;
}

Handle::~Handle() = default;

Outcome Handle::request_status() {
    write_buffer[0] = kStatusRequest.code;
    return send_frame(1);
}

Outcome Handle::send_state(std::uint16_t device_id, const std::uint8_t* user_data,
                           std::uint8_t data_length) {
    // A frame announcing bytes it does not carry would be misread by the grip.
    if (user_data == nullptr && data_length != 0) {
        Outcome refused;
        refused.kind = Outcome::Kind::Refused;
        return refused;
    }
    HandleState state;
    state.device_id = device_id;
    state.user_data_length = data_length;
    if (data_length != 0) std::memcpy(state.user_data, user_data, data_length);
    write_buffer[0] = kHandleState.code;
    return send_frame(1 + Encode(state, write_buffer.get() + 1));
}

Outcome Handle::identify(GripIdentity& identity, const Limits& limits) {
    identity = GripIdentity{};
    SendDeviceWakeup();
    Outcome junk;
    bool grip = false;
    for (;;) {
        HandleMessage message;
        std::int32_t count = 0;
        const Outcome outcome = read_message(message, limits, count);
        if (message.kind == HandleMessage::Kind::Info) {
            identity.informed = true;
            identity.info = message.info;
            own_id_ = static_cast<int>(message.info.device_id & 0xFF);
            return outcome;
        }
        grip = grip || message.kind == HandleMessage::Kind::Status;
        if (outcome.kind == Outcome::Kind::BadAnswer) {
            junk.kind = Outcome::Kind::BadAnswer;
            for (std::size_t i = 0; i < outcome.received_length; ++i)
                junk.keep(outcome.received[i]);
        } else if (!outcome.answered() && outcome.kind != Outcome::Kind::NoAnswer) {
            return outcome;  // the line is lost, or the caller is stopping
        }
        // A search without a deadline takes one message: nothing else would end it.
        const bool ended =
            limits.deadline().IsNever() || limits.deadline().Expired() ||
            (outcome.kind == Outcome::Kind::NoAnswer && outcome.received_length == 0);
        if (!ended) continue;
        if (grip) return Outcome{};
        if (junk.kind == Outcome::Kind::BadAnswer) return junk;
        Outcome silent;
        silent.kind = Outcome::Kind::NoAnswer;
        return silent;
    }
}

Outcome Handle::receive(HandleMessage& message, const Deadline& deadline) {
    std::int32_t count = 0;
    return read_message(message, Limits::By(deadline), count);
}

void Handle::abandon_arriving(const Limits& limits) {
    if (arriving_.want == 0) return;
    // The fixed part of a status message ends with the length of what follows it.
    const bool length_last = arriving_.code == kStatus.code && arriving_.want == kStatus.length;
    owe(arriving_.want - arriving_.have, wait_of(limits), length_last);
    arriving_ = Arriving{};
}

// `count`: the payload bytes of the whole reads, as Receive returns them (-1 for no message).
Outcome Handle::read_message(HandleMessage& message, const Limits& limits, std::int32_t& count) {
    message.kind = HandleMessage::Kind::None;
    count = -1;
    const auto limit = [&] {
        return limits.waits_each_read() ? Deadline::After(timeout) : limits.deadline();
    };
    const bool resumes = limits.cut_short() == Limits::CutShort::Resumed;
    const bool lines = limits.tells_lines();
    Outcome outcome;
    if (!resumes || arriving_.want == 0) {
        abandon_arriving(limits);
        outcome = settle(limits);
        if (!outcome.answered()) return outcome;
        std::uint8_t code = 0;
        outcome = read_code(code, limit(), lines);
        if (!outcome.answered()) return outcome;
        const std::size_t length = code == kInfo.code     ? kInfo.length
                                   : code == kStatus.code ? kStatus.length
                                   : code == kError.code  ? kError.length
                                                          : 0;
        if (length == 0) {  // not a grip message: the bytes after it stay for the next read
            outcome.keep(code);
            outcome.kind = Outcome::Kind::BadAnswer;
            return outcome;
        }
        arriving_ = Arriving{};
        arriving_.code = code;
        arriving_.want = length;
    }
    outcome.keep(arriving_.code);
    for (;;) {
        const std::size_t wanted = arriving_.want - arriving_.have;
        const Outcome read = read_payload(wanted, limit(), lines);
        const std::size_t got = wanted - missing();
        std::memcpy(arriving_.payload + arriving_.have, read_buffer.get(), got);
        arriving_.have += got;
        if (!read.answered()) {
            // Receive's count: the whole reads, the fixed part of a status message.
            count = arriving_.code == kStatus.code && arriving_.have >= kStatus.length
                        ? kStatus.length
                        : 0;
        }
        if (read.kind != Outcome::Kind::Answered && read.kind != Outcome::Kind::NoAnswer) {
            arriving_ = Arriving{};
            outcome.kind = read.kind;
            outcome.error = read.error;
            return outcome;
        }
        if (read.kind == Outcome::Kind::NoAnswer) {
            if (!resumes) abandon_arriving(limits);
            outcome.kind = Outcome::Kind::NoAnswer;
            return outcome;
        }
        const std::uint8_t user_data = UserDataLength(kStatus, arriving_.payload);
        if (arriving_.code != kStatus.code || arriving_.want > kStatus.length || user_data == 0) {
            break;
        }
        arriving_.want += user_data;
    }

    const std::uint8_t* payload = arriving_.payload;
    count = static_cast<std::int32_t>(arriving_.want);
    switch (arriving_.code) {
        case kInfo.code:
            message.info = Decode<HandleInfoResponse>(payload);
            message.kind = HandleMessage::Kind::Info;
            break;
        case kStatus.code:
            message.status = Decode<HandleStatusMessage>(payload);
            message.kind = HandleMessage::Kind::Status;
            break;
        default:
            message.error = Decode<HandleErrorResponse>(payload);
            message.kind = HandleMessage::Kind::Error;
            break;
    }
    arriving_ = Arriving{};
    return outcome;
}

// The status block is SLIP-stuffed. Its first 19 raw bytes are read at once: the 18 block
// bytes and the terminating END when nothing is stuffed. Each stuffed byte takes two, and
// then only as many more raw bytes are read as the block still lacks, never a byte of the
// frame that follows; the byte that closes the block is the caller's (take_closing). One
// deadline bounds the whole call and 37 raw bytes the block, every byte stuffed and its END,
// so that no run of bytes from the line can keep it reading. A read that fails keeps what
// came, so that a block cut short by a lost line is told from no message.
Outcome Handle::read_status_block(std::uint8_t (&block)[kBlockLength], int& closing,
                                  const Deadline& deadline) {
    closing = -1;
    Outcome outcome;
    // A 0x00 that arrived is junk like any other byte; only a time-out or a failure ends
    // the search.
    std::uint8_t code = 0;
    do {
        if (deadline.Expired()) {  // bytes kept coming, none of them a status message
            report_header_timeout();
            outcome.kind = Outcome::Kind::NoAnswer;
            return outcome;
        }
        const Outcome read = read_code(code, deadline);
        if (!read.answered()) return read;
    } while (code != kStatus.code);
    outcome.keep(code);

    StatusBlockUnstuffer unstuffer(block);
    std::size_t raw = 0;
    for (std::size_t wanted = kBlockLength + 1; !unstuffer.whole();
         wanted = std::min(kBlockLength - unstuffer.decoded(), kMostRawBytes - raw)) {
        if (wanted == 0) {  // all stuffing, and still no block
            outcome.kind = Outcome::Kind::BadAnswer;
            return outcome;
        }
        const Outcome read = read_payload(wanted, deadline);
        if (!read.answered()) {  // a late rest is junk to the next search for a header
            outcome.kind = read.kind;
            outcome.error = read.error;
            return outcome;
        }
        raw += wanted;
        std::size_t i = 0;
        for (; i < wanted && !unstuffer.whole(); ++i) {
            const std::uint8_t byte = read_buffer[i];
            outcome.keep(byte);
            if (!unstuffer.Take(byte)) {  // the frame ended early
                outcome.kind = Outcome::Kind::BadAnswer;
                return outcome;
            }
        }
        if (i < wanted) closing = read_buffer[i];
    }
    if (closing >= 0) outcome.keep(static_cast<std::uint8_t>(closing));
    return outcome;
}

// The block's last byte ended a read: the byte after it is looked at where it waits, and
// taken only when it is the END, never a byte of the frame that follows.
Outcome Handle::take_closing(int& closing, const Deadline& until) {
    closing = -1;
    switch (stream->WaitForBytes(1, until).status) {
        case Platform::IoStatus::Done:
        case Platform::IoStatus::Partial:
            closing = stream->PeekFetched();
            if (closing < 0 || closing == kSlipEnd) {
                if (!read_payload(1, until).answered()) return failed();
                closing = read_buffer[0];
            }
            return Outcome{};
        case Platform::IoStatus::TimedOut:
            owe_closing(kSlipEnd, until.Span());
            return Outcome{};
        case Platform::IoStatus::Failed:
        case Platform::IoStatus::Interrupted:
            break;
    }
    return failed();
}

Outcome Handle::status(StavrinStatus& status, const Deadline& deadline) {
    abandon_arriving(Limits::By(deadline));
    Outcome outcome = settle(Limits::By(deadline));
    if (!outcome.answered()) return outcome;
    std::uint8_t block[kBlockLength] = {};
    int closing = -1;
    outcome = read_status_block(block, closing, deadline);
    if (!outcome.answered()) return outcome;
    if (closing < 0) {
        const Outcome taken = take_closing(closing, deadline);
        if (!taken.answered()) return taken;
        if (closing >= 0) outcome.keep(static_cast<std::uint8_t>(closing));
    }
    if (closing < 0) {
        outcome.kind = Outcome::Kind::NoAnswer;  // cut short before its END
    } else if (closing != kSlipEnd) {
        outcome.kind = Outcome::Kind::BadAnswer;
    } else {
        const StavrinStatus decoded = Decode<StavrinStatus>(block);
        if (own_id_ >= 0 && decoded.device_id != own_id_) {
            outcome.kind = Outcome::Kind::BadAnswer;  // another grip's block
        } else {
            status = decoded;
        }
    }
    return outcome;
}

}  // namespace Brivane::HardwareAPI::Devices
