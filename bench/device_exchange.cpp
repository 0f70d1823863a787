// One arm-sized exchange (13-byte request, 1-byte header and 24-byte answer) through Device
// against a pseudo-terminal answered by a child process, compared with the same exchange
// waiting by spinning on the queued-byte count. Run twice: a device that answers at once,
// and one that takes 1 ms as a USB serial adapter does.
//
//   device_exchange [exchanges per variant, default 20000; a tenth of that for the 1 ms device]
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "devices/Device.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;

namespace {

constexpr int kRequest = 13;
constexpr int kPayload = 24;
constexpr std::uint8_t kAnswerCode = 0x2B;

double Seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The device: answers every 13-byte request with the header and 24 bytes after `delay`,
// until hang-up.
[[noreturn]] void Answer(int master, long delay_us) {
    const timespec delay{0, delay_us * 1000};
    std::uint8_t request[kRequest];
    std::uint8_t answer[1 + kPayload] = {kAnswerCode};
    for (int i = 1; i <= kPayload; ++i) answer[i] = static_cast<std::uint8_t>(i);
    for (;;) {
        for (int got = 0; got < kRequest;) {
            const ssize_t n =
                ::read(master, request + got, static_cast<std::size_t>(kRequest - got));
            if (n <= 0) _exit(0);
            got += static_cast<int>(n);
        }
        if (delay_us > 0) nanosleep(&delay, nullptr);
        if (::write(master, answer, sizeof answer) != static_cast<ssize_t>(sizeof answer)) _exit(1);
    }
}

// The waiting the exchange had before: whole-second calendar clock, a busy loop on the
// queued-byte count.
bool SpinRead(Devices::Device& device, int n) {
    const std::time_t start = std::time(nullptr);
    while (device.stream->Available() < n) {
        if (device.timeout > 0 &&
            std::difftime(std::time(nullptr), start) > static_cast<double>(device.timeout)) {
            return false;
        }
    }
    device.stream->read(reinterpret_cast<char*>(device.read_buffer.get()), n);
    return device.stream->good();
}

bool SpinExchange(Devices::Device& device) {
    device.send_request(kRequest);
    if (!SpinRead(device, 1) || device.read_buffer[0] != kAnswerCode) return false;
    return SpinRead(device, kPayload);
}

bool PollExchange(Devices::Device& device) {
    return device.exchange(kRequest, {kAnswerCode}, kPayload);
}

struct Result {
    double per_second;
    double cpu_us;
    double wall_us;
    int failed;
};

template <typename Exchange>
Result Run(Devices::Device& device, int count, Exchange&& exchange) {
    for (int i = 0; i < count / 20; ++i) exchange(device);  // warm up
    int failed = 0;
    const double wall = Seconds(CLOCK_MONOTONIC);
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < count; ++i) failed += exchange(device) ? 0 : 1;
    const double cpu_taken = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
    const double wall_taken = Seconds(CLOCK_MONOTONIC) - wall;
    return {count / wall_taken, cpu_taken / count * 1e6, wall_taken / count * 1e6, failed};
}

void PrintRow(const char* wait, long delay_us, const Result& result) {
    std::printf("%-22s %9ld %13.0f %13.2f %13.2f %7d\n", wait, delay_us, result.per_second,
                result.cpu_us, result.wall_us, result.failed);
}

// Both variants against one device; false when it could not be set up or an exchange failed.
bool Scenario(long delay_us, int count) {
    int master = -1, slave = -1;
    char path[128] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, path, &raw, nullptr) != 0) {
        std::perror("openpty");
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        ::close(slave);
        Answer(master, delay_us);
    }
    ::close(master);

    int failed = 0;
    {
        IO::SerialStream stream(path, true);
        ::close(slave);  // the stream has its own descriptor
        Devices::Device device(&stream, 1.0f);
        for (int i = 0; i < kRequest; ++i) device.write_buffer[i] = static_cast<std::uint8_t>(i);

        const Result poll = Run(device, count, PollExchange);
        const Result spin = Run(device, count, SpinExchange);
        PrintRow("poll + nap (Device)", delay_us, poll);
        PrintRow("spin on Available()", delay_us, spin);
        failed = poll.failed + spin.failed;
    }  // closing the stream hangs up the line: the child ends

    int status = 0;
    if (waitpid(child, &status, 0) != child) kill(child, SIGKILL);
    return failed == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (count < 10) {
        std::fprintf(stderr, "usage: %s [exchanges per variant, at least 10]\n", argv[0]);
        return 2;
    }
    std::printf("exchange: %d-byte request, %d-byte answer; process CPU time of the host side\n",
                kRequest, 1 + kPayload);
    std::printf("%-22s %9s %13s %13s %13s %7s\n", "wait", "answer us", "exchanges/s", "CPU us/exch",
                "wall us/exch", "failed");
    const bool at_once = Scenario(0, count);
    const bool late = Scenario(1000, count / 10);
    return at_once && late ? 0 : 1;
}
