// The floor of a servo's timing: a bare thread sleeping to absolute deadlines at a fixed
// rate, with the servo's own sleep and nothing else, no I/O. Its lateness (wake-up time past
// the deadline) is what the system gives any periodic thread here.
//
//   deadline_floor RATE SECONDS
//
// Prints one line of JSON: periods, lateness p50, p99 and max in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/ServoClock.h"

using namespace Brivane::HardwareAPI;
using Clock = Deadline::Clock;

int main(int argc, char** argv) {
    const double rate = argc > 1 ? std::atof(argv[1]) : 1000.0;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 5.0;
    if (!(rate > 0) || !(seconds > 0)) {
        std::fprintf(stderr, "usage: deadline_floor RATE SECONDS\n");
        return 2;
    }
    const auto count = static_cast<std::size_t>(rate * seconds);
    std::vector<double> late(count);
    std::thread thread([&] {
        Platform::ServoClock clock;
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
        Clock::time_point deadline = Clock::now() + period;
        for (std::size_t i = 0; i < count; ++i, deadline += period) {
            clock.SleepUntil(deadline);
            late[i] = std::chrono::duration<double, std::micro>(Clock::now() - deadline).count();
        }
    });
    thread.join();
    std::sort(late.begin(), late.end());
    const auto at = [&](double fraction) {
        return late[std::min(count - 1, static_cast<std::size_t>(fraction * count))];
    };
    std::printf(
        "{\"periods\": %zu, \"late_p50_us\": %.1f, \"late_p99_us\": %.1f, "
        "\"late_max_us\": %.1f}\n",
        count, at(0.5), at(0.99), late.back());
    return 0;
}
