#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "Device.h"
#include "DeviceInfo.h"
#include "SerialStream.h"
#include "UUID.h"

namespace Brivane::HardwareAPI::Devices {

// The arm's messages: a code byte and the number of bytes after it. A new message is a row
// here; the operations below only name rows.
namespace KalvarMessages {

struct Frame {
    std::uint8_t code;
    std::uint8_t length;
};

// Host to arm.
inline constexpr Frame kWakeup{0x0A, 0};
inline constexpr Frame kOrientationRequest{0x0C, 0};
inline constexpr Frame kIdentifierRequest{0x0D, 1};  // the sub-code below
inline constexpr Frame kJointTorques{0x1A, 12};
inline constexpr Frame kJointAngles{0x1C, 12};
inline constexpr Frame kForce{0x2A, 12};
inline constexpr Frame kPosition{0x2C, 12};
inline constexpr Frame kTemperatureRequest{0xAA, 0};
inline constexpr Frame kCurrentRequest{0xAB, 0};
inline constexpr Frame kPowerStatusRequest{0xAC, 0};

// Arm to host.
inline constexpr Frame kDeviceInfo{0x0B, DeviceInfo::kWireSize};
inline constexpr Frame kOrientation{0x0C, 16};
inline constexpr Frame kIdentifier{0x0D, 18};  // the sub-code echoed, a length byte, 16 bytes
inline constexpr Frame kJointState{0x1B, 24};
inline constexpr Frame kEndEffectorState{0x2B, 24};
inline constexpr Frame kTemperature{0xAA, 4};
inline constexpr Frame kCurrent{0xAB, 12};
inline constexpr Frame kPowerStatus{0xAC, 1};

// Identifier sub-codes.
inline constexpr std::uint8_t kDeviceIdentifier = 0xD1;
inline constexpr std::uint8_t kFirmwareIdentifier = 0xD2;

}  // namespace KalvarMessages

using Vec3 = std::array<float, 3>;

// An answer of two vectors: position and velocity of the end effector, or joint angles in
// degrees and joint velocities.
struct KalvarState {
    Vec3 first{};
    Vec3 second{};
};

// The three-joint haptic arm. Every operation is one request/response exchange; a missing,
// mismatched or short answer gives zero values. The legacy operations are the two halves of
// those exchanges, kept for older callers.
struct Kalvar : Device {
    Kalvar(IO::SerialStream* stream, float timeout);

    DeviceInfo device_wakeup();
    UUID get_firmware_version();
    UUID get_device_id();
    Vec3 get_motor_currents();
    std::array<float, 4> get_device_orientation();
    bool get_power_status();
    float get_temperature();
    KalvarState end_effector_force(const Vec3& force);
    KalvarState end_effector_position(const Vec3& position);
    KalvarState joint_torques(const Vec3& torques);
    KalvarState joint_angles(const Vec3& angles);
    // Onboard: the arm's own state, at the cost of commanding a zero force. Otherwise the
    // position is computed here from the joint angles, with a zero velocity.
    KalvarState get_end_effector_position(bool onboard);
    // Calibrates the shared joint-angle offsets so that the arm's present pose reads as
    // `angles` (degrees). Affects every arm in the process.
    void adjust_angles(const Vec3& angles);

    // The current operations as exchanges that tell how they ended (Device.h). The
    // outputs are written only when the whole answer came; the operations above are these
    // with the device's timeout for each read and zeros for a failure.
    Outcome wake(DeviceInfo& info, const Limits& limits);
    Outcome command(const KalvarMessages::Frame& request, const Vec3& fields,
                    const KalvarMessages::Frame& answer, KalvarState& state, const Limits& limits);
    // A request without fields whose answer is `count` floats (currents, orientation,
    // temperature).
    Outcome query(const KalvarMessages::Frame& request, const KalvarMessages::Frame& answer,
                  float* out, std::size_t count, const Limits& limits);
    Outcome query_power(bool& powered, const Limits& limits);
    Outcome query_identifier(std::uint8_t sub_code, UUID& identifier, const Limits& limits);

    // Legacy: sends only.
    void SendDeviceWakeup();
    void SendForce(float x, float y, float z);
    void SendForce(const Vec3& force);
    void SendJointTorques(const Vec3& torques);
    void SendAngle(const Vec3& angles);
    void RequestCurrent();
    void SendPosition(const Vec3& position);
    // Legacy: receives only. The outputs are written only when the whole answer arrived;
    // the result is the payload length then, -1 otherwise.
    int ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                          std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                          UUID& device_id_ext);
    int ReceiveState(Vec3& position, Vec3& velocity);
    int ReceiveJointState(Vec3& joint_position, Vec3& joint_velocity);
    int ReceiveCurrent(Vec3& current);

  private:
    // Sends a request once nothing is owed (Device::settle); otherwise sends nothing and
    // tells why.
    Outcome send(const KalvarMessages::Frame& request, const Limits& limits);
    Outcome send(const KalvarMessages::Frame& request, const Vec3& fields, const Limits& limits);
    bool receive(const KalvarMessages::Frame& answer);
    // Reads `count` floats of the answer's payload into `out`, or leaves it alone.
    bool receive_floats(const KalvarMessages::Frame& answer, float* out, std::size_t count);
    int receive_state(const KalvarMessages::Frame& answer, Vec3& first, Vec3& second);
    KalvarState command(const KalvarMessages::Frame& request, const Vec3& fields,
                        const KalvarMessages::Frame& answer);
    Vec3 joint_angles_now();
};

}  // namespace Brivane::HardwareAPI::Devices
