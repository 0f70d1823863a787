// What a late answer costs the arm's force exchange, and what the good exchanges pay for the
// library's watch on owed answers. A child process plays the arm on a pseudo-terminal: it
// answers each force request with the request's number, at once, except that every
// `period`th request is answered late (the whole answer three time-outs late, or its first
// 15 bytes at once and the rest three time-outs late), or not at all. The host runs the exchange
// with a deadline (what brivane uses) and with the device's time-out (the module's calls), and
// counts, per late answer, the calls that failed and the time until the next good answer;
// and any answer handed to the wrong request. The same run without late answers is the
// floor for the good exchanges' latency.
//
//   late_answer [exchanges per row, default 4000] [time-out ms, default 5]
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/Wire.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
using Clock = std::chrono::steady_clock;

namespace {

enum class Lateness { None, Whole, Rest, Lost };

bool ReadExactly(int fd, std::uint8_t* out, int n) {
    for (int got = 0; got < n;) {
        const ssize_t r = ::read(fd, out + got, static_cast<std::size_t>(n - got));
        if (r <= 0) return false;
        got += static_cast<int>(r);
    }
    return true;
}

void Sleep(long us) {
    const timespec delay{us / 1000000, (us % 1000000) * 1000};
    nanosleep(&delay, nullptr);
}

// The arm: answers with the request's number in every position field, until hang-up.
[[noreturn]] void Answer(int master, Lateness lateness, int period, long late_us) {
    std::uint8_t request[13];
    std::uint8_t answer[25] = {0x2B};
    for (long count = 1; ReadExactly(master, request, sizeof request); ++count) {
        for (int i = 0; i < 3; ++i) std::copy(request + 1, request + 5, answer + 1 + 4 * i);
        for (int i = 3; i < 6; ++i) Wire::StoreFloat(answer + 1 + 4 * i, 42.75f);
        std::size_t first = sizeof answer;
        if (lateness != Lateness::None && count % period == 0) {
            if (lateness == Lateness::Lost) continue;
            if (lateness == Lateness::Whole) Sleep(late_us);
            first = lateness == Lateness::Rest ? 15 : first;
        }
        if (::write(master, answer, first) != static_cast<ssize_t>(first)) _exit(1);
        if (first < sizeof answer) {
            Sleep(late_us);
            const std::size_t rest = sizeof answer - first;
            if (::write(master, answer + first, rest) != static_cast<ssize_t>(rest)) _exit(1);
        }
    }
    _exit(0);
}

struct Row {
    int good = 0, failed = 0, wrong = 0, late = 0;
    std::vector<double> good_us;
    double recovery_ms_sum = 0, recovery_ms_max = 0;
};

double Percentile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

Row Run(Lateness lateness, bool deadline_path, int count, int period, double timeout) {
    Row row;
    int master = -1, slave = -1;
    char path[128] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, path, &raw, nullptr) != 0) return row;
    const long late_us = static_cast<long>(timeout * 3e6);
    const pid_t child = fork();
    if (child == 0) {
        ::close(slave);
        Answer(master, lateness, period, late_us);
    }
    ::close(master);
    {
        IO::SerialStream stream(path, true);
        ::close(slave);
        Kalvar arm(&stream, static_cast<float>(timeout));
        bool failing = false;
        Clock::time_point failed_since{};
        for (int i = 1; i <= count; ++i) {
            const auto number = static_cast<float>(i);
            KalvarState state;
            const auto start = Clock::now();
            bool answered = false;
            if (deadline_path) {
                const Deadline deadline = Deadline::After(timeout);
                answered =
                    arm.command(KalvarMessages::kForce, {number, 0, 0},
                                KalvarMessages::kEndEffectorState, state, Limits::By(deadline))
                        .answered();
            } else {
                state = arm.end_effector_force({number, 0, 0});
                answered = state.second[0] != 0.0f;
            }
            const auto end = Clock::now();
            if (answered && state.first[0] != number) {
                ++row.wrong;
            } else if (answered) {
                ++row.good;
                row.good_us.push_back(
                    std::chrono::duration<double, std::micro>(end - start).count());
                if (failing) {
                    const double ms =
                        std::chrono::duration<double, std::milli>(end - failed_since).count();
                    row.recovery_ms_sum += ms;
                    row.recovery_ms_max = std::max(row.recovery_ms_max, ms);
                    failing = false;
                }
            } else {
                ++row.failed;
                if (!failing) {
                    failing = true;
                    failed_since = start;
                    ++row.late;
                }
            }
        }
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) kill(child, SIGKILL);
    return row;
}

void Print(const char* path, const char* late, const Row& row) {
    const double faults = std::max(row.late, 1);
    std::printf("%-9s %-10s %6d %6d %6d %8.1f %9.2f %9.1f %9.1f %8.0f %8.0f\n", path, late,
                row.good, row.wrong, row.late, row.failed / faults, row.recovery_ms_sum / faults,
                row.recovery_ms_max, Percentile(row.good_us, 0.5), Percentile(row.good_us, 0.99),
                Percentile(row.good_us, 1.0));
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 4000;
    const double timeout = (argc > 2 ? std::atof(argv[2]) : 5.0) / 1000.0;
    if (count < 100 || !(timeout > 0)) {
        std::fprintf(stderr, "usage: %s [exchanges per row, at least 100] [time-out ms]\n",
                     argv[0]);
        return 2;
    }
    constexpr int kPeriod = 100;
    std::fprintf(stderr, "(the legacy rows print their time-out lines here)\n");
    std::printf("force exchanges, time-out %.1f ms; 1 in %d answered %.1f ms late\n", timeout * 1e3,
                kPeriod, timeout * 3e3);
    std::printf("%-9s %-10s %6s %6s %6s %8s %9s %9s %9s %8s %8s\n", "path", "late", "good", "wrong",
                "faults", "lost", "recov ms", "max ms", "good p50", "p99 us", "max us");
    int wrong = 0;
    for (const bool deadline_path : {true, false}) {
        const char* path = deadline_path ? "deadline" : "legacy";
        const struct {
            const char* name;
            Lateness lateness;
        } rows[] = {{"none", Lateness::None},
                    {"whole", Lateness::Whole},
                    {"rest", Lateness::Rest},
                    {"lost", Lateness::Lost}};
        for (const auto& r : rows) {
            const Row row = Run(r.lateness, deadline_path, count, kPeriod, timeout);
            Print(path, r.name, row);
            wrong += row.wrong;
        }
    }
    std::printf(
        "lost: calls that failed per late answer; recov: from the first failed call to "
        "the next good answer\n");
    return wrong == 0 ? 0 : 1;
}
