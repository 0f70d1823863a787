// POSIX backend of the servo clock: absolute sleeps on CLOCK_MONOTONIC.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <chrono>
#include <thread>
#include <type_traits>

#include "ServoClock.h"

namespace Brivane::HardwareAPI::Platform {

namespace {

// Below the kernel's interrupt threads (50 on a real-time kernel), so that the serial
// driver the servo waits on still runs before it.
constexpr int kServoPriority = 49;

}  // namespace

ServoClock::ServoClock() {
#if defined(__linux__)
    // The default 50 us slack lets the kernel fold a wake-up into a later one; 1 ns is the
    // least it takes. It applies to this thread only.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

ServoClock::~ServoClock() = default;

void ServoClock::SleepUntil(Deadline::Clock::time_point at) {
#if defined(__linux__)
    // The C++ library's steady clock is CLOCK_MONOTONIC here, so its count is the time to
    // hand the system.
    static_assert(std::is_same_v<Deadline::Clock, std::chrono::steady_clock>);
    const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch());
    if (since.count() <= 0) return;
    timespec wake{};
    wake.tv_sec = static_cast<time_t>(since.count() / 1000000000);
    wake.tv_nsec = static_cast<long>(since.count() % 1000000000);
    // An absolute sleep resumes after a signal without drifting.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
#else
    std::this_thread::sleep_until(at);
#endif
}

int RaiseThreadPriority() {
    sched_param parameters{};
    parameters.sched_priority = kServoPriority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters);
}

int LockMemory() {
    rlimit limit{};
    const bool unlimited = geteuid() == 0 || (getrlimit(RLIMIT_MEMLOCK, &limit) == 0 &&
                                              limit.rlim_cur == RLIM_INFINITY);
    // Under a limit, locking what is mapped later would make a later allocation fail.
    if (mlockall(MCL_CURRENT | (unlimited ? MCL_FUTURE : 0)) != 0) return errno;
    return 0;
}

long ProcessId() {
    return static_cast<long>(getpid());
}

void BlockSignals() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace Brivane::HardwareAPI::Platform
