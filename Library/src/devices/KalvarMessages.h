#pragma once

#include <cstddef>
#include <cstdint>

#include "Frame.h"

namespace Brivane::HardwareAPI::Devices {

// The arm's messages: a code byte and the number of bytes after it, which request each
// answer answers, and what identifies an arm. A new message is a row here; the library, the
// simulator, the trace decoder and the bindings only name rows.
namespace KalvarMessages {

using Devices::Frame;

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
inline constexpr Frame kDeviceInfo{0x0B, 21};  // the identity record (DeviceInfo)
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

// What the device-info answer to the wake-up says of an arm: its model number, at this
// offset of the payload.
inline constexpr std::uint8_t kModelNumber = 4;
inline constexpr std::size_t kModelNumberOffset = 2;

// Every request with the answer it waits for, and the module method that sends it.
struct Exchange {
    Frame request;
    Frame answer;
    const char* method;
};

inline constexpr Exchange kExchanges[] = {
    {kWakeup, kDeviceInfo, "device_wakeup"},
    {kOrientationRequest, kOrientation, "get_device_orientation"},
    {kIdentifierRequest, kIdentifier, "identifier"},
    {kJointTorques, kJointState, "joint_torques"},
    {kJointAngles, kJointState, "joint_angles"},
    {kForce, kEndEffectorState, "end_effector_force"},
    {kPosition, kEndEffectorState, "end_effector_position"},
    {kTemperatureRequest, kTemperature, "get_temperature"},
    {kCurrentRequest, kCurrent, "get_motor_currents"},
    {kPowerStatusRequest, kPowerStatus, "get_power_status"},
};

// Every answer, named.
struct Answer {
    Frame frame;
    const char* name;
};

inline constexpr Answer kAnswers[] = {
    {kDeviceInfo, "device info"},
    {kOrientation, "orientation"},
    {kIdentifier, "identifier"},
    {kJointState, "joint state"},
    {kEndEffectorState, "end-effector state"},
    {kTemperature, "temperature"},
    {kCurrent, "motor currents"},
    {kPowerStatus, "power status"},
};

// The row of a request's or an answer's code; null for a code that starts none.
constexpr const Exchange* FindExchange(std::uint8_t request_code) {
    for (const Exchange& exchange : kExchanges) {
        if (exchange.request.code == request_code) return &exchange;
    }
    return nullptr;
}
constexpr const Answer* FindAnswer(std::uint8_t code) {
    for (const Answer& answer : kAnswers) {
        if (answer.frame.code == code) return &answer;
    }
    return nullptr;
}

}  // namespace KalvarMessages

}  // namespace Brivane::HardwareAPI::Devices
