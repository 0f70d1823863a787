#pragma once

#include <chrono>

namespace Brivane::HardwareAPI {

// A point on the monotonic clock after which a wait gives up. A limit of 0 seconds or below
// never expires, so a wait with it lasts until its bytes arrive.
class Deadline {
  public:
    using Clock = std::chrono::steady_clock;

    static Deadline After(double seconds) {
        // Beyond about a century the clock's count would overflow; such a limit is no limit.
        if (!(seconds > 0.0) || seconds > 3e9) return Deadline();
        const auto span =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        return Deadline(Clock::now() + span, span);
    }
    static Deadline At(Clock::time_point at) { return Deadline(at, Clock::duration::zero()); }
    static Deadline Never() { return Deadline(); }

    bool IsNever() const { return never_; }
    bool Expired() const { return !never_ && Clock::now() >= at_; }
    // When it expires; meaningless for a deadline that never expires.
    Clock::time_point When() const { return at_; }
    // The limit it was made with by After(); zero for one made At() a point.
    Clock::duration Span() const { return span_; }

    // Time left, never negative; meaningless for a deadline that never expires.
    Clock::duration Remaining() const {
        const auto left = at_ - Clock::now();
        return left > Clock::duration::zero() ? left : Clock::duration::zero();
    }

  private:
    Deadline() : never_(true) {}
    Deadline(Clock::time_point at, Clock::duration span) : at_(at), span_(span), never_(false) {}

    Clock::time_point at_{};
    Clock::duration span_{};
    bool never_;
};

}  // namespace Brivane::HardwareAPI
