#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "../devices/Handle.h"
#include "../devices/Kalvar.h"
#include "Effects.h"
#include "SampleRing.h"

namespace Brivane::HardwareAPI::Haptics {

struct ServoOptions {
    // Periods per second, 1 to 10000.
    double rate = 1000.0;
    // The longest force the servo ever commands, in newtons; a longer one is scaled down to
    // it. 3 N is felt clearly and held easily, so that a wrong stiffness (millimetres taken
    // for metres, a sign turned) makes a firm push rather than a jolt to the hand; raise it
    // for an effect that needs more once it is known to behave.
    double max_force = 3.0;
    // Seconds over which forces fade in after start() and after a lapsed lease is renewed,
    // and fade out when the lease lapses; 0 switches them at once.
    double ramp = 0.5;
    // Seconds the forces last without renew() (or new effects or a new law) before they fade
    // out: a program that hangs or dies stops pushing the hand. 0: no lease.
    double lease = 0.0;
    // Whether the servo thread asks for real-time priority; start() fails when refused.
    bool realtime = false;
    // Seconds before each deadline at which the thread stops sleeping and spins to it, up to
    // half a period: a wake-up on time, wherever the system wakes sleepers late, for
    // that share of a core. 0: it sleeps to the deadline.
    double spin = 0.0;
    // Samples the record holds for a reader that falls behind (rounded up to a power of two).
    std::size_t samples = 65536;
    // A passivity observer and controller: the observer sums the energy the commanded force
    // puts into the hand (force · velocity · period); whenever the forces have put out more
    // than they took in, the controller adds just the damping that takes the excess back,
    // within max_force. It guards every effect, law and glide, and the sampled wall's own
    // excess, which makes a stiff wall buzz.
    bool passivity = false;
};

// Why a servo stopped.
struct ServoStop {
    enum class Kind : std::uint8_t {
        None,         // it runs, or never ran
        Requested,    // stop() or the destructor
        LineLost,     // the line was lost: `error` is the system's number
        Interrupted,  // the interrupt check asked the exchange to stop
        LawFailed,    // the law threw: `text` is what it said
        NoAnswer,     // the arm answered nothing for longer than its time-out
    };
    Kind kind = Kind::None;
    int error = 0;
    std::array<char, 256> text{};
};

struct ServoStatistics {
    std::uint64_t periods = 0;   // since start
    std::uint64_t overruns = 0;  // periods whose work ended past the next deadline
    // Answers lost (none came within two periods, at least 1.5 ms) and answers that were no
    // answer: each counted once; the periods after one fade the last force.
    std::uint64_t failures = 0;
    double rate_hz = 0.0;  // periods per second since start
    // Microseconds; the percentiles to within 2%, the maxima exact, all since start.
    double period_p50_us = 0.0;
    double period_p99_us = 0.0;
    double period_max_us = 0.0;
    double lateness_p99_us = 0.0;  // wake-up time past the deadline
    double lateness_max_us = 0.0;
    std::uint64_t late = 0;   // answers that came past their period's deadline, and were used
    std::uint64_t extra = 0;  // answers beyond the requests sent (an arm that repeats one)
    // The servo cannot hold its rate: no more than half the periods of a stretch of 200 kept
    // it (their answer late or lost, or the thread itself late). It goes on at the pace the
    // arm and the machine allow.
    bool behind = false;
    bool grip_lost = false;  // the grip's line was lost: the samples keep its last status
    // Passivity: the periods whose force the controller damped, and the energy it took back
    // in all (J).
    std::uint64_t passivity_periods = 0;
    double dissipated = 0.0;
};

// A law computes a force from the period's sample (its `force` holds the effects' sum);
// called on the servo thread. Its force is added to the effects'. A force that is not finite
// commands none for that period and counts as a failure.
using Law = std::function<Vec3(const Sample&)>;

// A law compiled to machine code, called on the servo thread in the period: `sample` holds
// kLawSampleLength doubles (LawSample), `force` three, zero at the call, which it fills in
// newtons; `context` is the caller's. It runs within the period, so it must not allocate,
// block, take a lock or call into an interpreter.
using CompiledLawFunction = void (*)(const double* sample, double* force, void* context);
// The layout of a compiled law's sample: time (s), position (3, m), velocity (3, m/s), the
// effects' force this period (3, N), the period (s), the grip's orientation (4, as the
// samples hold it) and its hall level.
constexpr std::size_t kLawSampleLength = 16;
void LawSample(const Sample& sample, double (&out)[kLawSampleLength]);
// `function` as a Law, with `context` handed to each call; copying it allocates nothing.
Law CompiledLaw(CompiledLawFunction function, void* context = nullptr);

// A fixed-rate loop on its own thread that owns the arm's exchanges while it runs: each
// period it sends the force computed in the last one and receives the arm's state, computes
// the next force from the effects and the law, holds it below max_force, fades it by the
// ramp and the lease, and records the period. A period allocates nothing, takes no lock
// another thread holds, logs nothing, and makes no system call besides the exchange and the
// sleep (the law is the caller's). Whenever the loop ends, it sends a zero force once more.
//
// An answer that comes past its deadline is waited for, up to two periods (at least 1.5 ms)
// after its request, and used: the period stretches and counts as an overrun, and the next
// one begins at once. An answer that does not come by then is lost: the next request goes
// out with the last force faded, as in every period without a fresh state (to nothing
// within 10 ms). An arm silent for longer than its time-out stops the servo (NoAnswer). So
// an arm slower than the period is rendered at its own pace, and `behind` says so.
//
// Where the system allows (Linux), a guardian process shares the port while the servo runs
// and sends the zero force should this process die without stopping it.
//
// While it runs nothing else may use the arm. Its methods may be called from any thread.
class Servo {
  public:
    // With a grip, each period also takes the grip's queued messages, without waiting, and
    // the samples carry its latest orientation and hall level: the pose and trigger of a
    // teleoperation, on the arm's clock. While the servo runs nothing else may read the grip
    // (sending to it stays allowed).
    Servo(Devices::Kalvar& arm, const ServoOptions& options = {}, Devices::Handle* grip = nullptr);
    // Stops the loop.
    ~Servo();
    Servo(const Servo&) = delete;
    Servo& operator=(const Servo&) = delete;

    // Starts the loop. 0, or the system's error number when it could not start: the thread
    // could not be made, or the real-time priority asked for was refused. Starting a running
    // servo does nothing.
    int start();
    // Ends the loop, sends a zero force and waits for the thread. Within a period and an
    // exchange.
    void stop();
    bool running() const;
    // Why the last run ended; Kind::None while it runs.
    ServoStop stopped_by() const;

    // Replaces the effects as a whole: the loop uses the new set from its next period on and
    // never sees part of one. Renews the lease.
    void set_effects(const EffectSet& effects);
    EffectSet effects() const;
    // Replaces the effects by a set of the same shape (the same effects in the same order,
    // SameShape), moving every number from where it is to the new one, in a straight line,
    // over `seconds`, in the servo's thread; a glide under way goes on from where it is.
    // effects() is the new set at once. Renews the lease. False, changing nothing, for a set
    // of another shape (set_effects replaces one) or seconds that are not a finite number of
    // at least 0.
    bool glide(const EffectSet& effects, double seconds);
    // Replaces the law (an empty one: none). Renews the lease.
    void set_law(Law law);
    void renew();
    // Changes the lease (seconds; 0: none), running or not, and renews it; options() keeps
    // the one the servo was made with.
    void set_lease(double seconds);

    // The record of every period, for one reader.
    SampleRing& samples();
    // The latest sample.
    Sample latest() const;
    // When the samples' time 0 was, on the monotonic clock (std::chrono::steady_clock, which
    // is CLOCK_MONOTONIC on Linux, the clock of Python's time.monotonic() and of the
    // proxy's traces), in seconds: the latest run's start, 0 before any. A sample's time plus
    // this is its time on that clock.
    double epoch() const;
    ServoStatistics statistics() const;
    const ServoOptions& options() const;
    // Called on the servo's thread once a run has ended, after its zero force went out, so
    // that whoever lent the arm may take it back; set before start().
    void on_end(std::function<void()> ended);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Brivane::HardwareAPI::Haptics
