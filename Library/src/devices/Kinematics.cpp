#include "Kinematics.h"

#include <cmath>

namespace Brivane::HardwareAPI::Devices::Kinematics {

Vec3 ForwardKinematics(float q0, float q1, float q2, const Geometry& geometry) {
    const float l1a = geometry.proximal_a;
    const float l1b = geometry.proximal_b;
    const float l2a = geometry.distal_a;
    const float l2b = geometry.distal_b;
    const float d = geometry.pivot_distance;

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
    const float lateral = geometry.lateral_a + geometry.lateral_b;
    const float m = -(xp + geometry.planar_offset);
    const float h = -c * yp + s * lateral;
    const float e = c * lateral + s * yp;

    // The base orientation, as its quaternion's rotation matrix; the quaternion is not
    // exactly unit, and the position is what that matrix gives.
    const float qx = geometry.base_orientation[0];
    const float qy = geometry.base_orientation[1];
    const float qz = geometry.base_orientation[2];
    const float qw = geometry.base_orientation[3];
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

}  // namespace Brivane::HardwareAPI::Devices::Kinematics

namespace Brivane::HardwareAPI::Devices {

Kinematics::Vec3 Calibration::offsets() const {
    return {offsets_[0].load(std::memory_order_relaxed),
            offsets_[1].load(std::memory_order_relaxed),
            offsets_[2].load(std::memory_order_relaxed)};
}

void Calibration::set_offsets(const Kinematics::Vec3& offsets) {
    for (std::size_t i = 0; i < 3; ++i) offsets_[i].store(offsets[i], std::memory_order_relaxed);
}

Kinematics::Vec3 Calibration::offsets_in_degrees() const {
    const Kinematics::Vec3 radians = offsets();
    return {radians[0] / Kinematics::kDegrees, -radians[1] / Kinematics::kDegrees,
            -radians[2] / Kinematics::kDegrees};
}

bool Calibration::calibrate(const Kinematics::Vec3& measured, const Kinematics::Vec3& target) {
    for (const float angle : measured) {
        if (!std::isfinite(angle)) return false;
    }
    set_offsets(Kinematics::OffsetsFor(measured, target));
    return true;
}

Kinematics::Vec3 Calibration::position(const Kinematics::Vec3& degrees) const {
    const Kinematics::Vec3 q = Kinematics::JointCoordinates(degrees, offsets());
    return Kinematics::ForwardKinematics(q[0], q[1], q[2]);
}

}  // namespace Brivane::HardwareAPI::Devices
