// Win32 backend of the servo clock: a high-resolution waitable timer where the system has
// one (Windows 10 1803 and later), a normal one under a 1 ms timer period otherwise.
#include <windows.h>

#include <chrono>

#include "ServoClock.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace Brivane::HardwareAPI::Platform {

namespace {

HANDLE AsHandle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

ServoClock::ServoClock() {
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                          TIMER_ALL_ACCESS);
    high_resolution_ = timer != nullptr;
    if (timer == nullptr) {
        timer = CreateWaitableTimerW(nullptr, TRUE, nullptr);
        // A normal timer fires on the system's tick: 1 ms rather than the default 15.6 ms.
        period_raised_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
    if (timer != nullptr) timer_ = reinterpret_cast<std::intptr_t>(timer);
}

ServoClock::~ServoClock() {
    if (timer_ != -1) CloseHandle(AsHandle(timer_));
    if (period_raised_) timeEndPeriod(1);
}

void ServoClock::SleepUntil(Deadline::Clock::time_point at) {
    const auto left = at - Deadline::Clock::now();
    if (left <= Deadline::Clock::duration::zero()) return;
    // The timer counts in 100 ns units; negative is relative to now.
    const auto ticks =
        std::chrono::duration_cast<std::chrono::duration<long long, std::ratio<1, 10000000>>>(left);
    if (timer_ == -1) {
        Sleep(static_cast<DWORD>(
            std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
        return;
    }
    LARGE_INTEGER due{};
    due.QuadPart = -(ticks.count() > 0 ? ticks.count() : 1);
    if (SetWaitableTimer(AsHandle(timer_), &due, 0, nullptr, nullptr, FALSE)) {
        WaitForSingleObject(AsHandle(timer_), INFINITE);
    }
}

int RaiseThreadPriority() {
    if (SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) return 0;
    return static_cast<int>(GetLastError());
}

int LockMemory() {
    return 0;
}

long ProcessId() {
    return static_cast<long>(GetCurrentProcessId());
}

void BlockSignals() {
    // Windows delivers no signals to a thread; a console's handler runs on a thread of its own.
}

}  // namespace Brivane::HardwareAPI::Platform
