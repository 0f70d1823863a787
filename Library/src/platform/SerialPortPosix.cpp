// termios backend of the serial port seam.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "../base/Interrupt.h"
#include "PortLedger.h"
#include "SerialPort.h"
#include "SystemError.h"

namespace Brivane::HardwareAPI::Platform {

namespace {

using Clock = Deadline::Clock;
using std::chrono::milliseconds;

constexpr int kPollInterrupted = -2;

// Waits for `events` on fd until `deadline`. Returns the revents, 0 on time-out, -1 on error,
// kPollInterrupted when a signal came and the interrupt check `check` asked to stop. Hang-up and
// error are reported even when `events` is 0; a negative fd makes it a plain sleep.
int PollUntil(int fd, short events, const Deadline& deadline, Interrupt::Check check) {
    pollfd entry{fd, events, 0};
    for (;;) {
        timespec wait{};
        if (!deadline.IsNever()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.Remaining());
            wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        const int ready = ::ppoll(&entry, 1, deadline.IsNever() ? nullptr : &wait, nullptr);
        if (ready >= 0) return ready == 0 ? 0 : entry.revents;
        if (errno != EINTR) return -1;
        if (Interrupt::Poll(check)) return kPollInterrupted;
    }
}

bool HungUp(int fd) {
    pollfd entry{fd, 0, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP);
}

// Closes a descriptor that will not be kept and returns `code`, with `error` for the caller.
std::int8_t FailOpen(int fd, int error, std::int8_t code) {
    ::close(fd);
    errno = error;
    return code;
}

Deadline TotalDeadline(std::uint32_t per_byte, std::uint32_t constant, std::size_t n) {
    const double ms = static_cast<double>(per_byte) * static_cast<double>(n) + constant;
    return Deadline::After(ms / 1000.0);
}

}  // namespace

// A signal interrupts the wait's ppoll itself.
void WakeWaits() {}

int LastSystemError() {
    return errno;
}
void SetLastSystemError(int error_number) {
    errno = error_number;
}

bool SystemErrorText(int error_number, char* text, std::size_t size) {
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* message = ::strerror_r(error_number, text, size);
    if (message == nullptr || *message == '\0') return false;
    if (message != text) std::snprintf(text, size, "%s", message);
    return true;
}

int TimedOutError() {
    return ETIMEDOUT;
}
int NotOpenError() {
    return EBADF;
}
int LineLostError() {
    return EIO;
}
int BadValueError() {
    return EDOM;
}

std::int8_t SerialPort::Open(const char* name) {
    if (name == nullptr || *name == '\0') {
        errno = ENOENT;
        return -1;
    }
    // A bare name such as ttyUSB0 lives in /dev; anything with a slash is a path already.
    const std::string path = std::strchr(name, '/') ? name : std::string("/dev/") + name;

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? -1 : -2;

    // A file, a disk or a FIFO opens read-write as well as a port does, and anything written
    // to it would land in it: only a terminal is kept, before anything reaches it.
    termios settings{};
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) return FailOpen(fd, ENOTTY, -2);
    if (::tcgetattr(fd, &settings) != 0) return FailOpen(fd, errno, -3);

    // TIOCEXCL keeps other users out but not root; the lock keeps out everyone, this
    // process included.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return FailOpen(fd, errno == EWOULDBLOCK ? EBUSY : errno, -2);
    }
    ::ioctl(fd, TIOCEXCL);
    handle_ = fd;
    fault_.store(0);
    fault_reported_ = false;
    ahead_begin_ = ahead_end_ = 0;
    end_mark_ = false;
    pending_length_ = 0;

    // Raw binary line, as a Windows port always is. Hardware flow control (CRTSCTS) stays
    // as the port had it. Software flow control does not: every fresh Linux tty starts with
    // IXON, which would swallow the 0x11 and 0x13 bytes that binary frames carry.
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IUCLC | IMAXBEL | IXON | IXOFF | IXANY);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    // With VMIN 0 a non-blocking read returns 0 on a quiet line, the same as on a hang-up;
    // with VMIN 1 it fails with EAGAIN instead, so 0 means only a hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0) {
        const int error = errno;
        Close();
        errno = error;
        return -5;
    }
    // Whatever a previous user left unread is no answer to this one's requests.
    ::tcflush(fd, TCIFLUSH);
    return 1;
}

void SerialPort::Close() {
    EndWatch();
    if (!IsOpen()) return;
    // Exclusive mode outlives this descriptor while anyone else holds the line: cleared, so
    // that this user can open it again.
    ::ioctl(static_cast<int>(handle_), TIOCNXCL);
    ::close(static_cast<int>(handle_));  // also drops the lock
    handle_ = kInvalid;
    ahead_begin_ = ahead_end_ = 0;
    end_mark_ = false;
    pending_length_ = 0;
}

// The time-outs are kept here and applied by each read and write itself: nothing can fail.
bool SerialPort::SetTimeouts(const PortTimeouts& timeouts) {
    write_timeouts_ = timeouts;
    return true;
}

bool SerialPort::RaiseDtr() {
    int lines = TIOCM_DTR;
    return IsOpen() && ::ioctl(static_cast<int>(handle_), TIOCMBIS, &lines) == 0;
}

IoResult SerialPort::ReadPort(char* buffer, int n, const PortTimeouts& timeouts) {
    const int fd = static_cast<int>(handle_);
    const Deadline total = TotalDeadline(timeouts.read_total_per_byte, timeouts.read_total_constant,
                                         static_cast<std::size_t>(n));
    const auto interval = milliseconds(timeouts.read_interval);
    Clock::time_point last_byte{};
    int got = 0;
    while (got < n) {
        const ssize_t count = ::read(fd, buffer + got, static_cast<std::size_t>(n - got));
        if (count > 0) {
            got += static_cast<int>(count);
            last_byte = Clock::now();
            continue;
        }
        if (count == 0) {  // hung up, or an end-of-file character: return what came
            if (!HungUp(fd)) break;
            Break(LineLostError());
            return FailedWith(Fault(), got);
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            const int error = errno;
            if (error == EIO) Break(EIO);
            return FailedWith(error, got);
        }

        Deadline until = total;
        if (got > 0 && interval.count() > 0) {
            const Deadline gap = Deadline::At(last_byte + interval);
            if (until.IsNever() || gap.Remaining() < until.Remaining()) until = gap;
        }
        if (until.Expired()) break;
        const int events = PollUntil(fd, POLLIN, until, interrupt_check_);
        if (events == kPollInterrupted) return IoResult{IoStatus::Interrupted, got, 0};
        if (events < 0) return FailedWith(errno, got);
        if (events != 0 && !(events & POLLIN)) {  // hang-up or error without data
            Break(LineLostError());
            return FailedWith(Fault(), got);
        }
    }
    return IoResult{IoStatus::Done, got, 0};
}

IoStatus SerialPort::WriteSome(const char* data, std::size_t n, std::size_t& sent,
                               const Deadline& deadline) {
    const int fd = static_cast<int>(handle_);
    while (sent < n) {
        // A watching guardian learns what of the frame is still owed after each write.
        LedgerBeginWrite(ledger_);
        const ssize_t count = ::write(fd, data + sent, n - sent);
        if (count > 0) sent += static_cast<std::size_t>(count);
        LedgerEndWrite(ledger_, count > 0, data + sent, n - sent);
        if (count > 0) continue;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno != EAGAIN) return IoStatus::Failed;
        if (deadline.Expired()) {
            errno = ETIMEDOUT;
            return IoStatus::TimedOut;
        }
        const int events = PollUntil(fd, POLLOUT, deadline, interrupt_check_);
        if (events == kPollInterrupted) return IoStatus::Interrupted;
        if (events < 0) return IoStatus::Failed;
        if (events & (POLLERR | POLLHUP | POLLNVAL)) {
            errno = EIO;
            return IoStatus::Failed;
        }
    }
    return IoStatus::Done;
}

int SerialPort::SystemQueued() {
    int queued = 0;
    if (!IsOpen() || ::ioctl(static_cast<int>(handle_), FIONREAD, &queued) != 0) return -1;
    return queued;
}

bool SerialPort::SleepUntil(const Deadline& deadline) const {
    return PollUntil(-1, 0, deadline, interrupt_check_) != kPollInterrupted;
}

int SerialPort::Fill(const Deadline& until, bool wake_on_arrival, int) {
    const int fd = static_cast<int>(handle_);
    // A nap polls for nothing, which still wakes on a hang-up; then the read below tells.
    const int revents = PollUntil(fd, wake_on_arrival ? POLLIN : 0, until, interrupt_check_);
    if (revents == kPollInterrupted) return kFillInterrupted;
    if (revents < 0) {
        Break(errno);
        return kFillFailed;
    }
    if (wake_on_arrival && revents == 0) return 0;  // nothing came in time
    for (;;) {
        const ssize_t count =
            ::read(fd, ahead_ + ahead_end_, static_cast<std::size_t>(kAheadSize - ahead_end_));
        if (count > 0) {
            ahead_end_ += static_cast<int>(count);
            return static_cast<int>(count);
        }
        if (count < 0 && errno == EINTR) continue;
        // 0: hung up, or an end-of-file character, which takes nothing.
        if (count == 0 && !HungUp(fd)) {
            end_mark_ = true;
            return 0;
        }
        if (count < 0 && errno == EAGAIN && !(revents & (POLLERR | POLLHUP | POLLNVAL))) {
            return 0;
        }
        // Hung up, or the other end of the line is gone (EIO).
        Break(count == 0 || errno == EAGAIN || errno == EIO ? LineLostError() : errno);
        return kFillFailed;
    }
}

}  // namespace Brivane::HardwareAPI::Platform
