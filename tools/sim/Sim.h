#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

// The simulated devices of brivane-sim: each turns the commands the host writes into the
// messages the real device would send back, and may send messages of its own.
namespace Brivane::Sim {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

class Model {
  public:
    virtual ~Model() = default;

    // Size of the command that starts `in` (n bytes so far): its whole length, 0 when more
    // bytes are needed to tell, -1 when the first byte starts no command of this device.
    virtual long FrameLength(const std::uint8_t* in, std::size_t n) const = 0;
    // Acts on one whole command and appends the messages that answer it.
    virtual void Command(const std::uint8_t* frame, std::size_t n, Clock::time_point now,
                         std::vector<Bytes>& answers) = 0;
    // A byte that starts no command; the device may complain about it.
    virtual void Unknown(std::uint8_t, std::vector<Bytes>&) {}

    // Messages the device sends on its own, and when the next one is due.
    virtual void Stream(Clock::time_point, std::vector<Bytes>&) {}
    virtual std::optional<Clock::time_point> NextStream() const { return std::nullopt; }

    // The host closed the port: back to the state of a device just plugged in.
    virtual void Reset() {}
};

// A hand on the arm's end effector: a steady push (N, in the arm's frame) and a hold, a
// spring of `stiffness` N/m with `damping` N·s/m towards where the hand took the handle
// (the end effector's place when the simulator started). Zero: no hand.
struct Hand {
    std::array<double, 3> push{};
    double stiffness = 0.0;
    double damping = 0.0;
};

// The Kalvar arm: damped joints moved by the commanded torques, forces or set points, and
// by the hand, when there is one.
class ArmModel final : public Model {
  public:
    using Vec3 = std::array<double, 3>;

    explicit ArmModel(std::uint16_t serial, const Hand& hand = Hand{});

    long FrameLength(const std::uint8_t* in, std::size_t n) const override;
    void Command(const std::uint8_t* frame, std::size_t n, Clock::time_point now,
                 std::vector<Bytes>& answers) override;

    // End-effector position for joint angles in radians (the wire's angles, not the host's
    // calibrated coordinates).
    static Vec3 Position(const Vec3& angles);

  private:
    enum class Drive { Free, Force, Torque, JointAngles };
    static constexpr double kUnset = std::numeric_limits<double>::quiet_NaN();

    std::array<std::uint8_t, 16> Identifier() const;
    void Advance(Clock::time_point now);
    void Step(double dt);
    // Joint angles that put the end effector at `target`, from the present pose.
    Vec3 Reach(const Vec3& target) const;
    Vec3 MotorTorque(const std::array<Vec3, 3>& jacobian) const;
    // The hand's force on the end effector, in newtons.
    Vec3 HandForce(const std::array<Vec3, 3>& jacobian) const;

    const std::uint16_t serial_;
    const Hand hand_;
    Vec3 held_at_{};       // where the hand holds the end effector
    Vec3 angle_;           // radians
    Vec3 velocity_{};      // radians per second
    Vec3 motor_torque_{};  // last applied, for the currents
    double temperature_;
    Drive drive_ = Drive::Free;
    Vec3 target_{};  // force, torque or angles (radians), by drive_
    // The last position command, and the angles that reach it.
    Vec3 reached_position_{kUnset, kUnset, kUnset};
    Vec3 reaching_angles_{};
    Clock::time_point commanded_;
    Clock::time_point last_;
};

enum class StatusForm { Fixed, Stuffed };

// The Handle grip: quiet until woken, then a status stream at a fixed rate.
class GripModel final : public Model {
  public:
    // rate: status messages per second after the wake-up (0: only on request); count: stop
    // the stream after this many (0: never).
    GripModel(std::uint16_t serial, StatusForm form, double rate, std::uint64_t count);

    long FrameLength(const std::uint8_t* in, std::size_t n) const override;
    void Command(const std::uint8_t* frame, std::size_t n, Clock::time_point now,
                 std::vector<Bytes>& answers) override;
    void Unknown(std::uint8_t code, std::vector<Bytes>& answers) override;
    void Stream(Clock::time_point now, std::vector<Bytes>& messages) override;
    std::optional<Clock::time_point> NextStream() const override;
    void Reset() override;

  private:
    Bytes Status(Clock::time_point now) const;

    const std::uint16_t serial_;
    const StatusForm form_;
    const double rate_;
    const std::uint64_t count_;
    const Clock::time_point born_ = Clock::now();
    bool awake_ = false;
    Clock::time_point stream_start_;
    Clock::time_point last_burst_;
    std::uint64_t streamed_ = 0;
    Bytes user_data_;  // of the last handle state
};

}  // namespace Brivane::Sim
