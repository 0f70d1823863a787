#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../base/Wire.h"
#include "DeviceInfo.h"
#include "Frame.h"

namespace Brivane::HardwareAPI::Devices {

// The arm's messages: a code byte and the number of bytes after it, which request each
// answer answers, and what identifies an arm. A new message is a row here; the library, the
// simulator, the trace decoder and the bindings only name rows, and read and write fields
// only through the records below.
namespace KalvarMessages {

using Devices::Answer;
using Devices::Exchange;
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
    return RowOfRequest(kExchanges, request_code);
}
constexpr const Answer* FindAnswer(std::uint8_t code) {
    return RowOfAnswer(kAnswers, code);
}
// The answer a request waits for.
constexpr Frame AnswerTo(const Frame& request) {
    return AnswerOf(kExchanges, request);
}

// The records of the payloads, after the code byte. Requests without fields (the wake-up and
// the orientation, temperature, current and power status requests) are NoFields.

// A run of little-endian floats, as most payloads are.
inline void DecodeFloats(const std::uint8_t* payload, float* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = Wire::LoadFloat(payload + 4 * i);
}
template <std::size_t N>
std::array<float, N> DecodeFloats(const std::uint8_t* payload) {
    std::array<float, N> values;
    DecodeFloats(payload, values.data(), N);
    return values;
}
template <std::size_t N>
std::size_t EncodeFloats(const std::array<float, N>& values, std::uint8_t* out) {
    for (std::size_t i = 0; i < N; ++i) Wire::StoreFloat(out + 4 * i, values[i]);
    return 4 * N;
}

// The joint torques, joint angles (degrees), force and position commands, and the motor
// currents.
struct Vector {
    std::array<float, 3> values{};
};

struct IdentifierQuery {
    std::uint8_t sub_code = 0;
};

struct Orientation {
    std::array<float, 4> quaternion{};
};

// `length` says how many of the bytes count; an arm sends 16.
struct Identifier {
    std::uint8_t sub_code = 0;
    std::uint8_t length = 0;
    std::array<std::uint8_t, 16> bytes{};
};

// The joint state (angles in degrees, joint velocities) or the end-effector state
// (position, velocity).
struct State {
    std::array<float, 3> first{};
    std::array<float, 3> second{};
};

struct Temperature {
    float degrees = 0.0f;
};

// Any byte but 0 is powered.
struct PowerStatus {
    std::uint8_t powered = 0;
};

// Decode<Record>(payload) reads a payload of the record's message; Encode writes one and
// returns its length.
template <typename Record>
Record Decode(const std::uint8_t* payload);
template <>
inline NoFields Decode<NoFields>(const std::uint8_t*) {
    return {};
}
using Devices::Encode;

template <>
inline Vector Decode<Vector>(const std::uint8_t* payload) {
    return {DecodeFloats<3>(payload)};
}
inline std::size_t Encode(const Vector& vector, std::uint8_t* out) {
    return EncodeFloats(vector.values, out);
}

template <>
inline IdentifierQuery Decode<IdentifierQuery>(const std::uint8_t* payload) {
    return {payload[0]};
}
inline std::size_t Encode(const IdentifierQuery& query, std::uint8_t* out) {
    out[0] = query.sub_code;
    return kIdentifierRequest.length;
}

// The id first, little-endian, then the model, hardware and firmware numbers and the
// 16-byte extended id.
template <>
inline DeviceInfo Decode<DeviceInfo>(const std::uint8_t* payload) {
    DeviceInfo info;
    info.device_id = Wire::LoadU16(payload);
    info.device_model_number = payload[2];
    info.hardware_version = payload[3];
    info.firmware_version = payload[4];
    std::memcpy(info.device_id_ext.bytes.data(), payload + 5, info.device_id_ext.bytes.size());
    return info;
}
inline std::size_t Encode(const DeviceInfo& info, std::uint8_t* out) {
    Wire::StoreU16(out, info.device_id);
    out[2] = info.device_model_number;
    out[3] = info.hardware_version;
    out[4] = info.firmware_version;
    std::memcpy(out + 5, info.device_id_ext.bytes.data(), info.device_id_ext.bytes.size());
    return kDeviceInfo.length;
}

template <>
inline Orientation Decode<Orientation>(const std::uint8_t* payload) {
    return {DecodeFloats<4>(payload)};
}
inline std::size_t Encode(const Orientation& orientation, std::uint8_t* out) {
    return EncodeFloats(orientation.quaternion, out);
}

template <>
inline Identifier Decode<Identifier>(const std::uint8_t* payload) {
    Identifier identifier;
    identifier.sub_code = payload[0];
    identifier.length = payload[1];
    std::memcpy(identifier.bytes.data(), payload + 2, identifier.bytes.size());
    return identifier;
}
inline std::size_t Encode(const Identifier& identifier, std::uint8_t* out) {
    out[0] = identifier.sub_code;
    out[1] = identifier.length;
    std::memcpy(out + 2, identifier.bytes.data(), identifier.bytes.size());
    return kIdentifier.length;
}

template <>
inline State Decode<State>(const std::uint8_t* payload) {
    return {DecodeFloats<3>(payload), DecodeFloats<3>(payload + 12)};
}
inline std::size_t Encode(const State& state, std::uint8_t* out) {
    return EncodeFloats(state.first, out) + EncodeFloats(state.second, out + 12);
}

template <>
inline Temperature Decode<Temperature>(const std::uint8_t* payload) {
    return {DecodeFloats<1>(payload)[0]};
}
inline std::size_t Encode(const Temperature& temperature, std::uint8_t* out) {
    return EncodeFloats(std::array<float, 1>{temperature.degrees}, out);
}

template <>
inline PowerStatus Decode<PowerStatus>(const std::uint8_t* payload) {
    return {payload[0]};
}
inline std::size_t Encode(const PowerStatus& status, std::uint8_t* out) {
    out[0] = status.powered;
    return kPowerStatus.length;
}

// Calls `visit` with a record of the type of the request's or the answer's payload; false,
// calling nothing, for a code of no row.
template <typename Visit>
bool VisitRecord(bool request, std::uint8_t code, Visit&& visit) {
    if (request) {
        switch (code) {
            case kWakeup.code:
            case kOrientationRequest.code:
            case kTemperatureRequest.code:
            case kCurrentRequest.code:
            case kPowerStatusRequest.code:
                visit(NoFields{});
                return true;
            case kIdentifierRequest.code:
                visit(IdentifierQuery{});
                return true;
            case kJointTorques.code:
            case kJointAngles.code:
            case kForce.code:
            case kPosition.code:
                visit(Vector{});
                return true;
        }
        return false;
    }
    switch (code) {
        case kDeviceInfo.code:
            visit(DeviceInfo{});
            return true;
        case kOrientation.code:
            visit(Orientation{});
            return true;
        case kIdentifier.code:
            visit(Identifier{});
            return true;
        case kJointState.code:
        case kEndEffectorState.code:
            visit(State{});
            return true;
        case kTemperature.code:
            visit(Temperature{});
            return true;
        case kCurrent.code:
            visit(Vector{});
            return true;
        case kPowerStatus.code:
            visit(PowerStatus{});
            return true;
    }
    return false;
}

}  // namespace KalvarMessages

}  // namespace Brivane::HardwareAPI::Devices
