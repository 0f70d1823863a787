// The simulated Kalvar: three joints with inertia and viscous damping, integrated in steps
// of at most a millisecond whenever a command arrives. The answer to a command is the state
// the arm has reached at that moment; the command then acts until the next one.
#include <algorithm>
#include <cmath>

#include "Sim.h"
#include "devices/KalvarMessages.h"
#include "devices/Kinematics.h"

namespace Brivane::Sim {

namespace {

namespace Kinematics = HardwareAPI::Devices::Kinematics;
using Vec3 = ArmModel::Vec3;

constexpr double kPi = 3.14159265358979323846;
constexpr double kToDegrees = 180.0 / kPi;

using namespace HardwareAPI::Devices::KalvarMessages;

// Identity.
constexpr std::uint8_t kHardwareVersion = 3;
constexpr std::uint8_t kFirmwareRevision = 14;
constexpr std::uint8_t kIdentifierPrefix[14] = {0x5b, 0x1d, 0x0d, 0x5e, 0x0a, 0x7c, 0x4b,
                                                0x5a, 0x9c, 0x3e, 0x00, 0x00, 0x00, 0x00};
constexpr std::uint8_t kFirmwareId[16] = {'K', 'A', 'L', 'V', 'A', 'R', '-', 'S',
                                          'I', 'M', '-', '1', '.', '4', 0,   0};

// Mechanics, in SI units and radians.
constexpr Vec3 kInertia = {0.0004, 0.0002, 0.0002};
constexpr Vec3 kDamping = {0.004, 0.002, 0.002};
constexpr double kMaxTorque = 1.0;                       // per motor
constexpr double kTorqueConstant = 0.08;                 // N·m per A
constexpr double kAngleStiffness = 2.0;                  // joint set points, N·m per rad
constexpr double kAngleDamping = 0.03;                   // N·m·s per rad
constexpr double kWatchdog = 0.1;                        // s a force or torque stays applied
constexpr auto kMaxStep = std::chrono::milliseconds(1);  // integration step
constexpr auto kMaxCatchUp = std::chrono::seconds(2);    // longer pauses: the arm has settled
// Joint ranges: the base, and the two arms of the linkage by their mean and spread.
constexpr double kBaseLimit = 60.0 / kToDegrees;
constexpr double kMeanLimit = 70.0 / kToDegrees;
constexpr double kSpreadMin = 20.0 / kToDegrees;
constexpr double kSpreadMax = 170.0 / kToDegrees;
// Motor temperature: ambient, thermal resistance (K per W of copper loss), time constant.
constexpr double kAmbient = 30.0;
constexpr double kWinding = 1.5;  // ohm
constexpr double kThermalResistance = 4.0;
constexpr double kThermalTime = 60.0;

// The answer to `request`, with the record's fields.
template <typename Record>
Bytes Reply(const Frame& request, const Record& record) {
    const Frame answer = AnswerTo(request);
    Bytes message(1 + answer.length);
    message[0] = answer.code;
    Encode(record, message.data() + 1);
    return message;
}

std::array<float, 3> Single(const Vec3& v, double scale = 1.0) {
    return {static_cast<float>(v[0] * scale), static_cast<float>(v[1] * scale),
            static_cast<float>(v[2] * scale)};
}

// An answer of two vectors, each scaled by `scale`.
Bytes StateAnswer(const Frame& request, const Vec3& first, const Vec3& second, double scale) {
    return Reply(request, State{Single(first, scale), Single(second, scale)});
}

bool Finite(const Vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// Columns d(position)/d(angle j), by central differences.
std::array<Vec3, 3> Jacobian(const Vec3& angles) {
    constexpr double h = 1e-3;
    std::array<Vec3, 3> columns{};
    for (std::size_t j = 0; j < 3; ++j) {
        Vec3 up = angles;
        Vec3 down = angles;
        up[j] += h;
        down[j] -= h;
        const Vec3 a = ArmModel::Position(up);
        const Vec3 b = ArmModel::Position(down);
        for (std::size_t i = 0; i < 3; ++i) columns[j][i] = (a[i] - b[i]) / (2 * h);
    }
    return columns;
}

// J transposed times a force: the joint torques that push the end effector with it.
Vec3 JointTorques(const std::array<Vec3, 3>& jacobian, const Vec3& force) {
    Vec3 torque{};
    for (std::size_t j = 0; j < 3; ++j) {
        for (std::size_t i = 0; i < 3; ++i) torque[j] += jacobian[j][i] * force[i];
    }
    return torque;
}

// Keeps the joints in their ranges; a joint stopped by its limit loses its speed.
void Limit(Vec3& angle, Vec3& velocity) {
    if (std::abs(angle[0]) > kBaseLimit) {
        angle[0] = std::copysign(kBaseLimit, angle[0]);
        velocity[0] = 0.0;
    }
    // The linkage's two arms must neither cross nor fold flat: limit their mean and spread.
    double mean = (angle[1] + angle[2]) / 2;
    double spread = angle[2] - angle[1];
    double mean_speed = (velocity[1] + velocity[2]) / 2;
    double spread_speed = velocity[2] - velocity[1];
    if (std::abs(mean) > kMeanLimit) {
        mean = std::copysign(kMeanLimit, mean);
        mean_speed = 0.0;
    }
    if (spread < kSpreadMin || spread > kSpreadMax) {
        spread = std::clamp(spread, kSpreadMin, kSpreadMax);
        spread_speed = 0.0;
    }
    angle[1] = mean - spread / 2;
    angle[2] = mean + spread / 2;
    velocity[1] = mean_speed - spread_speed / 2;
    velocity[2] = mean_speed + spread_speed / 2;
}

}  // namespace

std::array<std::uint8_t, 16> ArmModel::Identifier() const {
    // Stable for a serial number, as a device's factory identifier is.
    std::array<std::uint8_t, 16> id{};
    std::copy(std::begin(kIdentifierPrefix), std::end(kIdentifierPrefix), id.begin());
    id[14] = static_cast<std::uint8_t>(serial_ >> 8);
    id[15] = static_cast<std::uint8_t>(serial_ & 0xFF);
    return id;
}

ArmModel::ArmModel(std::uint16_t serial, const Hand& hand)
    : serial_(serial),
      hand_(hand),
      angle_{0.0, -45.0 / kToDegrees, 45.0 / kToDegrees},  // the rest pose
      temperature_(kAmbient),
      commanded_(Clock::now()),
      last_(commanded_) {
    held_at_ = Position(angle_);
}

Vec3 ArmModel::Position(const Vec3& angles) {
    // The arm's own kinematics knows nothing of the host's calibration offsets.
    const Kinematics::Vec3 q = Kinematics::JointCoordinates(Single(angles, kToDegrees), {});
    const Kinematics::Vec3 p = Kinematics::ForwardKinematics(q[0], q[1], q[2]);
    return {p[0], p[1], p[2]};
}

long ArmModel::FrameLength(const std::uint8_t* in, std::size_t) const {
    const Exchange* exchange = FindExchange(in[0]);
    return exchange != nullptr ? 1 + exchange->request.length : -1;
}

void ArmModel::Command(const std::uint8_t* frame, std::size_t, Clock::time_point now,
                       std::vector<Bytes>& answers) {
    Advance(now);
    const std::uint8_t code = frame[0];
    switch (code) {
        case kWakeup.code: {
            HardwareAPI::DeviceInfo info;
            info.device_id = serial_;
            info.device_model_number = kModelNumber;
            info.hardware_version = kHardwareVersion;
            info.firmware_version = kFirmwareRevision;
            info.device_id_ext.bytes = Identifier();
            answers.push_back(Reply(kWakeup, info));
            return;
        }
        case kOrientationRequest.code:
            answers.push_back(
                Reply(kOrientationRequest, Orientation{{0.0f, 0.7071f, 0.0f, 0.7071f}}));
            return;
        case kIdentifierRequest.code: {
            const std::uint8_t sub_code = Decode<IdentifierQuery>(frame + 1).sub_code;
            if (sub_code != kDeviceIdentifier && sub_code != kFirmwareIdentifier)
                return;  // not ours
            HardwareAPI::Devices::KalvarMessages::Identifier
                answer;  // the record, not Identifier()
            answer.sub_code = sub_code;
            answer.length = static_cast<std::uint8_t>(answer.bytes.size());
            if (sub_code == kDeviceIdentifier) {
                answer.bytes = Identifier();
            } else {
                std::copy(std::begin(kFirmwareId), std::end(kFirmwareId), answer.bytes.begin());
            }
            answers.push_back(Reply(kIdentifierRequest, answer));
            return;
        }
        case kTemperatureRequest.code:
            answers.push_back(
                Reply(kTemperatureRequest, Temperature{static_cast<float>(temperature_)}));
            return;
        case kCurrentRequest.code: {
            const auto current = [&](std::size_t j) {
                return static_cast<float>(motor_torque_[j] / kTorqueConstant);
            };
            answers.push_back(Reply(kCurrentRequest, Vector{{current(0), current(1), current(2)}}));
            return;
        }
        case kPowerStatusRequest.code:
            answers.push_back(Reply(kPowerStatusRequest, PowerStatus{1}));
            return;
        default:
            break;
    }

    // A motion command: answer with the state reached, then act on the new command.
    const Frame request = FindExchange(code)->request;
    if (AnswerTo(request).code == kJointState.code) {
        answers.push_back(StateAnswer(request, angle_, velocity_, kToDegrees));
    } else {
        const std::array<Vec3, 3> jacobian = Jacobian(angle_);
        Vec3 speed{};
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 3; ++j) speed[i] += jacobian[j][i] * velocity_[j];
        }
        answers.push_back(StateAnswer(request, Position(angle_), speed, 1.0));
    }

    const std::array<float, 3> command = Decode<Vector>(frame + 1).values;
    Vec3 value = {command[0], command[1], command[2]};
    if (!Finite(value)) {
        drive_ = Drive::Free;  // a command the motors cannot follow is not followed
        return;
    }
    switch (code) {
        case kJointTorques.code:
            drive_ = Drive::Torque;
            break;
        case kJointAngles.code:
            drive_ = Drive::JointAngles;
            for (double& angle : value) angle /= kToDegrees;
            break;
        case kForce.code:
            drive_ = Drive::Force;
            break;
        default:  // a position: the joints are driven to the angles that reach it
            drive_ = Drive::JointAngles;
            if (value != reached_position_) {
                reached_position_ = value;
                reaching_angles_ = Reach(value);
            }
            value = reaching_angles_;
            break;
    }
    target_ = value;
    commanded_ = now;
}

void ArmModel::Advance(Clock::time_point now) {
    if (now <= last_) return;
    auto left = std::min<Clock::duration>(now - last_, kMaxCatchUp);
    Clock::time_point at = now - left;
    while (left > Clock::duration::zero()) {
        const Clock::duration step = std::min<Clock::duration>(left, kMaxStep);
        // Forces and torques are held only briefly: a host that stops talking stops pushing.
        if ((drive_ == Drive::Force || drive_ == Drive::Torque) &&
            at - commanded_ > std::chrono::duration<double>(kWatchdog)) {
            drive_ = Drive::Free;
        }
        Step(std::chrono::duration<double>(step).count());
        at += step;
        left -= step;
    }
    last_ = now;
}

Vec3 ArmModel::Reach(const Vec3& target) const {
    // Damped least squares from the present pose: near the nearest pose when out of reach.
    constexpr double kDampingSquared = 1e-6;
    Vec3 angles = angle_;
    for (int iteration = 0; iteration < 30; ++iteration) {
        const Vec3 p = Position(angles);
        const Vec3 e = {target[0] - p[0], target[1] - p[1], target[2] - p[2]};
        if (std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]) < 1e-7) break;
        const std::array<Vec3, 3> columns = Jacobian(angles);
        // A = J J^T + damping, then the step J^T A^-1 e.
        double a[3][3];
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t k = 0; k < 3; ++k) {
                a[i][k] = (i == k) ? kDampingSquared : 0.0;
                for (std::size_t j = 0; j < 3; ++j) a[i][k] += columns[j][i] * columns[j][k];
            }
        }
        const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
        if (!(std::abs(det) > 0)) break;
        Vec3 y{};  // A^-1 e by Cramer's rule
        for (std::size_t c = 0; c < 3; ++c) {
            double m[3][3];
            for (std::size_t i = 0; i < 3; ++i) {
                for (std::size_t k = 0; k < 3; ++k) m[i][k] = (k == c) ? e[i] : a[i][k];
            }
            y[c] = (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                    m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                    m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0])) /
                   det;
        }
        const Vec3 step = JointTorques(columns, y);  // J^T y
        for (std::size_t j = 0; j < 3; ++j) angles[j] += step[j];
        Vec3 still{};
        Limit(angles, still);
    }
    return angles;
}

Vec3 ArmModel::MotorTorque(const std::array<Vec3, 3>& jacobian) const {
    Vec3 torque{};
    switch (drive_) {
        case Drive::Free:
            break;
        case Drive::Torque:
            torque = target_;
            break;
        case Drive::Force:
            torque = JointTorques(jacobian, target_);
            break;
        case Drive::JointAngles:
            for (std::size_t j = 0; j < 3; ++j) {
                torque[j] =
                    kAngleStiffness * (target_[j] - angle_[j]) - kAngleDamping * velocity_[j];
            }
            break;
    }
    for (double& t : torque) t = std::clamp(t, -kMaxTorque, kMaxTorque);
    return torque;
}

Vec3 ArmModel::HandForce(const std::array<Vec3, 3>& jacobian) const {
    Vec3 force = hand_.push;
    if (hand_.stiffness > 0 || hand_.damping > 0) {
        const Vec3 p = Position(angle_);
        for (std::size_t i = 0; i < 3; ++i) {
            double speed = 0;  // of the end effector, J times the joint velocities
            for (std::size_t j = 0; j < 3; ++j) speed += jacobian[j][i] * velocity_[j];
            force[i] += hand_.stiffness * (held_at_[i] - p[i]) - hand_.damping * speed;
        }
    }
    return force;
}

void ArmModel::Step(double dt) {
    const bool hand = hand_.push != Vec3{} || hand_.stiffness > 0 || hand_.damping > 0;
    const std::array<Vec3, 3> jacobian =
        drive_ == Drive::Force || hand ? Jacobian(angle_) : std::array<Vec3, 3>{};
    motor_torque_ = MotorTorque(jacobian);
    // The hand acts through the linkage as the motors do, but draws no current.
    const Vec3 hand_torque = hand ? JointTorques(jacobian, HandForce(jacobian)) : Vec3{};

    double loss = 0.0;
    for (std::size_t j = 0; j < 3; ++j) {
        // Semi-implicit Euler: the new velocity moves the joint.
        velocity_[j] +=
            dt * (motor_torque_[j] + hand_torque[j] - kDamping[j] * velocity_[j]) / kInertia[j];
        angle_[j] += dt * velocity_[j];
        const double current = motor_torque_[j] / kTorqueConstant;
        loss += current * current * kWinding;
    }
    Limit(angle_, velocity_);

    const double settled = kAmbient + kThermalResistance * loss;
    temperature_ += (settled - temperature_) * (1.0 - std::exp(-dt / kThermalTime));
}

}  // namespace Brivane::Sim
