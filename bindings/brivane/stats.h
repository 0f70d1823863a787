// The loop statistics each device object keeps.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace Brivane::HardwareAPI::Package {

namespace py = pybind11;

// Exchange counts, the worst latency since the last reset, and the latency of recent
// exchanges, kept in fixed storage: recording one costs two clock reads and a few stores.
// The worst is kept apart from the window, so that one stall in a long trial is not
// forgotten 1024 exchanges later.
class LoopStats {
  public:
    using Clock = std::chrono::steady_clock;

    void Record(Clock::time_point start, Clock::time_point end, bool answered) {
        ++exchanges_;
        if (!answered) ++failures_;
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(end - start);
        const std::size_t at = recorded_ % kRecent;
        latency_us_[at] = static_cast<std::uint32_t>(micros.count());
        max_us_ = std::max(max_us_, latency_us_[at]);
        ended_[at] = end;
        ++recorded_;
    }
    void Reset() { *this = LoopStats(); }
    // exchanges and failures since the reset, loop rate (exchanges per second over the
    // recent ones), p50 and p99 of their latency, and the worst latency since the reset, in
    // microseconds; zeros before any exchange.
    py::tuple Snapshot() const;

  private:
    static constexpr std::size_t kRecent = 1024;
    std::uint64_t exchanges_ = 0;
    std::uint64_t failures_ = 0;
    std::uint64_t recorded_ = 0;
    std::uint32_t max_us_ = 0;
    std::uint32_t latency_us_[kRecent] = {};
    Clock::time_point ended_[kRecent] = {};
};

}  // namespace Brivane::HardwareAPI::Package
