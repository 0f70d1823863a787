#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "../io/SerialStream.h"

namespace Brivane::HardwareAPI::Devices {

// How an exchange ended. A caller that needs to know why an answer did not come (rather
// than a line on stderr and zeros) reads it here.
struct Outcome {
    enum class Kind : std::uint8_t {
        Answered,
        NoAnswer,   // nothing, or not all of the answer, came in time
        BadAnswer,  // a wrong code or a malformed answer: `received` holds its first bytes
        LineLost,   // the line hung up or failed: `error` is the system's number
        Stopped,    // the interrupt check asked the operation to stop
        Refused,    // the call's values make no frame (a null buffer with a length): nothing sent
    };
    Kind kind = Kind::Answered;
    int error = 0;
    std::array<std::uint8_t, 32> received{};
    std::size_t received_length = 0;

    bool answered() const { return kind == Kind::Answered; }
    void keep(std::uint8_t byte) {
        if (received_length < received.size()) received[received_length++] = byte;
    }
};

// How an exchange behaves, as a value: how it waits, what a wrong answer does, what an
// answer still owed from an exchange before does to it, what becomes of an answer cut short,
// and whether its faults are told in error lines. Two policies are named:
//
// PerRead(), the legacy calls': each read waits the device's timeout on its own, and the
// write is not asked how it went (the answer tells); all of an answer's codes are read
// before they are compared, and a wrong answer is drained at once (a wait of its own); an
// owed answer is waited for before the next request, its time-out told in a line; an
// answer cut short is owed.
//
// By(deadline), the named calls': the whole exchange ends by one deadline, and a write the
// line did not take ends it; the first wrong code ends it, and the rest of the wrong answer
// is dropped before the next request instead; an owed answer is waited for until the
// deadline; a grip message cut short is resumed by the next read.
//
// Either may be told to leave an owed answer to the reader (a fixed-rate loop takes every
// answer as a state, and cannot wait for the quiet line settling needs) or to keep quiet.
class Limits {
  public:
    enum class Waits : std::uint8_t { EachRead, ByDeadline };
    enum class WrongAnswer : std::uint8_t { DrainedAtOnce, DroppedBeforeNext };
    enum class Owed : std::uint8_t { WaitedFor, LeftToReader };
    enum class CutShort : std::uint8_t { Owed, Resumed };
    enum class Lines : std::uint8_t { Told, Quiet };

    static Limits PerRead() {
        return Limits(Waits::EachRead, Deadline::Never(), WrongAnswer::DrainedAtOnce,
                      CutShort::Owed);
    }
    static Limits By(const Deadline& deadline) {
        return Limits(Waits::ByDeadline, deadline, WrongAnswer::DroppedBeforeNext,
                      CutShort::Resumed);
    }
    Limits leaving_owed_to_reader() const {
        Limits limits = *this;
        limits.owed_ = Owed::LeftToReader;
        return limits;
    }
    Limits quiet() const {
        Limits limits = *this;
        limits.lines_ = Lines::Quiet;
        return limits;
    }

    Waits waits() const { return waits_; }
    bool waits_each_read() const { return waits_ == Waits::EachRead; }
    // The exchange's deadline; Never() for EachRead, whose reads take the device's timeout.
    const Deadline& deadline() const { return deadline_; }
    WrongAnswer wrong_answer() const { return wrong_; }
    bool drains_wrong_answer() const { return wrong_ == WrongAnswer::DrainedAtOnce; }
    Owed owed() const { return owed_; }
    CutShort cut_short() const { return cut_short_; }
    bool tells_lines() const { return lines_ == Lines::Told; }

  private:
    Limits(Waits waits, const Deadline& deadline, WrongAnswer wrong, CutShort cut_short)
        : waits_(waits), deadline_(deadline), wrong_(wrong), cut_short_(cut_short) {}
    Waits waits_;
    Deadline deadline_;
    WrongAnswer wrong_;
    Owed owed_ = Owed::WaitedFor;
    CutShort cut_short_;
    Lines lines_ = Lines::Told;
};

// The common core of every device: a stream it does not own, a reply timeout and two owned,
// zero-filled frame buffers. Reads are time-limited; faults are reported as one line on
// stderr and as zero results, never as exceptions.
struct Device {
    static constexpr std::size_t kBufferSize = 1024;

    // Longest wait of a read, in seconds; 0 or below waits without limit.
    float timeout;
    IO::SerialStream* stream;
    std::unique_ptr<std::uint8_t[]> write_buffer;
    std::unique_ptr<std::uint8_t[]> read_buffer;

    Device(IO::SerialStream* stream, float timeout);

    // The two timed reads every message rests on, each ending by `deadline`: Answered with
    // the code, or with the n bytes (1 to 1024) in read_buffer; NoAnswer when too little came
    // in time (missing() says how much); LineLost; Stopped. `lines`: whether a time-out or a
    // failure is told in an error line.
    Outcome read_code(std::uint8_t& code, const Deadline& deadline, bool lines = true);
    Outcome read_payload(std::size_t n, const Deadline& deadline, bool lines = true);

    // Sends the first `length` bytes of write_buffer, not asking how it went (the answer
    // tells): the write of an exchange that waits read by read.
    void send_request(std::size_t length);
    // The same, telling how it ended: Answered when the line took every byte; NoAnswer when
    // it did not take them in time (flow control held, or nobody reads the far end; the
    // unsent rest goes out first on the next send); LineLost; Stopped.
    Outcome send_frame(std::size_t length);
    // Reads the header code(s), then on a match the payload into read_buffer, as `limits`
    // says (Limits): the one reading of an answer.
    Outcome receive_answer(std::initializer_list<std::uint8_t> codes, std::size_t payload_length,
                           const Limits& limits);

    // The legacy reads (legacy/DeviceLegacy.cpp), over the ones above with the device's
    // timeout and zeros for a failure. read_header(): the code, 0 on time-out or failure.
    // read_bytes(n): reads n bytes (1 to 1024) into read_buffer; the count, or 0.
    // receive_answer(codes, n): under PerRead(); true only when every code matched and the
    // whole payload came. exchange(): a request and its answer so.
    std::uint8_t read_header();
    std::int32_t read_bytes(std::size_t n);
    bool receive_answer(std::initializer_list<std::uint8_t> codes, std::size_t payload_length);
    bool exchange(std::size_t request_length, std::initializer_list<std::uint8_t> codes,
                  std::size_t payload_length) {
        send_request(request_length);
        return receive_answer(codes, payload_length);
    }

    // Discards what the line holds: waits for a full buffer or the timeout, then throws
    // away whatever has arrived. Returns how many bytes it threw away.
    std::size_t drain();

    // An exchange that runs out of time leaves its answer owed: the device may still send
    // it, and the protocol has no sequence numbers to tell it from the next one. So before
    // the next request (or grip message) goes out or is read, settle() waits for the owed
    // bytes and throws them away. The device is taken to have dropped them once the line
    // has stayed quiet for ten times as long as the exchange waited (at least 0.1 s, at most
    // 2 s). An answer later than that may be taken for the next request's; so an arm is then
    // watched for a while: bytes queued before a request are no answer to it and are
    // dropped, so that such an answer misleads one call, not every one after it. An
    // exchange that is owed nothing pays one test for all this.
    //
    // An answer still owed when the exchange's deadline passes (without one, the legacy
    // calls: the device's timeout, with the header's time-out line) ends it as NoAnswer
    // before anything is sent. Answered: clear to go.
    Outcome settle(const Limits& limits);
    // `bytes` of an answer did not come within a wait of `waited`. With `length_last`, the
    // last of them counts bytes that follow it, owed as well.
    void owe(std::size_t bytes, Deadline::Clock::duration waited, bool length_last = false);
    // The one byte that closes a frame did not come within `waited`: owed as that byte only,
    // so that another byte that comes first is left for the message it begins.
    void owe_closing(std::uint8_t byte, Deadline::Clock::duration waited);
    std::size_t owed() const { return owed_.bytes; }

    // After a wrong answer whose length is unknown, its late rest would be read as the start
    // of the next one: the next exchange drops what is queued first, once. The side that
    // reads settles before its next request or message.
    void mark_stale() { checks_ = std::max(checks_, 1); }
    void drop_stale();

  protected:
    // The time-out line of a header read, for a search that runs out of time between reads.
    void report_header_timeout() { report_timeout(ReadKind::Header); }
    // Bytes the last read lacked when it ended short or failed; 0 after a whole read.
    std::size_t missing() const { return missing_; }
    // A read that failed: the line is lost, or the caller is stopping.
    Outcome failed() const;
    // How long an exchange under `limits` waits: its deadline's span, or the timeout.
    Deadline::Clock::duration wait_of(const Limits& limits) const;

    // Whether the device sends only when asked (the arm), so that bytes queued before a
    // request are never its answer; the grip sends on its own.
    bool answers_only_when_asked = true;

  private:
    // How a read ended. Short: nothing or too little came in time. Failed: the line or the
    // stream broke, or the caller is stopping; nothing is drained after that.
    enum class ReadEnd { Complete, Short, Failed };
    enum class ReadKind { Header, Bytes };
    Outcome outcome_of(ReadEnd end) const;
    // What a read still lacked when it ended short, and an answer the device still owes.
    struct Owed {
        std::size_t bytes = 0;
        bool length_last = false;
        int closing = -1;  // the only byte that pays it (owe_closing), or -1: any
        Deadline::Clock::time_point quiet_since{};
        Deadline::Clock::duration forgive_after{};
    };
    // Waits for n bytes until `deadline` and reads them into read_buffer; `report`: its
    // time-out and failure lines.
    ReadEnd timed_read(std::size_t n, ReadKind kind, const Deadline& deadline, bool report = true);
    void report_read_failure(std::size_t n, ReadKind kind);
    void report_timeout(ReadKind kind);
    // Throws away what is queued, without waiting; true when there was something.
    bool drop_queued();

    int checks_ = 0;           // exchanges that first drop what is queued
    std::size_t missing_ = 0;  // bytes the last timed read did not get
    Owed owed_;
};

}  // namespace Brivane::HardwareAPI::Devices
