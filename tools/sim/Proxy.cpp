// The recording proxy: the real port opened as the library opens it, a pseudo-terminal for
// the program, every chunk relayed and written to the trace with its time. The port is read
// on a thread of its own, since the platform layer waits on one port at a time; each chunk is
// written to the trace before it is relayed, so that the trace keeps the order of cause and
// answer.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "Modes.h"
#include "Pty.h"
#include "Trace.h"
#include "platform/SerialPort.h"

namespace Brivane::Sim {

namespace {

namespace Platform = HardwareAPI::Platform;
using HardwareAPI::Deadline;
using Trace::Direction;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kChunk = 4096;
// Idle this long, or busy, this often, the trace goes to the file: brivane-trace --follow
// shows it as it comes.
constexpr int kFlushAfterMs = 100;

class Recorder {
  public:
    explicit Recorder(Trace::Writer& writer) : writer_(writer), start_(Clock::now()) {}

    // The trace's time 0 on the monotonic clock, in seconds: a servo's samples, whose time 0
    // is its epoch() on the same clock, line up with the trace by the difference.
    double Start() const {
        return std::chrono::duration<double>(start_.time_since_epoch()).count();
    }

    void Record(Direction direction, const std::uint8_t* data, std::size_t n) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto us =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
        writer_.Write(static_cast<std::uint64_t>(us), direction, data, n);
        if (us - flushed_us_ >= kFlushAfterMs * 1000) {
            writer_.Flush();
            flushed_us_ = us;
        }
        ++chunks_[direction == Direction::ToDevice];
        bytes_[direction == Direction::ToDevice] += n;
    }

    void Flush() {
        const std::lock_guard<std::mutex> lock(mutex_);
        writer_.Flush();
    }

    void Report() {
        const std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(stderr,
                     "brivane-sim: proxy: %zu bytes to the device in %zu chunks, %zu bytes "
                     "from it in %zu chunks\n",
                     bytes_[1], chunks_[1], bytes_[0], chunks_[0]);
    }

  private:
    Trace::Writer& writer_;
    const Clock::time_point start_;
    long long flushed_us_ = 0;  // when the trace last went to the file
    std::mutex mutex_;
    std::size_t chunks_[2] = {};
    std::size_t bytes_[2] = {};
};

// A file descriptor closed with its owner.
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

int RunProxy(const std::string& port_name, const std::string& record, bool overwrite,
             const sigset_t& wait_mask, const volatile std::sig_atomic_t& stop) {
    // The trace first, so that a file that must not be replaced leaves the port untouched.
    Trace::Writer writer;
    std::string problem;
    if (!writer.Open(record, overwrite, problem)) {
        std::fprintf(stderr, "brivane-sim: %s\n", problem.c_str());
        return 1;
    }
    Platform::SerialPort port;
    const std::int8_t code = port.Open(port_name.c_str());
    if (code != 1) {
        std::fprintf(stderr, "brivane-sim: cannot open %s (open code %d): %s\n", port_name.c_str(),
                     code, std::strerror(Platform::LastSystemError()));
        return 1;
    }
    port.SetTimeouts(Platform::PortTimeouts{0, 0, 0, 8, 100});
    const bool dtr = port.RaiseDtr();  // a pseudo-terminal has no modem lines

    writer.Comment("port: " + port_name);
    writer.Comment(std::string("settings: 115200 8N1, raw, exclusive, ") +
                   (dtr ? "DTR raised" : "no DTR (no modem lines)"));
    writer.Comment("start: " + Trace::UtcNow());
    Recorder recorder(writer);
    char monotonic[64];
    std::snprintf(monotonic, sizeof monotonic, "monotonic: %.6f", recorder.Start());
    writer.Comment(monotonic);
    writer.Flush();
    Pty pty;
    Fd lost_signal{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    // Wakes the device's thread from a relay that waits for a program that reads no more.
    Fd quit{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    if (lost_signal.fd < 0 || quit.fd < 0) Fail("eventfd");
    std::printf("%s\n", pty.Path().c_str());
    std::fflush(stdout);

    std::atomic<bool> done{false};
    std::atomic<int> lost{0};
    std::atomic<std::size_t> unrelayed{0};
    const auto lose = [&](int error) {
        int none = 0;
        lost.compare_exchange_strong(none, error != 0 ? error : EIO);
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(lost_signal.fd, &one, sizeof one);
    };

    std::thread from_device([&] {
        std::uint8_t chunk[kChunk];
        const Platform::PortTimeouts now{0, 0, 1, 0, 0};
        while (!done.load()) {
            const Platform::IoResult waited =
                port.WaitForBytes(1, Deadline::After(kFlushAfterMs / 1000.0));
            switch (waited.status) {
                case Platform::IoStatus::Done:
                case Platform::IoStatus::Partial: {
                    const int queued = port.Queued().count;
                    const int want = queued < 1                          ? 1
                                     : queued > static_cast<int>(kChunk) ? static_cast<int>(kChunk)
                                                                         : queued;
                    const Platform::IoResult read =
                        port.Read(reinterpret_cast<char*>(chunk), want, now);
                    const int got = read.count;
                    if (got > 0) {
                        recorder.Record(Direction::FromDevice, chunk,
                                        static_cast<std::size_t>(got));
                        const auto n = static_cast<std::size_t>(got);
                        const std::size_t relayed = WriteAll(pty.Master(), chunk, n, quit.fd);
                        if (relayed < n) {
                            unrelayed = n - relayed;
                            return;
                        }
                    } else if (read.status == Platform::IoStatus::Failed || port.Fault() != 0) {
                        lose(port.Fault() != 0 ? port.Fault() : read.error);
                        return;
                    }
                    break;
                }
                case Platform::IoStatus::Failed:
                    lose(port.Fault() != 0 ? port.Fault() : waited.error);
                    return;
                case Platform::IoStatus::TimedOut:
                case Platform::IoStatus::Interrupted:
                    break;
            }
        }
    });

    int status = 0;
    std::uint8_t chunk[kChunk];
    while (stop == 0) {
        pollfd fds[3] = {
            {pty.Master(), POLLIN, 0}, {pty.Watch(), POLLIN, 0}, {lost_signal.fd, POLLIN, 0}};
        const timespec wait{0, kFlushAfterMs * 1000000L};
        const int ready = ::ppoll(fds, 3, &wait, &wait_mask);
        if (ready < 0) {
            if (errno == EINTR) continue;
            Fail("ppoll");
        }
        if (ready == 0) recorder.Flush();
        if (fds[0].revents & POLLIN) {
            const ssize_t got = ::read(pty.Master(), chunk, sizeof chunk);
            if (got > 0) {
                recorder.Record(Direction::ToDevice, chunk, static_cast<std::size_t>(got));
                if (port.Write(reinterpret_cast<const char*>(chunk), static_cast<std::size_t>(got))
                        .status == Platform::IoStatus::Failed) {
                    lose(port.Fault());
                }
            }
        }
        if (fds[2].revents & POLLIN) {
            std::fprintf(stderr,
                         "brivane-sim: proxy: the port %s is gone (%s); %s holds every chunk "
                         "up to then\n",
                         port_name.c_str(), std::strerror(lost.load()), record.c_str());
            status = 1;
            break;
        }
        if ((fds[1].revents & POLLIN) && pty.CountUsers() > 0 && pty.Users() == 0) break;
    }
    done = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t woken = ::write(quit.fd, &one, sizeof one);
    from_device.join();
    if (stop != 0) std::fprintf(stderr, "brivane-sim: proxy: stopped (%s)\n", strsignal(stop));
    if (unrelayed > 0) {
        std::fprintf(stderr,
                     "brivane-sim: proxy: %zu bytes from the device were not passed on, as the "
                     "program read no more; the trace holds them\n",
                     unrelayed.load());
    }
    if (status != 0) writer.Comment("end: the port is gone");
    recorder.Report();
    if (!writer.Close(problem)) {
        std::fprintf(stderr, "brivane-sim: proxy: %s\n", problem.c_str());
        return 1;
    }
    std::fprintf(stderr, "brivane-sim: proxy: recorded in %s\n", record.c_str());
    return status;
}

}  // namespace Brivane::Sim
