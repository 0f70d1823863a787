#pragma once

#include <array>
#include <atomic>

// Host-side forward kinematics of the Kalvar arm, and the joint-angle calibration that feeds
// it. The geometry is the arm's and fixed; a calibration is a value each arm holds.
namespace Brivane::HardwareAPI::Devices::Kinematics {

using Vec3 = std::array<float, 3>;

// Degrees to radians, with the arm's own value of pi.
constexpr float kPi = 3.141592f;
constexpr float kDegrees = kPi / 180.0f;

// The arm's linkage, in metres.
struct Geometry {
    float proximal_a = 0.14f;  // link lengths of the planar five-bar linkage
    float proximal_b = 0.14f;
    float distal_a = 0.165f;
    float distal_b = 0.165f;
    float pivot_distance = 0.0f;
    float lateral_a = -0.052f;  // added together
    float lateral_b = 0.0765f;
    float planar_offset = 0.18645f;  // added to the planar x before it is negated
    // Base orientation, unit quaternion (x, y, z, w), written as the arm's maker gives it.
    std::array<float, 4> base_orientation{0.0f, 0.7071f, 0.0f, 0.7071f};
};
constexpr Geometry kGeometry{};

// End-effector position for joint coordinates q0..q2 in radians. Single precision; an
// unreachable pair of joint angles gives NaN, passed through.
Vec3 ForwardKinematics(float q0, float q1, float q2, const Geometry& geometry = kGeometry);

// Joint coordinates q0..q2 in radians for joint angles in degrees as the arm reports them,
// with `offsets` (radians) taken off.
constexpr Vec3 JointCoordinates(const Vec3& degrees, const Vec3& offsets) {
    return {(degrees[0] + 90.0f) * kDegrees - offsets[0],
            (-degrees[1] - 180.0f) * kDegrees - offsets[1],
            (-degrees[2] - 180.0f) * kDegrees - offsets[2]};
}

// The offsets (radians) that make the measured angles read as the target angles (degrees).
constexpr Vec3 OffsetsFor(const Vec3& measured, const Vec3& target) {
    return {(measured[0] - target[0]) * kDegrees, -(measured[1] - target[1]) * kDegrees,
            -(measured[2] - target[2]) * kDegrees};
}

}  // namespace Brivane::HardwareAPI::Devices::Kinematics

namespace Brivane::HardwareAPI::Devices {

// A joint-angle calibration: the offsets the joint coordinates take off, zero until the
// first calibration. Each arm holds one; arms may share one (the module's arms all do).
// Readers on other threads never race a calibration, though one may see a mix of old and
// new offsets while it runs.
class Calibration {
  public:
    // Radians, as the joint coordinates take them off.
    Kinematics::Vec3 offsets() const;
    void set_offsets(const Kinematics::Vec3& offsets);
    // Degrees, as the arm reports its angles: the measured angles less those they were
    // calibrated to read as.
    Kinematics::Vec3 offsets_in_degrees() const;
    // Makes the measured angles read as `target` (both in degrees). Refuses, and changes
    // nothing, when a measured angle is not finite: it would spoil every position after.
    bool calibrate(const Kinematics::Vec3& measured, const Kinematics::Vec3& target);
    // The end effector's position for joint angles in degrees as the arm reports them.
    Kinematics::Vec3 position(const Kinematics::Vec3& degrees) const;

  private:
    std::array<std::atomic<float>, 3> offsets_{0.0f, 0.0f, 0.0f};
};

}  // namespace Brivane::HardwareAPI::Devices
