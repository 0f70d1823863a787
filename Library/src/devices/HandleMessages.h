#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../base/Wire.h"
#include "Frame.h"

namespace Brivane::HardwareAPI::Devices {

// Handle information message (header 0xD0).
struct HandleInfoResponse {
    std::uint16_t device_id = 0;
    std::uint8_t tool_data_remaining = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
};

// Status message (header 0xDA); only the first user_data_length bytes of user_data are used.
struct HandleStatusMessage {
    std::uint16_t device_id = 0;
    float quaternion[4] = {};
    std::uint8_t error_flag = 0;
    std::uint8_t hall_effect_sensor_level = 0;
    std::uint8_t user_data_length = 0;
    std::uint8_t user_data[255] = {};
};

// Handle state command (header 0xDB); only the first user_data_length bytes of user_data
// are sent.
struct HandleState {
    std::uint16_t device_id = 0;
    std::uint8_t user_data_length = 0;
    std::uint8_t user_data[255] = {};
};

// Error response (header 0xDF).
struct HandleErrorResponse {
    std::uint16_t device_id = 0;
    std::uint8_t error_code = 0;
};

// The decoded byte-stuffed status block. error_flag 1 (block malformed) and 2 (no message)
// are also set by the library itself, with every other field zero.
struct StavrinStatus {
    std::uint8_t device_id = 0;
    float quaternion[4] = {};
    std::uint8_t error_flag = 0;
    std::uint8_t hall_effect_sensor_level = 0;
    std::uint8_t buttons = 0;
    float battery_level = 0.0f;
};

// One message from the grip, as Handle::receive decodes it: `kind` tells which record holds it.
struct HandleMessage {
    enum class Kind : std::uint8_t { None, Info, Status, Error };
    Kind kind = Kind::None;
    HandleInfoResponse info;
    HandleStatusMessage status;
    HandleErrorResponse error;
};

// What a grip said when woken: its information message, when it sent one.
struct GripIdentity {
    bool informed = false;  // the information message came: `info` holds it
    HandleInfoResponse info;
};

// The grip's messages: a header byte and the fixed number of bytes after it, in the style of
// KalvarMessages, and the records they decode to. The library, the simulator, the trace
// decoder and the replay read and write fields only through these; this header includes no
// device.
namespace HandleMessages {

using Devices::Answer;
using Devices::Exchange;
using Devices::Frame;

// Host to grip. The handle state's fixed part is the device id and a length byte, then that
// many bytes of user data.
inline constexpr Frame kWakeup{0x0A, 0};
inline constexpr Frame kStatusRequest{0xDA, 0};
inline constexpr Frame kHandleState{0xDB, 3};

// Grip to host. The status message ends with a length byte and that much user data; the
// same header also starts the byte-stuffed status block instead.
inline constexpr Frame kInfo{0xD0, 6};
inline constexpr Frame kStatus{0xDA, 21};
inline constexpr Frame kError{0xDF, 3};

// Every request with the answer it waits for, and the module method that sends it. The
// grip also sends status messages and errors on its own.
inline constexpr Exchange kExchanges[] = {
    {kWakeup, kInfo, "SendDeviceWakeup"},
    {kStatusRequest, kStatus, "RequestStatus"},
    {kHandleState, kNoAnswer, "SendHandleState"},
};

inline constexpr Answer kAnswers[] = {
    {kInfo, "handle info"},
    {kStatus, "status"},
    {kError, "error"},
};

constexpr const Exchange* FindExchange(std::uint8_t request_code) {
    return RowOfRequest(kExchanges, request_code);
}
constexpr const Answer* FindAnswer(std::uint8_t code) {
    return RowOfAnswer(kAnswers, code);
}
constexpr Frame AnswerTo(const Frame& request) {
    return AnswerOf(kExchanges, request);
}

// The handle state's and the status message's fixed parts end with the length of the user
// data after them.
inline std::uint8_t UserDataLength(const Frame& message, const std::uint8_t* payload) {
    return payload[message.length - 1];
}

// Error codes of the error message.
inline constexpr std::uint8_t kUnknownDevice = 1;
inline constexpr std::uint8_t kUnknownCommand = 2;

// The status block: 18 bytes after SLIP decoding (RFC 1055), closed by END.
inline constexpr std::size_t kBlockLength = 18;
inline constexpr std::uint8_t kSlipEnd = 0xC0;
inline constexpr std::uint8_t kSlipEsc = 0xDB;
inline constexpr std::uint8_t kSlipEscEnd = 0xDC;
inline constexpr std::uint8_t kSlipEscEsc = 0xDD;
// The most raw bytes a block can take: every byte stuffed, and the END.
inline constexpr std::size_t kMostRawBytes = 2 * kBlockLength + 1;

// Where the block keeps its fields.
inline constexpr std::size_t kBlockErrorFlag = 2;
inline constexpr std::size_t kBlockButtonsAndHall = 3;  // buttons in the top 3 bits
inline constexpr std::size_t kBlockDeviceId = 4;
inline constexpr std::size_t kBlockQuaternion = 8;  // four little-endian Q15 components
inline constexpr std::size_t kBlockBattery = 16;

// A quaternion component is a signed Q15 fraction; the battery reads in steps above a base.
inline constexpr double kQ15Scale = 1.0 / 32768.0;
inline constexpr double kBatteryVoltsPerStep = 0.005;
inline constexpr double kBatteryBaseVolts = 3.0;

// Decode<Record>(payload) reads a payload of the record's message, whole (user data
// included); Encode writes one and returns its length. The status block's record reads and
// writes the unstuffed block.
template <typename Record>
Record Decode(const std::uint8_t* payload);
template <>
inline NoFields Decode<NoFields>(const std::uint8_t*) {
    return {};
}
using Devices::Encode;

// The user data after the fixed part of `message`, into or from a record with
// user_data_length and user_data. Encoding returns the length of the whole payload.
template <typename Record>
void DecodeUserData(const Frame& message, const std::uint8_t* payload, Record& record) {
    record.user_data_length = UserDataLength(message, payload);
    std::memcpy(record.user_data, payload + message.length, record.user_data_length);
}
template <typename Record>
std::size_t EncodeUserData(const Frame& message, const Record& record, std::uint8_t* out) {
    out[message.length - 1] = record.user_data_length;
    std::memcpy(out + message.length, record.user_data, record.user_data_length);
    return message.length + std::size_t{record.user_data_length};
}

template <>
inline HandleState Decode<HandleState>(const std::uint8_t* payload) {
    HandleState state;
    state.device_id = Wire::LoadU16(payload);
    DecodeUserData(kHandleState, payload, state);
    return state;
}
inline std::size_t Encode(const HandleState& state, std::uint8_t* out) {
    Wire::StoreU16(out, state.device_id);
    return EncodeUserData(kHandleState, state, out);
}

// The grip's firmware puts the identifier first, as in its other messages.
template <>
inline HandleInfoResponse Decode<HandleInfoResponse>(const std::uint8_t* payload) {
    HandleInfoResponse info;
    info.device_id = Wire::LoadU16(payload);
    info.tool_data_remaining = payload[2];
    info.device_model_number = payload[3];
    info.hardware_version = payload[4];
    info.firmware_version = payload[5];
    return info;
}
inline std::size_t Encode(const HandleInfoResponse& info, std::uint8_t* out) {
    Wire::StoreU16(out, info.device_id);
    out[2] = info.tool_data_remaining;
    out[3] = info.device_model_number;
    out[4] = info.hardware_version;
    out[5] = info.firmware_version;
    return kInfo.length;
}

template <>
inline HandleStatusMessage Decode<HandleStatusMessage>(const std::uint8_t* payload) {
    HandleStatusMessage status;
    status.device_id = Wire::LoadU16(payload);
    status.error_flag = payload[2];
    status.hall_effect_sensor_level = payload[3];
    for (std::size_t k = 0; k < 4; ++k) status.quaternion[k] = Wire::LoadFloat(payload + 4 + 4 * k);
    DecodeUserData(kStatus, payload, status);
    return status;
}
inline std::size_t Encode(const HandleStatusMessage& status, std::uint8_t* out) {
    Wire::StoreU16(out, status.device_id);
    out[2] = status.error_flag;
    out[3] = status.hall_effect_sensor_level;
    for (std::size_t k = 0; k < 4; ++k) Wire::StoreFloat(out + 4 + 4 * k, status.quaternion[k]);
    return EncodeUserData(kStatus, status, out);
}

template <>
inline HandleErrorResponse Decode<HandleErrorResponse>(const std::uint8_t* payload) {
    HandleErrorResponse error;
    error.device_id = Wire::LoadU16(payload);
    error.error_code = payload[2];
    return error;
}
inline std::size_t Encode(const HandleErrorResponse& error, std::uint8_t* out) {
    Wire::StoreU16(out, error.device_id);
    out[2] = error.error_code;
    return kError.length;
}

// The unstuffed block. Its bytes 0, 1 and 5 to 7 carry nothing the library reads, and are
// written as zeros.
template <>
inline StavrinStatus Decode<StavrinStatus>(const std::uint8_t* block) {
    StavrinStatus status{};
    status.error_flag = block[kBlockErrorFlag];
    status.hall_effect_sensor_level = block[kBlockButtonsAndHall] & 0x1F;
    status.buttons = static_cast<std::uint8_t>(block[kBlockButtonsAndHall] >> 5);
    status.device_id = block[kBlockDeviceId];
    for (std::size_t k = 0; k < 4; ++k) {
        double value = Wire::LoadU16(block + kBlockQuaternion + 2 * k);
        if (value > 32767) value += -65536;
        status.quaternion[k] = static_cast<float>(value * kQ15Scale);
    }
    status.battery_level =
        static_cast<float>(block[kBlockBattery] * kBatteryVoltsPerStep + kBatteryBaseVolts);
    return status;
}
// Components are rounded to the nearest step and held to the Q15 range, the battery to the
// nearest step of its byte.
inline std::size_t Encode(const StavrinStatus& status, std::uint8_t* block) {
    std::memset(block, 0, kBlockLength);
    block[kBlockErrorFlag] = status.error_flag;
    block[kBlockButtonsAndHall] =
        static_cast<std::uint8_t>((status.buttons << 5) | (status.hall_effect_sensor_level & 0x1F));
    block[kBlockDeviceId] = status.device_id;
    for (std::size_t k = 0; k < 4; ++k) {
        const long step = std::lround(static_cast<double>(status.quaternion[k]) / kQ15Scale);
        const auto q15 = static_cast<std::int16_t>(std::clamp(step, -32768L, 32767L));
        Wire::StoreU16(block + kBlockQuaternion + 2 * k, static_cast<std::uint16_t>(q15));
    }
    const long battery = std::lround(
        (static_cast<double>(status.battery_level) - kBatteryBaseVolts) / kBatteryVoltsPerStep);
    block[kBlockBattery] = static_cast<std::uint8_t>(std::clamp(battery, 0L, 255L));
    return kBlockLength;
}

// The fields of an unstuffed block.
inline StavrinStatus DecodeStatusBlock(const std::uint8_t (&block)[kBlockLength]) {
    return Decode<StavrinStatus>(block);
}

// Unstuffs a block byte by byte, as the bytes come: a lone escape is dropped and the byte
// after it taken as it is.
class StatusBlockUnstuffer {
  public:
    explicit StatusBlockUnstuffer(std::uint8_t (&block)[kBlockLength]) : block_(block) {}

    // Takes the next raw byte; false for an END before the block is whole.
    bool Take(std::uint8_t byte) {
        if (escaped_) {
            escaped_ = false;
            if (byte == kSlipEscEnd || byte == kSlipEscEsc) {
                block_[decoded_++] = byte == kSlipEscEnd ? kSlipEnd : kSlipEsc;
                return true;
            }
        }
        if (byte == kSlipEnd) return false;
        if (byte == kSlipEsc) {
            escaped_ = true;
            return true;
        }
        block_[decoded_++] = byte;
        return true;
    }
    std::size_t decoded() const { return decoded_; }
    bool whole() const { return decoded_ == kBlockLength; }

  private:
    std::uint8_t (&block_)[kBlockLength];
    std::size_t decoded_ = 0;
    bool escaped_ = false;
};

// Unstuffs the block from the raw bytes after its header, as the library reads them: a lone
// escape is dropped and the byte after it taken as it is; an END before the block is whole
// spoils it. Returns the raw bytes the block took (with its END when that follows at once),
// 0 when more bytes are needed, -1 when they make no block.
inline long UnstuffStatusBlock(const std::uint8_t* raw, std::size_t n,
                               std::uint8_t (&block)[kBlockLength]) {
    StatusBlockUnstuffer unstuffer(block);
    std::size_t at = 0;
    for (; !unstuffer.whole(); ++at) {
        if (at >= kMostRawBytes) return -1;
        if (at >= n) return 0;
        if (!unstuffer.Take(raw[at])) return -1;
    }
    if (at < n && raw[at] == kSlipEnd) ++at;
    return static_cast<long>(at);
}

// Stuffs a block and closes it with END into `out`, which holds kMostRawBytes; returns the
// bytes written.
inline std::size_t StuffStatusBlock(const std::uint8_t (&block)[kBlockLength], std::uint8_t* out) {
    std::size_t n = 0;
    for (const std::uint8_t byte : block) {
        if (byte == kSlipEnd || byte == kSlipEsc) {
            out[n++] = kSlipEsc;
            out[n++] = byte == kSlipEnd ? kSlipEscEnd : kSlipEscEsc;
        } else {
            out[n++] = byte;
        }
    }
    out[n++] = kSlipEnd;
    return n;
}

// Calls `visit` with a record of the type of the request's or the message's payload (the
// fixed status message's for the status header); false, calling nothing, for a code of no
// row.
template <typename Visit>
bool VisitRecord(bool request, std::uint8_t code, Visit&& visit) {
    if (request) {
        switch (code) {
            case kWakeup.code:
            case kStatusRequest.code:
                visit(NoFields{});
                return true;
            case kHandleState.code:
                visit(HandleState{});
                return true;
        }
        return false;
    }
    switch (code) {
        case kInfo.code:
            visit(HandleInfoResponse{});
            return true;
        case kStatus.code:
            visit(HandleStatusMessage{});
            return true;
        case kError.code:
            visit(HandleErrorResponse{});
            return true;
    }
    return false;
}

}  // namespace HandleMessages

}  // namespace Brivane::HardwareAPI::Devices
