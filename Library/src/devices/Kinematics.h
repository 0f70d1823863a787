#pragma once

#include <array>
#include <atomic>

// Host-side forward kinematics of the Kalvar arm, and the joint-angle calibration that feeds
// it. Parameters and offsets are process-wide: every arm shares them. Each value is an atomic,
// so readers and writers on different threads never race (a reader may see a mix of old and
// new values while adjust_angles runs, as the arms' shared calibration always allowed).
namespace Brivane::HardwareAPI::Devices::Kinematics {

// Degrees to radians, with the arm's own value of pi.
constexpr float kPi = 3.141592f;
constexpr float kDegrees = kPi / 180.0f;

struct Parameters {
    std::atomic<float> proximal_a{0.14f};  // link lengths of the planar linkage
    std::atomic<float> proximal_b{0.14f};
    std::atomic<float> distal_a{0.165f};
    std::atomic<float> distal_b{0.165f};
    std::atomic<float> pivot_distance{0.0f};
    std::atomic<float> lateral_a{-0.052f};  // added together
    std::atomic<float> lateral_b{0.0765f};
    std::atomic<float> planar_offset{0.18645f};  // added to the planar x before it is negated
    // Base orientation, unit quaternion (x, y, z, w), written as the arm's maker gives it.
    std::array<std::atomic<float>, 4> base_orientation{0.0f, 0.7071f, 0.0f, 0.7071f};
};

// The process-wide parameters. Initialised before any use; every arm construction writes
// the same values again through ResetParameters.
Parameters& SharedParameters();
void ResetParameters();

// Joint-angle offsets in radians, shared by every arm; zero until the first calibration.
std::array<float, 3> Offsets();
void SetOffsets(const std::array<float, 3>& offsets);

// End-effector position for joint coordinates q0..q2 in radians. Single precision; an
// unreachable pair of joint angles gives NaN, passed through.
std::array<float, 3> ForwardKinematics(float q0, float q1, float q2);

// Joint coordinates q0..q2 in radians for joint angles in degrees as the arm reports them,
// with the shared offsets taken off, or the given ones.
std::array<float, 3> JointCoordinates(const std::array<float, 3>& degrees);
std::array<float, 3> JointCoordinates(const std::array<float, 3>& degrees,
                                      const std::array<float, 3>& offsets);

// The offsets that make the measured angles read as the target angles (degrees).
std::array<float, 3> OffsetsFor(const std::array<float, 3>& measured,
                                const std::array<float, 3>& target);
// Stores them as the shared offsets.
void Calibrate(const std::array<float, 3>& measured, const std::array<float, 3>& target);

}  // namespace Brivane::HardwareAPI::Devices::Kinematics
