// Win32 backend of the serial port seam.
#include <windows.h>
// after windows.h, which it needs
#include <timeapi.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "../Interrupt.h"
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

// One byte at 115200 baud, 8N1: ten bits on the wire.
constexpr microseconds kByteWireTime{87};
// The shortest nap, and the longest one a quiet line grows to: an answer is noticed within
// a millisecond of its arrival while a wait is young, within a few once the line has been
// quiet for a while.
constexpr microseconds kMinimumNap{1000};
constexpr microseconds kLongestNap{4000};
// A quiet stretch after which each nap also asks whether the caller is stopping.
constexpr microseconds kInterruptCheckEvery{4000};

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// A nap of at least `length` or until the deadline, whichever is sooner. With a high-resolution
// timer it lasts about `length`; without one (Windows before 10 1803) Sleep under a 1 ms
// system timer period does.
class Napper {
  public:
    explicit Napper(HANDLE timer) : timer_(timer) {}  // null: no high-resolution timer
    ~Napper() {
        if (period_raised_) ::timeEndPeriod(1);
    }
    Napper(const Napper&) = delete;
    Napper& operator=(const Napper&) = delete;

    void Nap(Clock::duration length, const Deadline& deadline) {
        if (!deadline.IsNever()) length = std::min(length, deadline.Remaining());
        if (timer_ != nullptr) {
            LARGE_INTEGER due{};  // negative: relative, in 100 ns units
            due.QuadPart = -std::max<LONGLONG>(
                1, std::chrono::duration_cast<std::chrono::nanoseconds>(length).count() / 100);
            if (::SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) &&
                ::WaitForSingleObject(timer_, INFINITE) == WAIT_OBJECT_0) {
                return;
            }
        }
        if (!period_raised_) period_raised_ = ::timeBeginPeriod(1) == TIMERR_NOERROR;
        const auto ms = std::chrono::duration_cast<milliseconds>(length + microseconds(999));
        ::Sleep(static_cast<DWORD>(std::max<milliseconds::rep>(1, ms.count())));
    }

  private:
    HANDLE timer_;
    bool period_raised_ = false;
};

}  // namespace

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
    const HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
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
    known_queued_ = 0;
    pending_length_ = 0;
    // The read side's timer; without it the naps fall back to Sleep.
    if (timer_ == kInvalid) {
        const HANDLE timer = ::CreateWaitableTimerExW(
            nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (timer != nullptr) timer_ = reinterpret_cast<std::intptr_t>(timer);
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
    return 1;
}

void SerialPort::Close() {
    if (timer_ != kInvalid) {
        ::CloseHandle(AsHandle(timer_));
        timer_ = kInvalid;
    }
    if (!IsOpen()) return;
    ::CloseHandle(AsHandle(handle_));
    handle_ = kInvalid;
    known_queued_ = 0;
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

// The port keeps the time-outs: its writes run under the write time-outs given here.
bool SerialPort::SetTimeouts(const PortTimeouts& timeouts) {
    write_timeouts_ = timeouts;
    return IsOpen() && ApplyTimeouts(handle_, timeouts);
}

bool SerialPort::RaiseDtr() {
    return IsOpen() && ::EscapeCommFunction(AsHandle(handle_), SETDTR) != FALSE;
}

int SerialPort::Read(char* buffer, int n, const PortTimeouts& timeouts) {
    if (!ApplyTimeouts(handle_, timeouts)) return -1;
    DWORD got = 0;
    if (!::ReadFile(AsHandle(handle_), buffer, static_cast<DWORD>(n), &got, nullptr)) {
        const DWORD error = ::GetLastError();
        Break(LineLostError());
        ::SetLastError(error);
        return -2;
    }
    known_queued_ = std::max(0, known_queued_ - static_cast<int>(got));
    return static_cast<int>(got);
}

// The write time-outs set at open bound each WriteFile; a short count is their running out.
WriteResult SerialPort::WriteSome(const char* data, std::size_t n, std::size_t& sent,
                                  const Deadline&) {
    DWORD count = 0;
    if (!::WriteFile(AsHandle(handle_), data + sent, static_cast<DWORD>(n - sent), &count,
                     nullptr)) {
        return WriteResult::Failed;
    }
    sent += count;
    if (sent == n) return WriteResult::Written;
    ::SetLastError(ERROR_TIMEOUT);
    return WriteResult::TimedOut;
}

// Sleeps until the deadline (for ever when it has none), asking now and then whether the
// caller is stopping. False when it is.
bool SerialPort::SleepUntil(const Deadline& deadline) {
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
        if (Interrupt::Poll()) return false;
    }
}

int SerialPort::Queued() const {
    DWORD errors = 0;
    COMSTAT status{};
    if (!IsOpen() || !::ClearCommError(AsHandle(handle_), &errors, &status)) return -1;
    known_queued_ = static_cast<int>(status.cbInQue);
    return known_queued_;
}

// WaitCommEvent would hold up the handle's other calls (it is not opened for overlapped I/O),
// and Wine on a pseudo-terminal refuses it: the wait counts the queue and naps in between.
WaitResult SerialPort::WaitForBytes(int n, const Deadline& deadline) const {
    if (Fault() != 0) return WaitOnBrokenLine(deadline);
    if (known_queued_ >= n) return WaitResult::Ready;  // counted before: no need to ask
    Napper napper(timer_ != kInvalid ? AsHandle(timer_) : nullptr);
    const Clock::time_point start = Clock::now();
    Clock::time_point next_interrupt_check = start + kInterruptCheckEvery;
    int before = -1;
    for (;;) {
        const int queued = Queued();
        if (queued < 0) {  // the handle is open: the device went away
            Break(LineLostError());
            fault_reported_ = true;
            ::SetLastError(static_cast<DWORD>(Fault()));
            return WaitResult::Failed;
        }
        if (queued >= n) return WaitResult::Ready;
        // A queue that stays short after a nap is handed over rather than waited on: the
        // driver's buffer may be full, and only a read makes room.
        if (queued > 0 && queued == before) return WaitResult::Partial;
        if (deadline.Expired()) {
            ::SetLastError(ERROR_TIMEOUT);
            return WaitResult::TimedOut;
        }

        const Clock::time_point now = Clock::now();
        Clock::duration nap;
        if (queued > 0) {  // arriving: about the wire time of the missing bytes
            nap = std::max<Clock::duration>(kByteWireTime * (n - queued), kMinimumNap);
        } else {  // quiet: a sixteenth of the quiet so far, within the bounds
            nap = std::clamp<Clock::duration>((now - start) / 16, kMinimumNap, kLongestNap);
        }
        before = queued;
        if (now >= next_interrupt_check) {
            if (Interrupt::Poll()) return WaitResult::Interrupted;
            next_interrupt_check = now + kInterruptCheckEvery;
        }
        napper.Nap(nap, deadline);
    }
}

}  // namespace Brivane::HardwareAPI::Platform
