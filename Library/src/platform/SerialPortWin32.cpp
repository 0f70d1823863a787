// Win32 backend of the serial port seam.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "../base/ErrorLine.h"
#include "../base/Interrupt.h"
#include "SerialPort.h"
#include "SystemError.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace Brivane::HardwareAPI::Platform {

namespace {

using Clock = Deadline::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// How often a wait asks the interrupt check when nobody wakes it (a program that sets a
// check but never calls Interrupt::Wake).
constexpr DWORD kInterruptCheckEvery = 20;  // ms
// The quiet after some bytes that ends a read short (the port's read interval): an answer's
// bytes follow each other far closer, so the wait for a whole answer wakes this long after
// a shorter one (a wrong code alone, a cut answer) rather than at its deadline.
constexpr DWORD kAnswerGap = 2;  // ms
// The line numbers the line-error lines give (one as a read clears the error, one as a count
// did): programs that match the lines know them, wherever the reporting code moves.
constexpr unsigned kLineErrorReadLine = 261;
constexpr unsigned kLineErrorCountLine = 448;

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Set by WakeWaits, for every wait of the process; reset by a wait that finds the check
// no longer asking to stop.
struct WakeEvent {
    HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~WakeEvent() {
        if (handle != nullptr) ::CloseHandle(handle);
    }
};
HANDLE TheWakeEvent() {
    static WakeEvent event;
    return event.handle;
}

HANDLE NewEvent() {
    return ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

DWORD MillisecondsLeft(const Deadline& deadline) {
    if (deadline.IsNever()) return INFINITE;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline.Remaining() +
                                                               std::chrono::microseconds(999));
    return static_cast<DWORD>(std::max<milliseconds::rep>(0, left.count()));
}

enum class Outcome { Done, TimedOut, Interrupted };

// Waits for `event` until `deadline`, asking the interrupt check `check` when woken and now
// and then.
Outcome WaitFor(HANDLE event, const Deadline& deadline, Interrupt::Check check) {
    const HANDLE wake = TheWakeEvent();
    const HANDLE handles[2] = {event, wake};
    const DWORD count = wake != nullptr ? 2 : 1;
    for (;;) {
        const DWORD slice = std::min(MillisecondsLeft(deadline), kInterruptCheckEvery);
        const DWORD woke = ::WaitForMultipleObjects(count, handles, FALSE, slice);
        if (woke == WAIT_OBJECT_0) return Outcome::Done;
        if (Interrupt::Poll(check)) return Outcome::Interrupted;
        if (woke == WAIT_OBJECT_0 + 1) ::ResetEvent(wake);  // a wake for an earlier stop
        if (woke == WAIT_FAILED || deadline.Expired()) return Outcome::TimedOut;
    }
}

}  // namespace

void WakeWaits() {
    const HANDLE wake = TheWakeEvent();
    if (wake != nullptr) ::SetEvent(wake);
}

int LastSystemError() {
    return static_cast<int>(::GetLastError());
}
void SetLastSystemError(int error_number) {
    ::SetLastError(static_cast<DWORD>(error_number));
}

// The text as the system has it, line break included.
bool SystemErrorText(int error_number, char* text, std::size_t size) {
    if (size == 0) return false;
    std::memset(text, 0, size);
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(error_number), 0, text, static_cast<DWORD>(size - 1), nullptr);
    return length != 0;
}

int TimedOutError() {
    return ERROR_TIMEOUT;
}
int NotOpenError() {
    return ERROR_INVALID_HANDLE;
}
// An unplugged device makes the driver fail calls with whatever it fails them with (access
// denied, bad command, operation aborted, not ready, general failure): the line keeps the
// one number that says what happened.
int LineLostError() {
    return ERROR_DEVICE_NOT_CONNECTED;
}
int BadValueError() {
    return ERROR_INVALID_DATA;
}

std::int8_t SerialPort::Open(const char* name) {
    if (name == nullptr || *name == '\0') {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return -1;
    }
    const std::string path = std::string("\\\\.\\") + name;
    // Overlapped, so that a read and a write on two threads never wait for each other.
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return ::GetLastError() == ERROR_FILE_NOT_FOUND ? -1 : -2;
    }
    // Behind \\.\ a name may open a volume, a disk or a file as well as a port, and what
    // is written would land there: only a port that gives its settings is kept, before
    // anything reaches it. The line names what GetCommState said of the handle.
    DCB settings{};
    settings.DCBlength = sizeof settings;
    const bool character_device = ::GetFileType(handle) == FILE_TYPE_CHAR;
    const bool readable = ::GetCommState(handle, &settings) != FALSE;
    if (!readable || !character_device) {
        const DWORD error = readable ? ERROR_INVALID_FUNCTION : ::GetLastError();
        ::CloseHandle(handle);
        ::SetLastError(error);
        return character_device ? -3 : -2;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    fault_.store(0);
    fault_reported_ = false;
    ahead_begin_ = ahead_end_ = 0;
    pending_length_ = 0;
    read_event_ = reinterpret_cast<std::intptr_t>(NewEvent());
    wait_event_ = reinterpret_cast<std::intptr_t>(NewEvent());
    write_event_ = reinterpret_cast<std::intptr_t>(NewEvent());
    // The read side's nap timer; without it the naps fall back to Sleep.
    timer_ = reinterpret_cast<std::intptr_t>(::CreateWaitableTimerExW(
        nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
    if (timer_ == 0) timer_ = kInvalid;
    if (read_event_ == 0 || wait_event_ == 0 || write_event_ == 0) {
        const DWORD error = ::GetLastError();
        Close();
        ::SetLastError(error);
        return -2;
    }

    // The line's format only: flow control, the DTR and RTS modes, the special characters
    // and the buffer limits stay as the port had them.
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    if (!::SetCommState(handle, &settings)) {
        const DWORD error = ::GetLastError();
        Close();
        ::SetLastError(error);
        return -5;
    }
    // Whatever a previous user left unread is no answer to this one's requests; nor are
    // the error flags its traffic raised.
    ::PurgeComm(handle, PURGE_RXCLEAR | PURGE_RXABORT);
    DWORD errors = 0;
    ::ClearCommError(handle, &errors, nullptr);
    line_errors_ = 0;
    return 1;
}

void SerialPort::Close() {
    EndWatch();
    if (IsOpen()) ::CloseHandle(AsHandle(handle_));
    handle_ = kInvalid;
    for (std::intptr_t* event : {&read_event_, &wait_event_, &write_event_, &timer_}) {
        if (*event != kInvalid && *event != 0) ::CloseHandle(AsHandle(*event));
        *event = kInvalid;
    }
    ahead_begin_ = ahead_end_ = 0;
    pending_length_ = 0;
}

namespace {

bool ApplyTimeouts(std::intptr_t handle, const PortTimeouts& timeouts) {
    COMMTIMEOUTS port{};
    port.ReadIntervalTimeout = timeouts.read_interval;
    port.ReadTotalTimeoutMultiplier = timeouts.read_total_per_byte;
    port.ReadTotalTimeoutConstant = timeouts.read_total_constant;
    port.WriteTotalTimeoutMultiplier = timeouts.write_total_per_byte;
    port.WriteTotalTimeoutConstant = timeouts.write_total_constant;
    return ::SetCommTimeouts(AsHandle(handle), &port) != FALSE;
}

}  // namespace

// The port keeps the write time-outs, and of the read ones only an interval: a read ends
// when the bytes it asks for are all here, or once some came and the line stayed quiet for
// kAnswerGap, never without a byte; the reads end at their own deadlines (CancelIoEx). Wine's
// overlapped reads keep the read time-outs as Windows' blocking ones do not, and a wait's
// read must end when the bytes land. The interval lets an answer's wait ask for the whole
// answer in one read and still wake for a shorter one.
bool SerialPort::SetTimeouts(const PortTimeouts& timeouts) {
    write_timeouts_ = timeouts;
    PortTimeouts port{};
    port.read_interval = kAnswerGap;
    port.write_total_per_byte = timeouts.write_total_per_byte;
    port.write_total_constant = timeouts.write_total_constant;
    return IsOpen() && ApplyTimeouts(handle_, port);
}

bool SerialPort::RaiseDtr() {
    return IsOpen() && ::EscapeCommFunction(AsHandle(handle_), SETDTR) != FALSE;
}

// One overlapped read into `buffer`, waited on until `deadline` and cancelled there: the count,
// or -1 with the system's error. The cancelled read is waited for before its buffer is reused.
int SerialPort::ReadOnce(char* buffer, int n, std::intptr_t event, const Deadline& deadline,
                         bool& interrupted) {
    const HANDLE port = AsHandle(handle_);
    OVERLAPPED overlapped{};
    overlapped.hEvent = AsHandle(event);
    Outcome outcome = Outcome::Done;
    if (!::ReadFile(port, buffer, static_cast<DWORD>(n), nullptr, &overlapped)) {
        if (::GetLastError() != ERROR_IO_PENDING) return -1;
        outcome = WaitFor(overlapped.hEvent, deadline, interrupt_check_);
        if (outcome != Outcome::Done) ::CancelIoEx(port, &overlapped);
    }
    DWORD got = 0;
    const bool done = ::GetOverlappedResult(port, &overlapped, &got, TRUE) != FALSE;
    interrupted = outcome == Outcome::Interrupted;
    if (!done && (outcome == Outcome::Done || ::GetLastError() != ERROR_OPERATION_ABORTED)) {
        return -1;
    }
    return static_cast<int>(got);
}

// A read that failed: a line error (the driver aborts reads on a framing, parity or overrun
// error until it is cleared) is cleared and reported, and the read goes on; a failure that
// stays breaks the line with the system's number. True when the read goes on.
bool SerialPort::ClearLineError(int attempt) {
    const DWORD error = ::GetLastError();
    DWORD errors = 0;
    COMSTAT status{};
    const bool cleared = ::ClearCommError(AsHandle(handle_), &errors, &status) != FALSE;
    errors |= line_errors_;  // those an earlier count cleared go in the same line
    line_errors_ = 0;
    if (ReadGoesOnAfterFailure(attempt, cleared)) {
        ReportError(__FILE__, kLineErrorReadLine, static_cast<int>(error),
                    "line error on the port, cleared (0x%lx)", static_cast<unsigned long>(errors));
        return true;
    }
    Break(static_cast<int>(error));
    ::SetLastError(error);
    return false;
}

// The time-outs as a Windows port has them: n bytes, or a quiet interval after a byte, or
// the total limit.
IoResult SerialPort::ReadPort(char* buffer, int n, const PortTimeouts& timeouts) {
    const double ms = static_cast<double>(timeouts.read_total_per_byte) * n +
                      static_cast<double>(timeouts.read_total_constant);
    const Deadline total = ms > 0 ? Deadline::After(ms / 1000.0) : Deadline::Never();
    const auto interval = milliseconds(timeouts.read_interval);
    Deadline::Clock::time_point last_byte{};
    int got = 0;
    for (int attempt = 0; got < n;) {
        // What has come is read at once; otherwise one byte is waited for.
        const int queued = SystemQueued();
        Deadline until = Deadline::Never();
        int want = std::min(n - got, std::max(queued, 1));
        if (queued <= 0) {
            until = total;
            if (got > 0 && interval.count() > 0) {
                const Deadline gap = Deadline::At(last_byte + interval);
                if (until.IsNever() || gap.Remaining() < until.Remaining()) until = gap;
            }
            if (until.Expired()) break;
            want = 1;
        }
        bool interrupted = false;
        const int count =
            queued < 0 ? -1 : ReadOnce(buffer + got, want, read_event_, until, interrupted);
        if (count < 0) {
            if (ClearLineError(attempt++)) continue;
            return FailedWith(LastSystemError(), got);
        }
        attempt = 0;
        got += count;
        if (count > 0) {
            last_byte = Deadline::Clock::now();
            ReportLineErrors();
        }
        if (interrupted) return IoResult{IoStatus::Interrupted, got, 0};
        if (count == 0 && until.Expired()) break;
    }
    return IoResult{IoStatus::Done, got, 0};
}

int SerialPort::Fill(const Deadline& until, bool wake_on_arrival, int missing) {
    int room = kAheadSize - ahead_end_;
    if (!wake_on_arrival) {  // a nap, then what has come
        if (!Nap(until)) return kFillInterrupted;
        const int queued = SystemQueued();
        if (queued <= 0) {
            if (queued == 0) return 0;
            Break(static_cast<int>(::GetLastError()));
            return kFillFailed;
        }
        room = std::min(room, queued);
    } else if (answer_length_ > 0) {
        // An answer's wait reads the whole answer, queued or not: one read that completes
        // when it is all here, or at once when it already is, without counting the queue.
        room = std::min(room, std::max(missing, answer_length_));
    } else {
        // What has come is taken at once. Otherwise a read of the missing bytes completes as
        // they land (the wake is the driver's), and what came with them is taken after it.
        const int queued = SystemQueued();
        wake_on_arrival = queued <= 0;
        room = std::min(room, wake_on_arrival ? missing : queued);
    }
    int taken = 0;
    for (int attempt = 0;;) {
        bool interrupted = false;
        const int got = ReadOnce(ahead_ + ahead_end_, room, wait_event_,
                                 wake_on_arrival ? until : Deadline::Never(), interrupted);
        if (got > 0) {
            ahead_end_ += got;
            taken += got;
            room -= got;
            attempt = 0;
            ReportLineErrors();
        }
        if (interrupted) return kFillInterrupted;
        if (got > 0 && wake_on_arrival) {
            // A quiet line ended the read short: an answer's wait hands over what came, any
            // other keeps reading until its bytes are all here, as with no interval.
            if (room > 0 && answer_length_ == 0 && !until.Expired()) continue;
            // A whole answer needs nothing after it: what follows stays queued for later.
            if (room == 0 && answer_length_ > 0) return taken;
            return taken + TakeQueued();
        }
        if (taken > 0 && got == 0 && until.Expired()) return taken + TakeQueued();
        if (got > 0 || (got == 0 && until.Expired())) return got;
        // Such a read ends without a byte only at its deadline; before it, the line is gone.
        if (got == 0) {
            Break(LineLostError());
            return kFillFailed;
        }
        if (!ClearLineError(attempt++)) return kFillFailed;
    }
}

// What the system holds, read into the read-ahead's free room without waiting (a read of
// queued bytes completes at once): the count. Under Wine every read that has to wait is a
// round trip through the wineserver, so the rest of an answer is not waited for apart.
int SerialPort::TakeQueued() {
    const int queued = std::min(SystemQueued(), kAheadSize - ahead_end_);
    if (queued <= 0) return 0;
    bool interrupted = false;
    const int got =
        ReadOnce(ahead_ + ahead_end_, queued, wait_event_, Deadline::Never(), interrupted);
    if (got <= 0) return 0;  // a failure shows again on the next read, which clears it
    ahead_end_ += got;
    ReportLineErrors();
    return got;
}

bool SerialPort::Nap(const Deadline& until) const {
    if (until.Expired()) return !Interrupt::Poll(interrupt_check_);
    const auto length = until.Remaining();
    if (timer_ != kInvalid) {
        LARGE_INTEGER due{};  // negative: relative, in 100 ns units
        due.QuadPart = -std::max<LONGLONG>(
            1, std::chrono::duration_cast<std::chrono::nanoseconds>(length).count() / 100);
        if (::SetWaitableTimer(AsHandle(timer_), &due, 0, nullptr, nullptr, FALSE)) {
            return WaitFor(AsHandle(timer_), Deadline::Never(), interrupt_check_) !=
                   Outcome::Interrupted;
        }
    }
    return SleepUntil(until);
}

// The write time-outs bound each WriteFile, and the frame's deadline cancels it.
IoStatus SerialPort::WriteSome(const char* data, std::size_t n, std::size_t& sent,
                               const Deadline& deadline) {
    const HANDLE port = AsHandle(handle_);
    OVERLAPPED overlapped{};
    overlapped.hEvent = AsHandle(write_event_);
    Outcome outcome = Outcome::Done;
    if (!::WriteFile(port, data + sent, static_cast<DWORD>(n - sent), nullptr, &overlapped)) {
        if (::GetLastError() != ERROR_IO_PENDING) return IoStatus::Failed;
        outcome = WaitFor(overlapped.hEvent, deadline, interrupt_check_);
        if (outcome != Outcome::Done) ::CancelIoEx(port, &overlapped);
    }
    DWORD count = 0;
    const bool done = ::GetOverlappedResult(port, &overlapped, &count, TRUE) != FALSE;
    sent += count;
    if (!done && (outcome == Outcome::Done || ::GetLastError() != ERROR_OPERATION_ABORTED)) {
        return IoStatus::Failed;
    }
    if (outcome == Outcome::Interrupted) return IoStatus::Interrupted;
    if (sent == n) return IoStatus::Done;
    ::SetLastError(ERROR_TIMEOUT);
    return IoStatus::TimedOut;
}

// Sleeps until the deadline (for ever when it has none), asking now and then whether the
// caller is stopping. False when it is.
bool SerialPort::SleepUntil(const Deadline& deadline) const {
    constexpr DWORD kSlice = 20;  // ms between interrupt checks
    for (;;) {
        DWORD ms = kSlice;
        if (!deadline.IsNever()) {
            if (deadline.Expired()) return true;
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline.Remaining() + microseconds(999));
            ms = static_cast<DWORD>(std::min<milliseconds::rep>(kSlice, left.count()));
        }
        ::Sleep(ms);
        if (Interrupt::Poll(interrupt_check_)) return false;
    }
}

// Counting the queue clears the line's error flags: they are kept for the read that meets
// the bytes they came with.
int SerialPort::SystemQueued() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!IsOpen() || !::ClearCommError(AsHandle(handle_), &errors, &status)) return -1;
    line_errors_ |= errors;
    return static_cast<int>(status.cbInQue);
}

// One line for the errors a count cleared, once a read has taken bytes after them.
void SerialPort::ReportLineErrors() {
    if (line_errors_ == 0) return;
    ReportError(__FILE__, kLineErrorCountLine, BadValueError(),
                "line error on the port, cleared (0x%lx)", line_errors_);
    line_errors_ = 0;
}

}  // namespace Brivane::HardwareAPI::Platform
