// The end-effector force loop written in C++ against the library's Kalvar: the rate and CPU
// cost that the Python module can approach. Run by bench/compare.py.
//
//   kalvar_loop [--raw] PORT SECONDS LATENCY_FILE
//
// With --raw, the same exchange without the library, in the fewest system calls (write,
// poll, read): the floor that every way of talking to the device stands on.
//
// Prints one line of JSON: exchanges, wall seconds, process CPU seconds (user + system).
// LATENCY_FILE receives each exchange's latency in nanoseconds, as native 64-bit integers.
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "devices/Kalvar.h"
#include "io/SerialStream.h"

namespace {

// User + system time of the process, from the scheduler's exact count.
double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// One exchange straight on the file descriptor: the request, then the 25-byte answer.
float RawExchange(int fd) {
    static const std::uint8_t request[13] = {0x2A};
    if (::write(fd, request, sizeof request) != sizeof request) return 0.0f;
    std::uint8_t answer[25];
    std::size_t got = 0;
    while (got < sizeof answer) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 5000) <= 0) return 0.0f;
        const ssize_t n = ::read(fd, answer + got, sizeof answer - got);
        if (n <= 0) return 0.0f;
        got += static_cast<std::size_t>(n);
    }
    float z;
    std::memcpy(&z, answer + 9, sizeof z);
    return answer[0] == 0x2B ? z : 0.0f;
}

}  // namespace

int main(int argc, char** argv) {
    const bool raw = argc == 5 && std::strcmp(argv[1], "--raw") == 0;
    if (raw) {
        --argc;
        ++argv;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s [--raw] PORT SECONDS LATENCY_FILE\n", argv[0]);
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    namespace Devices = Brivane::HardwareAPI::Devices;

    Brivane::HardwareAPI::IO::SerialStream stream(argv[1], !raw);
    Devices::Kalvar arm(&stream, 5.0f);
    const Devices::Vec3 force{0.0f, 0.0f, 0.0f};
    int fd = -1;
    if (raw) {
        // The line as the device's side set it up: raw, 8 bits.
        fd = ::open(argv[1], O_RDWR | O_NOCTTY);
        if (fd < 0) {
            std::perror(argv[1]);
            return 1;
        }
        for (int i = 0; i < 100; ++i) RawExchange(fd);  // warm up
    } else {
        if (arm.device_wakeup().device_model_number != 4) {
            std::fprintf(stderr, "no Kalvar on %s\n", argv[1]);
            return 1;
        }
        for (int i = 0; i < 100; ++i) arm.end_effector_force(force);  // warm up
    }

    const auto duration = std::chrono::duration<double>(std::atof(argv[2]));
    std::vector<std::int64_t> latencies;
    latencies.reserve(200000);
    const double cpu_start = CpuSeconds();
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(duration);
    float checksum = 0.0f;  // keeps the answers in use
    for (;;) {
        const auto before = Clock::now();
        if (before >= end) break;
        checksum += raw ? RawExchange(fd) : arm.end_effector_force(force).first[2];
        latencies.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count());
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = CpuSeconds() - cpu_start;

    std::FILE* out = std::fopen(argv[3], "wb");
    if (out == nullptr || std::fwrite(latencies.data(), sizeof(std::int64_t), latencies.size(),
                                      out) != latencies.size()) {
        std::perror(argv[3]);
        return 1;
    }
    std::fclose(out);
    std::printf("{\"exchanges\": %zu, \"wall\": %.6f, \"cpu\": %.6f, \"checksum\": %g}\n",
                latencies.size(), wall, cpu, static_cast<double>(checksum));
    return 0;
}
