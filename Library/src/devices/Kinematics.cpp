#include "Kinematics.h"

#include <cmath>

namespace Brivane::HardwareAPI::Devices::Kinematics {

namespace {

// Constant-initialised, so ForwardKinematics is correct even before the first arm exists.
Parameters parameters;
std::array<std::atomic<float>, 3> offsets{0.0f, 0.0f, 0.0f};

float Load(const std::atomic<float>& value) {
    return value.load(std::memory_order_relaxed);
}
void Store(std::atomic<float>& value, float v) {
    value.store(v, std::memory_order_relaxed);
}

}  // namespace

Parameters& SharedParameters() {
    return parameters;
}

void ResetParameters() {
    const Parameters defaults;
    Store(parameters.proximal_a, Load(defaults.proximal_a));
    Store(parameters.proximal_b, Load(defaults.proximal_b));
    Store(parameters.distal_a, Load(defaults.distal_a));
    Store(parameters.distal_b, Load(defaults.distal_b));
    Store(parameters.pivot_distance, Load(defaults.pivot_distance));
    Store(parameters.lateral_a, Load(defaults.lateral_a));
    Store(parameters.lateral_b, Load(defaults.lateral_b));
    Store(parameters.planar_offset, Load(defaults.planar_offset));
    for (std::size_t i = 0; i < 4; ++i) {
        Store(parameters.base_orientation[i], Load(defaults.base_orientation[i]));
    }
}

std::array<float, 3> Offsets() {
    return {Load(offsets[0]), Load(offsets[1]), Load(offsets[2])};
}

void SetOffsets(const std::array<float, 3>& values) {
    for (std::size_t i = 0; i < 3; ++i) Store(offsets[i], values[i]);
}

std::array<float, 3> ForwardKinematics(float q0, float q1, float q2) {
    const float l1a = Load(parameters.proximal_a);
    const float l1b = Load(parameters.proximal_b);
    const float l2a = Load(parameters.distal_a);
    const float l2b = Load(parameters.distal_b);
    const float d = Load(parameters.pivot_distance);

    // The planar five-bar linkage driven by joints 1 and 2.
    const float theta1 = q1;
    const float theta2 = q2;
    const float x = l1a * std::cos(theta1) + d - l1b * std::cos(theta2);
    const float y = l1a * std::sin(theta1) - l1b * std::sin(theta2);
    const float phi = std::atan2(y, x);
    const float g = std::sqrt(x * x + y * y);
    float psi;
    if (static_cast<double>(g) < 1e-6) {
        psi = theta1;  // coincident elbows: the angle to the other elbow is undefined
    } else {
        // Out of reach, the acos argument leaves [-1, 1] and the NaN is the answer.
        psi = phi + kPi - std::acos((l2a * l2a + g * g - l2b * l2b) / (2.0f * g * l2a));
    }
    const float xp = l2a * std::cos(psi) + (l1a * std::cos(theta1) + d * 0.5f);
    const float yp = l2a * std::sin(psi) + l1a * std::sin(theta1);

    // The base joint turns the plane.
    const float c = std::cos(q0);
    const float s = std::sin(q0);
    const float lateral = Load(parameters.lateral_a) + Load(parameters.lateral_b);
    const float m = -(xp + Load(parameters.planar_offset));
    const float h = -c * yp + s * lateral;
    const float e = c * lateral + s * yp;

    // The base orientation, as its quaternion's rotation matrix; the quaternion is not
    // exactly unit, and the position is what that matrix gives.
    const float qx = Load(parameters.base_orientation[0]);
    const float qy = Load(parameters.base_orientation[1]);
    const float qz = Load(parameters.base_orientation[2]);
    const float qw = Load(parameters.base_orientation[3]);
    const float r00 = 1.0f - 2.0f * (qy * qy + qz * qz);
    const float r01 = 2.0f * (qx * qy - qz * qw);
    const float r02 = 2.0f * (qx * qz + qy * qw);
    const float r10 = 2.0f * (qx * qy + qz * qw);
    const float r11 = 1.0f - 2.0f * (qx * qx + qz * qz);
    const float r12 = 2.0f * (qy * qz - qx * qw);
    const float r20 = 2.0f * (qx * qz - qy * qw);
    const float r21 = 2.0f * (qy * qz + qx * qw);
    const float r22 = 1.0f - 2.0f * (qx * qx + qy * qy);
    return {r00 * m + r01 * h + r02 * e, r10 * m + r11 * h + r12 * e, r20 * m + r21 * h + r22 * e};
}

std::array<float, 3> JointCoordinates(const std::array<float, 3>& degrees,
                                      const std::array<float, 3>& o) {
    return {(degrees[0] + 90.0f) * kDegrees - o[0], (-degrees[1] - 180.0f) * kDegrees - o[1],
            (-degrees[2] - 180.0f) * kDegrees - o[2]};
}

std::array<float, 3> JointCoordinates(const std::array<float, 3>& degrees) {
    return JointCoordinates(degrees, Offsets());
}

std::array<float, 3> OffsetsFor(const std::array<float, 3>& measured,
                                const std::array<float, 3>& target) {
    return {(measured[0] - target[0]) * kDegrees, -(measured[1] - target[1]) * kDegrees,
            -(measured[2] - target[2]) * kDegrees};
}

void Calibrate(const std::array<float, 3>& measured, const std::array<float, 3>& target) {
    SetOffsets(OffsetsFor(measured, target));
}

}  // namespace Brivane::HardwareAPI::Devices::Kinematics
