#pragma once

#include <cstdint>

#include "../base/Deadline.h"

namespace Brivane::HardwareAPI::Platform {

// The servo thread's sleeps: until an absolute point of the monotonic clock the deadlines
// use, with the least slack the system allows, so that a period starts on time rather than
// when the system next happens to look. Made, used and destroyed on the servo thread (Linux
// sets the calling thread's timer slack; Windows makes a timer of its own).
class ServoClock {
  public:
    ServoClock();
    ~ServoClock();
    ServoClock(const ServoClock&) = delete;
    ServoClock& operator=(const ServoClock&) = delete;

    // Sleeps until `at`; returns at once when it has passed.
    void SleepUntil(Deadline::Clock::time_point at);
    // Windows: whether the timer is a high-resolution one; elsewhere always true.
    bool HighResolution() const { return high_resolution_; }

  private:
    // Windows': the waitable timer, and whether the 1 ms system timer period a normal timer
    // needs was raised. Unused elsewhere.
    [[maybe_unused]] std::intptr_t timer_ = -1;
    bool high_resolution_ = true;
    [[maybe_unused]] bool period_raised_ = false;
};

// Raises the calling thread to real-time priority (SCHED_FIFO on Linux, time-critical on
// Windows). 0, or the system's error number when it was refused (EPERM without the right to
// it), for the caller to explain.
int RaiseThreadPriority();

// Locks the process's memory in RAM, so that no page fault of a servo period waits for the
// disk: what is mapped now, and what is mapped later where no limit would make a later
// allocation fail (root, or an unlimited RLIMIT_MEMLOCK). 0, or the system's error number.
// Windows: 0, nothing locked (a working set is no lock).
int LockMemory();

// The calling process's number: a servo started in another process (before a fork) has no
// thread here.
long ProcessId();

// Keeps the process's signals off the calling thread, so that their handlers (and the
// interrupt check, which a program may make take its own locks) run on the other threads.
void BlockSignals();

}  // namespace Brivane::HardwareAPI::Platform
