#include "Servo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "../base/Deadline.h"
#include "../base/Interrupt.h"
#include "../platform/ServoClock.h"

namespace Brivane::HardwareAPI::Haptics {

namespace {

using Clock = Deadline::Clock;
using Kind = Devices::Outcome::Kind;

// Long enough for an arm's answer, short enough that a stop is not held up by a dead line.
constexpr double kZeroForceSeconds = 0.02;

double Micros(Clock::duration span) {
    return std::chrono::duration<double, std::micro>(span).count();
}

// A value one thread publishes as a whole and another takes when it next looks: the writer
// fills the back buffer and swaps it with the middle one; the reader swaps the middle one
// with its front buffer when it is fresh. Neither ever waits for the other.
template <typename T>
class TripleBuffer {
  public:
    // The writer's (one at a time).
    T& back() { return slots_[back_]; }
    void publish() {
        back_ =
            middle_.exchange(static_cast<std::uint8_t>(back_ | kFresh), std::memory_order_acq_rel) &
            kIndex;
    }
    // The reader's: takes the latest published value, if there is a newer one.
    void update() {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) return;
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
    }
    const T& front() const { return slots_[front_]; }

  private:
    static constexpr std::uint8_t kFresh = 4;
    static constexpr std::uint8_t kIndex = 3;
    std::array<T, 3> slots_{};
    std::uint8_t back_ = 0;
    std::atomic<std::uint8_t> middle_{1};
    std::uint8_t front_ = 2;
};

// Counts of microsecond values in bins 1 us wide below 128 us and 1/64 of their power of two
// above, so that a percentile is within 1% of the truth. One thread adds; any thread reads.
class Histogram {
  public:
    void reset() {
        for (auto& bin : bins_) bin.store(0, std::memory_order_relaxed);
    }
    void add(double micros) {
        const std::uint32_t value = !(micros > 0.0) ? 0u
                                    : micros >= 4e9 ? 0xFFFFFFFFu
                                                    : static_cast<std::uint32_t>(micros);
        auto& bin = bins_[BinOf(value)];
        bin.store(bin.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // The value `fraction` of the values lie at or below (the middle of its bin); 0 for none.
    double percentile(double fraction) const {
        std::uint64_t total = 0;
        for (const auto& bin : bins_) total += bin.load(std::memory_order_relaxed);
        if (total == 0) return 0.0;
        const auto rank = std::max<std::uint64_t>(
            1, static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(total))));
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < kBins; ++i) {
            seen += bins_[i].load(std::memory_order_relaxed);
            if (seen >= rank) return Middle(i);
        }
        return Middle(kBins - 1);
    }

  private:
    static constexpr std::size_t kLinear = 128;  // 2^7
    static constexpr std::size_t kSteps = 64;    // bins per power of two above
    static constexpr std::size_t kBins = kLinear + (32 - 7) * kSteps;

    static std::size_t BinOf(std::uint32_t value) {
        if (value < kLinear) return value;
        unsigned power = 7;
        while ((value >> (power + 1)) != 0) ++power;
        const std::size_t step = (value >> (power - 6)) & (kSteps - 1);
        return kLinear + (power - 7) * kSteps + step;
    }
    static double Middle(std::size_t bin) {
        if (bin < kLinear) return static_cast<double>(bin) + 0.5;
        const std::size_t power = 7 + (bin - kLinear) / kSteps;
        const double width = std::ldexp(1.0, static_cast<int>(power) - 6);
        const double low = static_cast<double>(kSteps + (bin - kLinear) % kSteps) * width;
        return low + width / 2.0;
    }

    std::array<std::atomic<std::uint32_t>, kBins> bins_{};
};

// What the servo thread counts, published as a whole each period.
struct Counters {
    std::uint64_t periods = 0;
    std::uint64_t overruns = 0;
    std::uint64_t failures = 0;
    double elapsed = 0.0;  // seconds from the first period's start to the last one's
    double period_max_us = 0.0;
    double lateness_max_us = 0.0;
};

ServoOptions Checked(ServoOptions options) {
    if (!(options.rate >= 1.0)) options.rate = 1.0;  // NaN too
    if (options.rate > 10000.0) options.rate = 10000.0;
    if (!(options.max_force >= 0.0)) options.max_force = 0.0;
    if (!(options.ramp >= 0.0)) options.ramp = 0.0;
    if (!(options.lease >= 0.0)) options.lease = 0.0;
    return options;
}

// `force` held to `limit` in length, keeping its direction; zero when any part of it is not
// a number.
Vec3 Limited(const Vec3& force, double limit) {
    double squared = 0.0;
    for (const float part : force) {
        if (!std::isfinite(part)) return {};
        squared += static_cast<double>(part) * part;
    }
    const double length = std::sqrt(squared);
    if (length <= limit) return force;
    const double scale = limit / length;
    return {static_cast<float>(force[0] * scale), static_cast<float>(force[1] * scale),
            static_cast<float>(force[2] * scale)};
}

void CopyText(const char* text, std::array<char, 256>& into) {
    std::size_t i = 0;
    for (; text != nullptr && text[i] != '\0' && i + 1 < into.size(); ++i) into[i] = text[i];
    into[i] = '\0';
}

}  // namespace

// Grip messages taken in one period at the most: a grip streams far fewer per period, and a
// line that floods does not hold up the arm's next exchange.
constexpr int kGripMessagesPerPeriod = 16;

struct Servo::State {
    State(Devices::Kalvar& arm_, const ServoOptions& options_, Devices::Handle* grip_)
        : arm(arm_), grip(grip_), options(Checked(options_)), ring(options.samples) {}

    void run();
    // Takes the grip's queued messages without waiting; its latest status goes into `sample`
    // from then on. A lost grip line ends the reading, not the servo: the arm goes on.
    void read_grip(Sample& sample);
    void renew() {
        renewed.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }

    Devices::Kalvar& arm;
    Devices::Handle* const grip;
    const ServoOptions options;
    // The servo thread's: the grip's latest orientation and hall level.
    std::array<float, 4> orientation{};
    std::uint8_t hall = 0;
    bool grip_lost = false;

    // Written by the servo thread, read by any.
    SampleRing ring;
    SeqLock<Sample> latest;
    SeqLock<Counters> counters;
    Histogram periods;
    Histogram lateness;

    // Written by the callers under `writer`, taken by the servo thread without a lock.
    std::mutex writer;
    TripleBuffer<EffectSet> effects;
    TripleBuffer<Law> laws;
    EffectSet last_effects;
    std::atomic<Clock::rep> renewed{0};
    std::atomic<Clock::rep> lease{0};  // 0: none

    // start() and stop(), one at a time.
    std::mutex control;
    std::thread thread;
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> running{false};

    // The thread's word that it runs, or why it could not.
    std::mutex ready_mutex;
    std::condition_variable ready_changed;
    bool ready = false;
    int refused = 0;

    mutable std::mutex stop_mutex;
    ServoStop stop;
};

void Servo::State::read_grip(Sample& sample) {
    if (grip != nullptr && !grip_lost) {
        const Deadline now = Deadline::At(Clock::now());  // passed: only what has come
        for (int taken = 0; taken < kGripMessagesPerPeriod; ++taken) {
            Devices::HandleMessage message;
            const Devices::Outcome outcome = grip->receive(message, now);
            if (outcome.kind == Kind::LineLost) grip_lost = true;
            if (outcome.kind == Kind::BadAnswer) continue;  // a stray byte: read on after it
            if (!outcome.answered()) break;
            if (message.kind == Devices::HandleMessage::Kind::Status) {
                for (std::size_t i = 0; i < 4; ++i) orientation[i] = message.status.quaternion[i];
                hall = message.status.hall_effect_sensor_level;
            }
        }
    }
    sample.orientation = orientation;
    sample.hall = hall;
}

void Servo::State::run() {
    Platform::BlockSignals();
    const int error = options.realtime ? Platform::RaiseThreadPriority() : 0;
    {
        std::lock_guard<std::mutex> lock(ready_mutex);
        refused = error;
        ready = true;
    }
    ready_changed.notify_one();
    if (error != 0) {
        running.store(false, std::memory_order_release);
        return;
    }

    Platform::ServoClock clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / options.rate));
    const double step = options.ramp > 0.0 ? 1.0 / (options.rate * options.ramp) : 1.0;

    const Clock::time_point start = Clock::now();
    Clock::time_point deadline = start;
    Clock::time_point last_wake = start;
    Vec3 command{};
    Devices::KalvarState state;
    double gain = 0.0;
    Counters counts;
    ServoStop ended;

    for (;;) {
        if (stop_requested.load(std::memory_order_acquire)) {
            ended.kind = ServoStop::Kind::Requested;
            break;
        }
        const Clock::time_point wake = Clock::now();
        Clock::time_point next = deadline + period;
        if (wake >= next) {
            // Woken past the next deadline already: that period is lost as well.
            ++counts.overruns;
            next += ((wake - next) / period + 1) * period;
        }
        const Devices::Outcome outcome = arm.force(command, state, Deadline::At(next));
        if (outcome.kind == Kind::LineLost) {
            ended.kind = ServoStop::Kind::LineLost;
            ended.error = outcome.error;
            break;
        }
        if (outcome.kind == Kind::Stopped) {
            ended.kind = ServoStop::Kind::Interrupted;
            break;
        }

        Sample sample;
        sample.time = std::chrono::duration<double>(wake - start).count();
        sample.position = state.first;
        sample.velocity = state.second;
        sample.period =
            counts.periods > 0 ? std::chrono::duration<double>(wake - last_wake).count() : 0.0;
        sample.outcome = static_cast<std::uint8_t>(outcome.kind);
        read_grip(sample);

        // A period without a good answer has no state to go by: it commands nothing.
        effects.update();
        laws.update();
        Vec3 force{};
        bool law_failed = false;
        if (outcome.answered()) {
            force = effects.front().force(state.first, state.second);
            const Law& law = laws.front();
            if (law) {
                sample.force = force;
                try {
                    const Vec3 more = law(sample);
                    for (std::size_t i = 0; i < 3; ++i) force[i] += more[i];
                } catch (const std::exception& failure) {
                    law_failed = true;
                    CopyText(failure.what(), ended.text);
                } catch (...) {
                    law_failed = true;
                    CopyText("the law threw something other than an exception", ended.text);
                }
            }
        } else {
            ++counts.failures;
        }

        // Faded in after start and after a renewal, out once the lease lapses.
        const Clock::time_point renewal{Clock::duration(renewed.load(std::memory_order_relaxed))};
        const Clock::duration leased_for{lease.load(std::memory_order_relaxed)};
        const bool leased = leased_for == Clock::duration::zero() || wake - renewal <= leased_for;
        gain = leased ? std::min(1.0, gain + step) : std::max(0.0, gain - step);
        force = Limited(force, options.max_force);
        for (float& part : force) part = static_cast<float>(part * gain);
        if (law_failed) force = {};
        command = force;
        sample.force = force;
        ring.push(sample);
        latest.store(sample);

        if (counts.periods > 0) {
            const double span = Micros(wake - last_wake);
            periods.add(span);
            counts.period_max_us = std::max(counts.period_max_us, span);
        }
        const double late = std::max(0.0, Micros(wake - deadline));
        lateness.add(late);
        counts.lateness_max_us = std::max(counts.lateness_max_us, late);
        ++counts.periods;
        counts.elapsed = sample.time;
        last_wake = wake;

        if (law_failed) {
            counters.store(counts);
            ended.kind = ServoStop::Kind::LawFailed;
            break;
        }
        // Past the next deadline: skip to the first one still ahead, never catch up in a burst.
        deadline = next;
        const Clock::time_point now = Clock::now();
        if (now > deadline) {
            ++counts.overruns;
            deadline += ((now - deadline) / period + 1) * period;
        }
        counters.store(counts);
        clock.SleepUntil(deadline);
    }

    // Whatever ended the loop, the hand is not left pushed by the last force.
    Interrupt::Take();
    Devices::KalvarState ignored;
    arm.force(Vec3{}, ignored, Deadline::After(kZeroForceSeconds));
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop = ended;
    }
    running.store(false, std::memory_order_release);
}

Servo::Servo(Devices::Kalvar& arm, const ServoOptions& options, Devices::Handle* grip)
    : state_(std::make_unique<State>(arm, options, grip)) {
    set_lease(state_->options.lease);
}

Servo::~Servo() {
    stop();
}

int Servo::start() {
    State& s = *state_;
    std::lock_guard<std::mutex> control(s.control);
    if (s.running.load(std::memory_order_acquire)) return 0;
    if (s.thread.joinable()) s.thread.join();  // a run that ended by itself

    s.stop_requested.store(false, std::memory_order_relaxed);
    s.counters.store(Counters{});
    s.periods.reset();
    s.lateness.reset();
    {
        std::lock_guard<std::mutex> lock(s.stop_mutex);
        s.stop = ServoStop{};
    }
    s.ready = false;
    s.renew();
    s.running.store(true, std::memory_order_release);
    try {
        s.thread = std::thread([&s] { s.run(); });
    } catch (const std::system_error& failure) {
        s.running.store(false, std::memory_order_release);
        return failure.code().value() != 0 ? failure.code().value() : -1;
    }
    int refused = 0;
    {
        std::unique_lock<std::mutex> lock(s.ready_mutex);
        s.ready_changed.wait(lock, [&s] { return s.ready; });
        refused = s.refused;
    }
    if (refused != 0) s.thread.join();
    return refused;
}

void Servo::stop() {
    State& s = *state_;
    std::lock_guard<std::mutex> control(s.control);
    s.stop_requested.store(true, std::memory_order_release);
    if (s.thread.joinable()) s.thread.join();
}

bool Servo::running() const {
    return state_->running.load(std::memory_order_acquire);
}

ServoStop Servo::stopped_by() const {
    std::lock_guard<std::mutex> lock(state_->stop_mutex);
    return state_->stop;
}

void Servo::set_effects(const EffectSet& effects) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.writer);
    s.effects.back() = effects;
    s.effects.publish();
    s.last_effects = effects;
    s.renew();
}

EffectSet Servo::effects() const {
    std::lock_guard<std::mutex> lock(state_->writer);
    return state_->last_effects;
}

void Servo::set_law(Law law) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.writer);
    s.laws.back() = std::move(law);
    s.laws.publish();
    // The law handed back is one the servo no longer uses: let it go here, not there.
    s.laws.back() = nullptr;
    s.renew();
}

void Servo::set_lease(double seconds) {
    const double lease = seconds > 0.0 && std::isfinite(seconds) ? seconds : 0.0;
    state_->lease.store(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(lease)).count(),
        std::memory_order_relaxed);
    state_->renew();
}

void Servo::renew() {
    state_->renew();
}

SampleRing& Servo::samples() {
    return state_->ring;
}

Sample Servo::latest() const {
    return state_->latest.load();
}

ServoStatistics Servo::statistics() const {
    const Counters counts = state_->counters.load();
    ServoStatistics statistics;
    statistics.periods = counts.periods;
    statistics.overruns = counts.overruns;
    statistics.failures = counts.failures;
    statistics.rate_hz =
        counts.elapsed > 0.0 ? static_cast<double>(counts.periods - 1) / counts.elapsed : 0.0;
    statistics.period_p50_us = state_->periods.percentile(0.50);
    statistics.period_p99_us = state_->periods.percentile(0.99);
    statistics.period_max_us = counts.period_max_us;
    statistics.lateness_p99_us = state_->lateness.percentile(0.99);
    statistics.lateness_max_us = counts.lateness_max_us;
    return statistics;
}

const ServoOptions& Servo::options() const {
    return state_->options;
}

}  // namespace Brivane::HardwareAPI::Haptics
