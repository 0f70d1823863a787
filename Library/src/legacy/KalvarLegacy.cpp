// The arm's legacy calls: the zero-returning operations and the two halves of each
// exchange, each a thin call of the protocol core in devices/Kalvar.cpp with the per-read
// limits (each read waits the arm's time-out; a failure gives zeros and its error lines).
#include "../devices/Kalvar.h"

namespace Brivane::HardwareAPI::Devices {

namespace M = KalvarMessages;

// The receiving halves and the whole exchange, under the per-read limits.

bool Kalvar::receive(const M::Frame& answer) {
    return receive_answer({answer.code}, answer.length);
}

bool Kalvar::receive_floats(const M::Frame& answer, float* out, std::size_t count) {
    if (!receive(answer)) return false;
    M::DecodeFloats(read_buffer.get(), out, count);
    return true;
}

int Kalvar::receive_state(const M::Frame& answer, Vec3& first, Vec3& second) {
    if (!receive(answer)) return -1;
    const M::State state = M::Decode<M::State>(read_buffer.get());
    first = state.first;
    second = state.second;
    return answer.length;
}

KalvarState Kalvar::command(const M::Frame& request, const Vec3& fields, const M::Frame& answer) {
    KalvarState state;
    command(request, fields, answer, state, Limits::PerRead());
    return state;
}

// Legacy operations: each is one half of an exchange.

void Kalvar::SendDeviceWakeup() {
    send(M::kWakeup, Limits::PerRead());
}
void Kalvar::SendForce(float x, float y, float z) {
    SendForce(Vec3{x, y, z});
}
void Kalvar::SendForce(const Vec3& force) {
    send(M::kForce, force, Limits::PerRead());
}
void Kalvar::SendJointTorques(const Vec3& torques) {
    send(M::kJointTorques, torques, Limits::PerRead());
}
void Kalvar::SendAngle(const Vec3& angles) {
    send(M::kJointAngles, angles, Limits::PerRead());
}
void Kalvar::RequestCurrent() {
    send(M::kCurrentRequest, Limits::PerRead());
}
void Kalvar::SendPosition(const Vec3& position) {
    send(M::kPosition, position, Limits::PerRead());
}

int Kalvar::ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                              std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                              UUID& device_id_ext) {
    if (!receive(M::kDeviceInfo)) return -1;
    const DeviceInfo info = M::Decode<DeviceInfo>(read_buffer.get());
    device_id = info.device_id;
    device_model_number = info.device_model_number;
    hardware_version = info.hardware_version;
    firmware_version = info.firmware_version;
    device_id_ext = info.device_id_ext;
    return M::kDeviceInfo.length;
}

int Kalvar::ReceiveState(Vec3& position, Vec3& velocity) {
    return receive_state(M::kEndEffectorState, position, velocity);
}

int Kalvar::ReceiveJointState(Vec3& joint_position, Vec3& joint_velocity) {
    return receive_state(M::kJointState, joint_position, joint_velocity);
}

int Kalvar::ReceiveCurrent(Vec3& current) {
    return receive_floats(M::kCurrent, current.data(), 3) ? M::kCurrent.length : -1;
}

// Current operations: a send and its receive.

DeviceInfo Kalvar::device_wakeup() {
    DeviceInfo info;
    wake(info, Limits::PerRead());
    return info;
}

UUID Kalvar::get_firmware_version() {
    UUID identifier;
    query_identifier(M::kFirmwareIdentifier, identifier, Limits::PerRead());
    return identifier;
}

UUID Kalvar::get_device_id() {
    UUID identifier;
    query_identifier(M::kDeviceIdentifier, identifier, Limits::PerRead());
    return identifier;
}

Vec3 Kalvar::get_motor_currents() {
    Vec3 current{};
    query(M::kCurrentRequest, M::AnswerTo(M::kCurrentRequest), current.data(), current.size(),
          Limits::PerRead());
    return current;
}

std::array<float, 4> Kalvar::get_device_orientation() {
    std::array<float, 4> orientation{};
    query(M::kOrientationRequest, M::AnswerTo(M::kOrientationRequest), orientation.data(),
          orientation.size(), Limits::PerRead());
    return orientation;
}

bool Kalvar::get_power_status() {
    bool powered = false;
    query_power(powered, Limits::PerRead());
    return powered;
}

float Kalvar::get_temperature() {
    float temperature = 0.0f;
    query(M::kTemperatureRequest, M::AnswerTo(M::kTemperatureRequest), &temperature, 1,
          Limits::PerRead());
    return temperature;
}

KalvarState Kalvar::end_effector_force(const Vec3& force) {
    return command(M::kForce, force, M::AnswerTo(M::kForce));
}

KalvarState Kalvar::end_effector_position(const Vec3& position) {
    return command(M::kPosition, position, M::AnswerTo(M::kPosition));
}

KalvarState Kalvar::joint_torques(const Vec3& torques) {
    return command(M::kJointTorques, torques, M::AnswerTo(M::kJointTorques));
}

KalvarState Kalvar::joint_angles(const Vec3& angles) {
    return command(M::kJointAngles, angles, M::AnswerTo(M::kJointAngles));
}

KalvarState Kalvar::get_end_effector_position(bool onboard) {
    if (onboard) return end_effector_force(Vec3{});
    KalvarState state;
    state.first = calibration_->position(joint_angles_now());
    return state;
}

}  // namespace Brivane::HardwareAPI::Devices
