#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "../base/Deadline.h"
#include "../base/Interrupt.h"
#include "SystemError.h"

namespace Brivane::HardwareAPI::Platform {

class Guardian;
struct PortLedger;

// The port's time-outs in milliseconds, with the meaning a Windows serial port gives them:
// a read of n bytes returns at n bytes, or once a byte came and no further byte came within
// the interval, or when per_byte * n + constant has passed; a write of n bytes gives up
// after per_byte * n + constant. Zero totals mean no limit.
struct PortTimeouts {
    std::uint32_t read_interval = 0;
    std::uint32_t read_total_per_byte = 0;
    std::uint32_t read_total_constant = 0;
    std::uint32_t write_total_per_byte = 0;
    std::uint32_t write_total_constant = 0;
};

// How a read, a write, a wait or a count of the port ended, one type for them all.
//   Done: all that was asked: the n bytes read, written or queued; a count made.
//   Partial: some of them, and no more came within their wire time (a wait), or the read
//     ended short on its time-outs; the caller takes them, so that a full line reopens for
//     the rest.
//   TimedOut: none came in time (a read or a wait), or the line did not take every byte
//     of a write in time: the unsent rest of a frame already begun goes out first on the
//     next write, so that the device never sees a torn frame (should the process die first,
//     a watching guardian sends it: Guardian.h).
//   Failed: the system refused the call, or the line is broken (a hang-up, a failed write);
//     a broken line stays so from then on.
//   Interrupted: a signal came and the interrupt check (Interrupt.h) asked it to stop.
enum class IoStatus : std::uint8_t { Done, Partial, TimedOut, Failed, Interrupted };

// `count`: the bytes read or written (also when it did not end Done), or those queued for a
// read that needs no wait (a count or a wait). `error`: the system's error number when it
// Failed, which LastSystemError() also gives; else 0.
struct IoResult {
    IoStatus status = IoStatus::Done;
    std::int32_t count = 0;
    int error = 0;

    bool done() const { return status == IoStatus::Done; }
    // A wait's bytes are there to be taken: all of them or some.
    bool arrived() const { return status == IoStatus::Done || status == IoStatus::Partial; }
};

// Wakes every wait and pending read or write of the process so that it asks the interrupt
// check at once; safe from any thread (a console's Ctrl-C handler runs on its own). Where a
// signal interrupts the wait itself (POSIX) there is nothing to wake.
void WakeWaits();

// After a read failed for the `attempt`th time in a row (0: the first) and the line's errors
// were cleared (`cleared`: the system took the clearing): true when the read goes on, as
// after a framing, parity or overrun error that the driver aborted the read on; false when
// the failure stays (the device is gone), which breaks the line.
bool ReadGoesOnAfterFailure(int attempt, bool cleared);

// One serial port: the library's seam to the operating system, the only place that calls
// it for a port. Failing calls say so in their IoResult and leave its error number for
// LastSystemError().
//
// A port may be read on one thread while another writes: the two sides share only the
// handle and the fault, which is atomic; each has its own pending operation, so neither
// holds up the other.
//
// The read side keeps a read-ahead: a wait takes whatever has arrived (up to its size) in
// one system read, and the reads after it are served from it.
//
// A port may be watched by a guardian (Guardian.h), which writes its last words should the
// process die; closing the port ends the watch, as Guardian::Dismiss does.
class SerialPort {
  public:
    SerialPort() = default;
    ~SerialPort() { Close(); }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `name` exclusively and sets 115200 baud, 8 data bits, no parity, 1 stop bit in
    // raw binary mode, keeping the port's flow control. Returns the open code: 1 opened,
    // -1 no such port, -2 not opened (busy, refused, or no character device), -3 settings
    // unreadable (no terminal), -5 settings not written; a failure leaves its error number
    // for LastSystemError(). Only a port that opened is kept: nothing is ever written to a
    // file, a disk or a device that is not a serial line.
    // The one call without an IoResult: programs know the open by these codes (they reach
    // them unchanged through serialib::OpenPort and SerialStream::Open), and its failures
    // are told apart by more than the five statuses can say.
    std::int8_t Open(const char* name);
    bool IsOpen() const { return handle_ != kInvalid; }
    void Close();

    // Applies all five time-outs; writes keep the write time-outs given here. Called once,
    // after Open; false when the system refused them.
    bool SetTimeouts(const PortTimeouts& timeouts);
    // Raises DTR; false where the port has no modem lines (a pseudo-terminal).
    bool RaiseDtr();
    // What a wait that a signal interrupts asks whether to stop (Interrupt.h); null: never.
    void SetInterruptCheck(Interrupt::Check check) { interrupt_check_ = check; }

    // Serves n bytes from the read-ahead; what it lacks is read under `timeouts`. Done with
    // n; Partial or TimedOut when the time-outs ended it short; Failed (with the bytes that
    // came before) when the read failed or the line broke; Interrupted.
    IoResult Read(char* buffer, int n, const PortTimeouts& timeouts);
    // Done with n, or how it ended and the bytes of `data` that went out.
    IoResult Write(const char* data, std::size_t n);

    // Done with the bytes the port holds (the read-ahead and the system's input queue), or
    // Failed when the query fails (a port that is not open).
    IoResult Queued();
    // Waits until n bytes are queued (Done), or some are and the rest are late (Partial); the
    // count is what a read can take without waiting. Returns at once on a hang-up or error.
    // On a line already known to be broken, or a port that is not open, the first wait fails
    // at once and later ones sleep until the deadline and then fail, as long as a silent line
    // would keep the caller waiting.
    IoResult WaitForBytes(int n, const Deadline& deadline);
    // The wait for the first byte of an answer of n bytes: WaitForBytes(1, deadline), except
    // that where the system tells only of a whole read (Windows) the wait is one read of up to
    // n bytes, which ends once they are all here or the line goes quiet after some.
    IoResult WaitForAnswer(int n, const Deadline& deadline) {
        answer_length_ = n;
        const IoResult result = WaitForBytes(1, deadline);
        answer_length_ = 0;
        return result;
    }
    // The first byte of the read-ahead, without taking it; -1 when it holds none.
    int PeekAhead() const {
        return Held() > 0 ? static_cast<unsigned char>(ahead_[ahead_begin_]) : -1;
    }

    // The error number of what broke the line (a hang-up, a failed write), that of a port
    // which is not open, or 0 while the line is sound.
    int Fault() const { return IsOpen() ? fault_.load() : NotOpenError(); }

    // The read-ahead's size: a device's longest answer.
    static constexpr int kAheadSize = 1024;

  private:
    friend class Guardian;  // attaches its ledger, and reads the handle and the pending rest

    // Shared by the backends (SerialPort.cpp).
    IoResult WaitOnBrokenLine(const Deadline& deadline);
    // A failure: its error number is also left for LastSystemError().
    static IoResult FailedWith(int error, std::int32_t count = 0);
    int Held() const { return ahead_end_ - ahead_begin_; }
    // Results of Fill besides the count of bytes it read.
    static constexpr int kFillFailed = -1;  // the line broke (Fault says why)
    static constexpr int kFillInterrupted = -2;
    // Each backend's own: reads into the read-ahead what has arrived, up to its free room.
    // With `wake_on_arrival`, first waits until bytes arrive (where the system tells only
    // of a whole read, Windows, the `missing` ones, or an answer's as far as they come) or
    // `until` passes; without, first sleeps
    // until `until` (a hang-up ends the sleep), then takes what is there. Returns the count
    // read (0: nothing came), kFillFailed or kFillInterrupted.
    int Fill(const Deadline& until, bool wake_on_arrival, int missing);
    // The backend's read of n bytes under `timeouts`, past the read-ahead: as Read.
    IoResult ReadPort(char* buffer, int n, const PortTimeouts& timeouts);
    int SystemQueued();
    // Windows: one overlapped read; a failed read's line error cleared; the queued bytes
    // taken without waiting; a nap on the timer.
    int ReadOnce(char* buffer, int n, std::intptr_t event, const Deadline& deadline,
                 bool& interrupted);
    bool ClearLineError(int attempt);
    void ReportLineErrors();
    int TakeQueued();
    bool Nap(const Deadline& until) const;
    // Each backend's own: writes what the line takes of data[sent..n) until `deadline`,
    // advancing `sent`; and a sleep until the deadline, false when the caller is stopping.
    IoStatus WriteSome(const char* data, std::size_t n, std::size_t& sent,
                       const Deadline& deadline);
    bool SleepUntil(const Deadline& deadline) const;
    // The first cause to break the line is the one it keeps.
    void Break(int error) {
        int none = 0;
        fault_.compare_exchange_strong(none, error != 0 ? error : LineLostError());
    }
    // Ends the watch of a guardian, if any: the first step of each backend's Close.
    void EndWatch();

    static constexpr std::intptr_t kInvalid = -1;
    static constexpr std::size_t kMaxPending = 1024;  // the longest frame a device writes

    std::intptr_t handle_ = kInvalid;  // file descriptor, or HANDLE on Windows
    std::atomic<int> fault_{0};
    Interrupt::Check interrupt_check_ = nullptr;
    // Windows: the events of the read, the wait and the write, and the read side's nap timer.
    [[maybe_unused]] std::intptr_t read_event_ = kInvalid;
    [[maybe_unused]] std::intptr_t wait_event_ = kInvalid;
    [[maybe_unused]] std::intptr_t write_event_ = kInvalid;
    [[maybe_unused]] std::intptr_t timer_ = kInvalid;
    // Windows: line errors (framing, parity, overrun) a count of the queue cleared, kept
    // for the read that meets them.
    [[maybe_unused]] unsigned long line_errors_ = 0;
    // Windows: the length of the answer the wait under way is for (WaitForAnswer), or 0.
    [[maybe_unused]] int answer_length_ = 0;

    // Read side: the read-ahead, its bytes at [ahead_begin_, ahead_end_).
    char ahead_[kAheadSize] = {};
    int ahead_begin_ = 0;
    int ahead_end_ = 0;
    bool fault_reported_ = false;  // the first read after a fault fails at once
    // An end-of-file character came after the bytes held (a canonical line).
    bool end_mark_ = false;

    // Write side: fixed at SetTimeouts, and the rest of a frame a timed-out write began.
    PortTimeouts write_timeouts_;
    char pending_[kMaxPending] = {};
    std::size_t pending_length_ = 0;
    // While a guardian watches: where the writes tell it what of a frame is still owed
    // (PortLedger.h), and the guardian, whose watch ends when the port closes.
    PortLedger* ledger_ = nullptr;
    Guardian* guardian_ = nullptr;
};

}  // namespace Brivane::HardwareAPI::Platform
