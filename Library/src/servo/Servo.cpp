#include "Servo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "../base/Deadline.h"
#include "../base/Interrupt.h"
#include "../devices/KalvarMessages.h"
#include "../platform/Guardian.h"
#include "../platform/ServoClock.h"

namespace Brivane::HardwareAPI::Haptics {

namespace {

using Clock = Deadline::Clock;
using Kind = Devices::Outcome::Kind;

// Long enough for an arm's answer, short enough that a stop is not held up by a dead line.
constexpr double kZeroForceSeconds = 0.02;
// The shortest silence of the arm that stops the servo.
constexpr std::chrono::milliseconds kShortestSilence{100};

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
    // The reader's: takes the latest published value, if there is a newer one; true then.
    bool update() {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) return false;
        front_ = middle_.exchange(front_, std::memory_order_acq_rel) & kIndex;
        return true;
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
    std::uint64_t late = 0;
    std::uint64_t extra = 0;
    double elapsed = 0.0;  // seconds from the first period's start to the last one's
    double period_max_us = 0.0;
    double lateness_max_us = 0.0;
    bool behind = false;
    bool grip_lost = false;
    std::uint64_t passivity_periods = 0;
    double dissipated = 0.0;
};

ServoOptions Checked(ServoOptions options) {
    if (!(options.rate >= 1.0)) options.rate = 1.0;  // NaN too
    if (options.rate > 10000.0) options.rate = 10000.0;
    if (!(options.max_force >= 0.0)) options.max_force = 0.0;
    if (!(options.ramp >= 0.0)) options.ramp = 0.0;
    if (!(options.lease >= 0.0)) options.lease = 0.0;
    if (!(options.spin >= 0.0)) options.spin = 0.0;
    options.spin = std::min(options.spin, 0.5 / options.rate);
    return options;
}

// `force` held to `limit` in length, keeping its direction, however large its parts (the
// length is taken of the force scaled by its largest part, so that no square overflows);
// zero when any part of it is not a finite number.
Vec3 Limited(const std::array<double, 3>& force, double limit) {
    double parts[3];
    double largest = 0.0;
    for (std::size_t i = 0; i < 3; ++i) {
        parts[i] = force[i];
        if (!std::isfinite(parts[i])) return {};
        largest = std::max(largest, std::fabs(parts[i]));
    }
    if (largest == 0.0) return {};
    double squared = 0.0;
    for (const double part : parts) squared += (part / largest) * (part / largest);
    const double length = largest * std::sqrt(squared);
    const double scale = length <= limit ? 1.0 : limit / length;
    return {static_cast<float>(parts[0] * scale), static_cast<float>(parts[1] * scale),
            static_cast<float>(parts[2] * scale)};
}

// The time-domain passivity observer and controller. The observer sums the energy the
// rendered force (the effects' and the law's) puts into the hand; when that sum is above
// zero, the forces have put out more than they took in, and the controller adds the damping
// that takes the excess back over the next period, within `limit`, and counts it taken.
// Its own force is left out of what the observer sums: against a velocity that only
// trembles, damping of the last period's velocity would seem to put energy in, and the
// controller would chase itself.
struct Passivity {
    double energy = 0.0;  // J: put into the hand, less what the hand put in and was taken
    double taken = 0.0;   // J: what the last damping added takes back

    void observe(const Vec3& rendered, const Vec3& velocity, double span) {
        double power = 0.0;
        for (std::size_t i = 0; i < 3; ++i) power += static_cast<double>(rendered[i]) * velocity[i];
        if (std::isfinite(power) && span > 0.0) energy += power * span;
    }
    // The damping (N·s/m) added to `force`; 0 while nothing is owed back.
    double guard(std::array<double, 3>& force, const Vec3& velocity, double span, double limit) {
        taken = 0.0;
        double squared = 0.0;
        for (const float part : velocity) squared += static_cast<double>(part) * part;
        if (!(energy > 0.0) || !(squared * span > 0.0)) return 0.0;
        double damping = energy / (squared * span);
        damping = std::min(damping, limit / std::sqrt(squared));
        for (std::size_t i = 0; i < 3; ++i) force[i] -= damping * velocity[i];
        taken = std::min(energy, damping * squared * span);
        energy -= taken;
        return damping;
    }
};

// A force `age` stale: whole at first, then less each period, to nothing at kFadeSpan, so
// that no period steps it and no stale force lasts.
constexpr std::chrono::milliseconds kFadeSpan{10};
double Fade(Clock::duration age) {
    if (age <= Clock::duration::zero()) return 1.0;
    if (age >= kFadeSpan) return 0.0;
    const double share = std::chrono::duration<double>(age) / kFadeSpan;
    return 1.0 - share * share;
}

Vec3 Scaled(const Vec3& force, double gain) {
    return {static_cast<float>(force[0] * gain), static_cast<float>(force[1] * gain),
            static_cast<float>(force[2] * gain)};
}

// Requests sent and not yet answered, oldest first; fixed, for the period allocates nothing.
class Outstanding {
  public:
    bool empty() const { return count_ == 0; }
    int size() const { return count_; }
    Clock::time_point oldest() const { return sent_[first_]; }
    void push(Clock::time_point sent) {
        if (count_ == kMost) pop();
        sent_[(first_ + count_) % kMost] = sent;
        ++count_;
    }
    void pop() {
        if (count_ == 0) return;
        first_ = (first_ + 1) % kMost;
        --count_;
    }

  private:
    static constexpr int kMost = 4;
    std::array<Clock::time_point, kMost> sent_{};
    int first_ = 0;
    int count_ = 0;
};

// Whether `outcome` ends the loop, and how: a lost line, or the interrupt check.
bool Ends(const Devices::Outcome& outcome, ServoStop& ended) {
    if (outcome.kind == Kind::LineLost) {
        ended.kind = ServoStop::Kind::LineLost;
        ended.error = outcome.error;
        return true;
    }
    if (outcome.kind == Kind::Stopped) {
        ended.kind = ServoStop::Kind::Interrupted;
        return true;
    }
    return false;
}

void CopyText(const char* text, std::array<char, 256>& into) {
    std::size_t i = 0;
    for (; text != nullptr && text[i] != '\0' && i + 1 < into.size(); ++i) into[i] = text[i];
    into[i] = '\0';
}

// A sample's proxy and touching flag, where a mesh's proxy was left.
void PlaceProxy(Sample& sample, const std::optional<ProxyPlace>& place) {
    if (!place) return;
    sample.proxy = place->position;
    if (place->touching) sample.flags |= Sample::kTouching;
}

}  // namespace

// Grip messages taken in one period at the most: all a grip streams in a period at any rate
// the servo runs, so that the newest is taken; a line that floods does not hold up the
// arm's next exchange.
constexpr int kGripMessagesPerPeriod = 256;

// Periods over which the servo judges whether the arm keeps its rate.
constexpr std::uint64_t kBehindWindow = 200;

struct Servo::State {
    State(Devices::Kalvar& arm_, const ServoOptions& options_, Devices::Handle* grip_)
        : arm(arm_), grip(grip_), options(Checked(options_)), ring(options.samples) {}

    void run();
    // Takes the grip's queued messages without waiting; its newest status goes into `sample`
    // from then on. A lost grip line ends the reading, not the servo: the arm goes on, and
    // the samples say so.
    void read_grip(Sample& sample, Clock::time_point start);
    void renew() {
        renewed.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    }
    // Hands the servo a new set, taken at once or glided into; under `writer`.
    void give(const EffectSet& set, double glide);
    // The thread is not this process's: a fork's copy of a servo that runs in the parent.
    bool forked() const { return owner != 0 && owner != Platform::ProcessId(); }

    Devices::Kalvar& arm;
    Devices::Handle* const grip;
    const ServoOptions options;
    // The servo thread's: the grip's latest orientation and hall level.
    std::array<float, 4> orientation{};
    std::uint8_t hall = 0;
    std::uint32_t grip_sequence = 0;
    double grip_time = 0.0;
    bool grip_lost = false;

    // Written by the servo thread, read by any.
    SampleRing ring;
    SeqLock<Sample> latest;
    SeqLock<Counters> counters;
    Histogram periods;
    Histogram lateness;

    // Written by the callers under `writer`, taken by the servo thread without a lock.
    std::mutex writer;
    // A new set of effects, taken at once or glided into over `glide` seconds.
    struct EffectChange {
        EffectSet set;
        double glide = 0.0;
        std::uint64_t number = 0;  // the sets given, this one included
    };
    TripleBuffer<EffectChange> effects;
    TripleBuffer<Law> laws;
    EffectSet last_effects;
    // The meshes of the sets given, each with the number of the newest set that holds it,
    // kept here until the servo has taken a later one: the servo thread lets go of a mesh
    // only while this still holds it, so that it never frees one in a period.
    struct KeptMesh {
        std::shared_ptr<const TriangleMesh> mesh;
        std::uint64_t newest = 0;
    };
    std::vector<KeptMesh> kept_meshes;
    std::uint64_t sets_given = 0;
    std::atomic<std::uint64_t> set_taken{0};  // the servo thread's: the newest set it took
    std::atomic<Clock::rep> renewed{0};
    std::atomic<Clock::rep> lease{0};    // 0: none
    std::atomic<Clock::rep> started{0};  // the samples' time 0, on the steady clock

    // start() and stop(), one at a time.
    std::mutex control;
    std::thread thread;
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> running{false};
    long owner = 0;  // the process that started the thread
    Platform::Guardian guardian;
    std::function<void()> ended_hook;

    // The thread's word that it runs, or why it could not.
    std::mutex ready_mutex;
    std::condition_variable ready_changed;
    bool ready = false;
    int refused = 0;

    mutable std::mutex stop_mutex;
    ServoStop stop;
};

void Servo::State::read_grip(Sample& sample, Clock::time_point start) {
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
                ++grip_sequence;
                grip_time = std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
    }
    sample.orientation = orientation;
    sample.hall = hall;
    sample.grip_sequence = grip_sequence;
    sample.grip_time = grip_time;
    if (grip_lost) sample.flags |= Sample::kGripLost;
}

void Servo::State::run() {
    Platform::BlockSignals();
    int error = 0;
    if (options.realtime) {
        error = Platform::RaiseThreadPriority();
        if (error == 0) error = Platform::LockMemory();
    }
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
    const auto spin =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.spin));
    // An answer is waited for up to two periods after its request (a machine that
    // deschedules the far end for a millisecond now and then delays it no more), then given
    // up; an arm that answers nothing for its time-out is silent.
    const Clock::duration lost_after =
        std::max<Clock::duration>(2 * period, std::chrono::microseconds(1500));
    // At least 0.1 s: the force has faded to nothing long before, and a busy machine's
    // hiccup does not end the servo.
    const Clock::duration silent_after = std::max<Clock::duration>(
        std::max<Clock::duration>(lost_after, kShortestSilence),
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            arm.timeout > 0.0f ? static_cast<double>(arm.timeout) : 1.0)));

    const Clock::time_point start = Clock::now();
    started.store(start.time_since_epoch().count(), std::memory_order_relaxed);
    // The deadline the period began on: each period's answer is due one period after it.
    Clock::time_point grid = start;
    Clock::time_point last_wake = start;
    Clock::time_point fresh_at = start;     // when the newest state came
    Clock::time_point last_answer = start;  // when the arm last answered anything
    bool have_state = false;
    bool unused_state = false;           // a state came that no command has gone by yet
    Clock::time_point whole_at = start;  // when the last command from a fresh state went
    Vec3 basis{};                        // the force of the newest state, held below max_force
    Devices::EndEffectorState state;
    Outstanding outstanding;
    double gain = 0.0;
    Counters counts;
    std::uint64_t window_periods = 0;
    std::uint64_t window_slow = 0;
    Sample pending;  // the last period's, recorded with the force that goes out after it
    bool have_pending = false;
    bool law_failed = false;
    Passivity passivity;
    Vec3 rendered_basis{};                  // the basis without the passivity controller's part
    Vec3 rendering{};                       // that, as the last request commanded it
    Clock::time_point observed_at = start;  // when the observer last took a state
    // The effects rendered, and the glide under way: from the set rendered when it began to
    // the one given, over its span.
    EffectSet rendered;
    MeshProxies proxies;                    // this run's, each fresh at its start
    std::optional<ProxyPlace> proxy_place;  // the first mesh's, as the last fresh state left it
    EffectSet glide_from;
    EffectSet glide_to;
    Clock::time_point glide_start{};
    Clock::duration glide_span{};
    bool gliding = false;
    bool slept = true;  // the period began on its deadline
    ServoStop ended;

    for (;;) {
        if (stop_requested.load(std::memory_order_acquire)) {
            ended.kind = ServoStop::Kind::Requested;
            break;
        }
        const Clock::time_point wake = Clock::now();

        // Faded in after start and after a renewal, out once the lease lapses; and by the age
        // of the state it was computed from.
        const Clock::time_point renewal{Clock::duration(renewed.load(std::memory_order_relaxed))};
        const Clock::duration leased_for{lease.load(std::memory_order_relaxed)};
        const bool leased = leased_for == Clock::duration::zero() || wake - renewal <= leased_for;
        gain = leased ? std::min(1.0, gain + step) : std::max(0.0, gain - step);
        // A state not yet used is the period's, whole, unless this thread woke so late that
        // it is stale too. The periods after it fade the force by the time since the last
        // request that carried it whole, less a period: each such period in a row lowers it.
        double fade = 1.0;
        if (unused_state) {
            const Clock::duration age = wake - fresh_at - period;
            if (age >= kFadeSpan / 2) fade = Fade(age);
            whole_at = wake;
        } else {
            fade = Fade(wake - whole_at - period);
        }
        const Vec3 command = have_state ? Scaled(basis, gain * fade) : Vec3{};
        // What the rendering pushed with since the last request, while the arm moved to this
        // state, and what it pushes with from now on (the passivity controller's part left out).
        const Vec3 pushed = rendering;
        rendering = have_state ? Scaled(rendered_basis, gain * fade) : Vec3{};
        unused_state = false;
        if (have_pending) {
            pending.force = command;
            ring.push(pending);
            latest.store(pending);
        }

        // One request at a time: the one before was answered, or given up. Answers queued
        // with none owed (one the arm sent twice, one given up that came after all) would
        // be taken for the next request's: they are dropped first, the newest state kept.
        if (outstanding.empty()) {
            int extra = 0;
            const Devices::Outcome queued =
                arm.take_states(state, extra, Deadline::At(Clock::time_point{}));
            if (Ends(queued, ended)) break;
            if (extra > 0) {
                counts.extra += static_cast<std::uint64_t>(extra);
                last_answer = fresh_at = wake;
            }
            const Devices::Outcome sent = arm.send_force(command);
            if (Ends(sent, ended)) break;
            if (sent.answered()) outstanding.push(wake);
        }

        // Its answer, by the period's deadline; past it, a late answer is waited for and
        // used, until the request is given up.
        Clock::time_point next = grid + period;
        const bool slept_on_time = wake < next;
        if (wake >= next) {
            // Woken past the next deadline already: that period is lost as well.
            ++counts.overruns;
            next += ((wake - next) / period + 1) * period;
        }
        int taken = 0;
        Devices::Outcome outcome = arm.take_states(state, taken, Deadline::At(next));
        bool late = false;
        if (taken == 0 && !outstanding.empty() && outcome.kind != Kind::LineLost &&
            outcome.kind != Kind::Stopped && Clock::now() < outstanding.oldest() + lost_after) {
            const Devices::Outcome waited =
                arm.take_states(state, taken, Deadline::At(outstanding.oldest() + lost_after));
            if (waited.kind != Kind::NoAnswer || taken > 0) outcome = waited;
            late = taken > 0;
        }
        if (Ends(outcome, ended)) break;
        const Clock::time_point arrived = Clock::now();
        if (taken > 0) {
            const int answered = std::min(taken, outstanding.size());
            for (int i = 0; i < answered; ++i) outstanding.pop();
            counts.extra += static_cast<std::uint64_t>(taken - answered);
            last_answer = fresh_at = arrived;
            have_state = unused_state = true;
        }
        if (outcome.kind == Kind::BadAnswer) ++counts.failures;
        bool lost = false;
        while (!outstanding.empty() && arrived - outstanding.oldest() >= lost_after) {
            outstanding.pop();
            ++counts.failures;
            lost = true;
        }
        if (arrived - last_answer > silent_after) {
            ended.kind = ServoStop::Kind::NoAnswer;
            break;
        }

        Sample sample;
        sample.time = std::chrono::duration<double>(wake - start).count();
        sample.position = state.position;
        sample.velocity = state.velocity;
        sample.proxy = state.position;
        sample.period =
            counts.periods > 0 ? std::chrono::duration<double>(wake - last_wake).count() : 0.0;
        sample.outcome = static_cast<std::uint8_t>(
            taken > 0 ? Kind::Answered
                      : (outcome.kind == Kind::BadAnswer ? Kind::BadAnswer : Kind::NoAnswer));
        if (late) sample.flags |= Sample::kLate;
        if (taken == 0) sample.flags |= Sample::kFaded;
        read_grip(sample, start);
        counts.grip_lost = grip_lost;

        // A fresh state gives the next force; without one, the last is faded.
        if (effects.update()) {
            const EffectChange& change = effects.front();
            gliding = change.glide > 0.0 && SameShape(rendered, change.set);
            if (gliding) {  // from wherever the set is now, a glide under way included
                glide_from = rendered;
                glide_to = change.set;
                glide_start = wake;
                glide_span = std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(change.glide));
            } else {
                rendered = change.set;
                // Let go of a past glide's sets here, while their meshes are still kept.
                glide_from = EffectSet();
                glide_to = EffectSet();
            }
            set_taken.store(change.number, std::memory_order_release);
        }
        if (gliding) {
            const double share = std::chrono::duration<double>(wake - glide_start) / glide_span;
            rendered = Between(glide_from, glide_to, share);
            gliding = share < 1.0;
        }
        laws.update();
        if (taken > 0) {
            const Vec3 effected = rendered.force(state.position, state.velocity, proxies);
            proxy_place = rendered.first_proxy(proxies);
            PlaceProxy(sample, proxy_place);
            std::array<double, 3> force{effected[0], effected[1], effected[2]};
            const Law& law = laws.front();
            if (law) {
                sample.force = effected;
                try {
                    const Vec3 more = law(sample);
                    if (std::isfinite(more[0]) && std::isfinite(more[1]) &&
                        std::isfinite(more[2])) {
                        for (std::size_t i = 0; i < 3; ++i) force[i] += more[i];
                    } else {  // no force this period, rather than one of unknown size
                        force = {};
                        ++counts.failures;
                    }
                } catch (const std::exception& failure) {
                    law_failed = true;
                    CopyText(failure.what(), ended.text);
                } catch (...) {
                    law_failed = true;
                    CopyText("the law threw something other than an exception", ended.text);
                }
            }
            if (options.passivity) {
                const double span = std::chrono::duration<double>(wake - observed_at).count();
                observed_at = wake;
                passivity.observe(pushed, state.velocity, span);
                rendered_basis = law_failed ? Vec3{} : Limited(force, options.max_force);
                const double damping =
                    passivity.guard(force, state.velocity, span, options.max_force);
                if (damping > 0.0) {
                    ++counts.passivity_periods;
                    counts.dissipated += passivity.taken;
                }
                sample.energy = passivity.energy;
                sample.damping = static_cast<float>(damping);
            }
            basis = law_failed ? Vec3{} : Limited(force, options.max_force);
        }
        // Where the proxy was left: in a period without a fresh state it has not moved.
        if (taken == 0) PlaceProxy(sample, proxy_place);
        pending = sample;
        have_pending = true;

        if (counts.periods > 0) {
            const double span = Micros(wake - last_wake);
            periods.add(span);
            counts.period_max_us = std::max(counts.period_max_us, span);
        }
        if (slept) {  // a period begun at once after a late answer woke from no sleep
            const double lateness_us = std::max(0.0, Micros(wake - grid));
            lateness.add(lateness_us);
            counts.lateness_max_us = std::max(counts.lateness_max_us, lateness_us);
        }
        ++counts.periods;
        counts.elapsed = sample.time;
        last_wake = wake;
        if (late) ++counts.late;
        // Judged over stretches of periods: once no more than half of them keep the rate (an
        // answer late or lost, a wake-up or work past the deadline), it is behind for the rest
        // of the run.
        ++window_periods;
        const Clock::time_point now = Clock::now();
        if (late || lost || now >= next || !slept_on_time) ++window_slow;
        if (window_periods == kBehindWindow) {
            if (2 * window_slow >= kBehindWindow) counts.behind = true;
            window_periods = window_slow = 0;
        }

        if (law_failed) {
            counters.store(counts);
            ended.kind = ServoStop::Kind::LawFailed;
            break;
        }
        // The next period: on the next deadline; at once after a late or lost answer, or work
        // that ran past the deadline, the one after on the deadlines again. Never in a burst.
        if (late || lost || now >= next) {
            ++counts.overruns;
            grid = now >= next ? next + ((now - next) / period) * period : next - period;
            slept = false;
            counters.store(counts);
            continue;
        }
        grid = next;
        slept = true;
        counters.store(counts);
        clock.SleepUntil(next - spin);
        while (Clock::now() < next) {
        }
    }

    // Whatever ended the loop, the hand is not left pushed by the last force; an answer
    // still owed is waited for a moment, and owed to the calls after the servo beyond it.
    Interrupt::Take();
    if (ended.kind != ServoStop::Kind::LineLost) {
        int owed = outstanding.size();
        if (arm.send_force(Vec3{}).answered()) ++owed;
        const Deadline until = Deadline::After(kZeroForceSeconds);
        while (owed > 0) {
            int taken = 0;
            const Devices::Outcome outcome = arm.take_states(state, taken, until);
            owed -= taken;
            if (taken == 0 || outcome.kind == Kind::LineLost || outcome.kind == Kind::Stopped) {
                break;
            }
        }
        arm.end_loop(owed, lost_after);
    }
    guardian.Dismiss();
    if (have_pending) {
        pending.force = Vec3{};
        ring.push(pending);
        latest.store(pending);
    }
    counters.store(counts);
    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        stop = ended;
    }
    if (ended_hook) ended_hook();
    running.store(false, std::memory_order_release);
}

void LawSample(const Sample& sample, double (&out)[kLawSampleLength]) {
    std::size_t at = 0;
    out[at++] = sample.time;
    for (const float part : sample.position) out[at++] = part;
    for (const float part : sample.velocity) out[at++] = part;
    for (const float part : sample.force) out[at++] = part;
    out[at++] = sample.period;
    for (const float part : sample.orientation) out[at++] = part;
    out[at++] = sample.hall;
}

Law CompiledLaw(CompiledLawFunction function, void* context) {
    if (function == nullptr) return {};
    return [function, context](const Sample& sample) {
        double in[kLawSampleLength];
        LawSample(sample, in);
        double out[3] = {0.0, 0.0, 0.0};
        function(in, out, context);
        // Narrowed to floats: one beyond their range scaled into it along its direction, as
        // the effects do; one that is not finite stays so, and the servo counts it.
        double largest = 0.0;
        for (const double part : out) {
            if (!std::isfinite(part)) {
                constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
                return Vec3{kNone, kNone, kNone};
            }
            largest = std::max(largest, std::fabs(part));
        }
        constexpr double kFloatMax = std::numeric_limits<float>::max();
        const double scale = largest > kFloatMax ? kFloatMax / largest : 1.0;
        Vec3 force;
        for (std::size_t i = 0; i < 3; ++i)
            force[i] = static_cast<float>(std::clamp(out[i] * scale, -kFloatMax, kFloatMax));
        return force;
    };
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
    if (s.forked()) return 0;  // a copy of a servo that runs in the parent
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
    // Should this process die with the servo running, the zero force is sent for it.
    std::array<std::uint8_t, 1 + Devices::KalvarMessages::kForce.length> zero{};
    zero[0] = Devices::KalvarMessages::kForce.code;
    if (Platform::SerialPort* port = s.arm.stream != nullptr ? s.arm.stream->Port() : nullptr) {
        const int watched = s.guardian.Watch(*port, zero.data(), zero.size());
        if (watched != 0) return watched;
    }
    s.owner = Platform::ProcessId();
    s.ready = false;
    s.renew();
    s.running.store(true, std::memory_order_release);
    try {
        s.thread = std::thread([&s] { s.run(); });
    } catch (const std::system_error& failure) {
        s.running.store(false, std::memory_order_release);
        s.guardian.Dismiss();
        return failure.code().value() != 0 ? failure.code().value() : -1;
    }
    int refused = 0;
    {
        std::unique_lock<std::mutex> lock(s.ready_mutex);
        s.ready_changed.wait(lock, [&s] { return s.ready; });
        refused = s.refused;
    }
    if (refused != 0) {
        s.thread.join();
        s.guardian.Dismiss();
    }
    return refused;
}

void Servo::stop() {
    State& s = *state_;
    std::lock_guard<std::mutex> control(s.control);
    if (s.forked()) {
        // The parent's thread does not run here: its handle is let go without a join, and
        // the arm is the parent's to stop.
        if (s.thread.joinable()) new std::thread(std::move(s.thread));
        s.running.store(false, std::memory_order_release);
        return;
    }
    s.stop_requested.store(true, std::memory_order_release);
    if (s.thread.joinable()) {
        if (s.thread.get_id() == std::this_thread::get_id()) return;  // the law stops it
        s.thread.join();
    }
}

bool Servo::running() const {
    return state_->running.load(std::memory_order_acquire);
}

ServoStop Servo::stopped_by() const {
    std::lock_guard<std::mutex> lock(state_->stop_mutex);
    return state_->stop;
}

void Servo::State::give(const EffectSet& set, double glide) {
    const std::uint64_t number = ++sets_given;
    for (const Effect& effect : set) {
        const Mesh* mesh = effect.get<Mesh>();
        if (mesh == nullptr || mesh->mesh == nullptr) continue;
        const auto kept = std::find_if(kept_meshes.begin(), kept_meshes.end(),
                                       [&](const KeptMesh& k) { return k.mesh == mesh->mesh; });
        if (kept != kept_meshes.end()) {
            kept->newest = number;
        } else {
            kept_meshes.push_back({mesh->mesh, number});
        }
    }
    // Those of sets older than the one the servo took last: it holds none of them now.
    const std::uint64_t taken = set_taken.load(std::memory_order_acquire);
    kept_meshes.erase(std::remove_if(kept_meshes.begin(), kept_meshes.end(),
                                     [&](const KeptMesh& k) { return k.newest < taken; }),
                      kept_meshes.end());
    effects.back() = EffectChange{set, glide, number};
    effects.publish();
    last_effects = set;
    renew();
}

void Servo::set_effects(const EffectSet& effects) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.writer);
    s.give(effects, 0.0);
}

bool Servo::glide(const EffectSet& effects, double seconds) {
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.writer);
    if (!(seconds >= 0.0) || !std::isfinite(seconds) || !SameShape(s.last_effects, effects)) {
        return false;
    }
    s.give(effects, seconds);
    return true;
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
    // Held between a nanosecond and a century: a tiny lease is no "no lease", a vast one no
    // overflow that lapses at once.
    Clock::rep ticks = 0;
    if (seconds > 0.0) {
        const double bounded = std::min(seconds, 3e9);
        ticks = std::max<Clock::rep>(
            1, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bounded))
                   .count());
    }
    state_->lease.store(ticks, std::memory_order_relaxed);
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

double Servo::epoch() const {
    const Clock::duration since{state_->started.load(std::memory_order_relaxed)};
    return std::chrono::duration<double>(since).count();
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
    statistics.late = counts.late;
    statistics.extra = counts.extra;
    statistics.behind = counts.behind;
    statistics.grip_lost = counts.grip_lost;
    statistics.passivity_periods = counts.passivity_periods;
    statistics.dissipated = counts.dissipated;
    return statistics;
}

void Servo::on_end(std::function<void()> ended) {
    state_->ended_hook = std::move(ended);
}

const ServoOptions& Servo::options() const {
    return state_->options;
}

}  // namespace Brivane::HardwareAPI::Haptics
