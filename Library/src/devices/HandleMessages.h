#pragma once

#include <cstddef>
#include <cstdint>

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
// decoder and the replay read these; this header includes no device.
namespace HandleMessages {

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

// The fields of an unstuffed block.
inline StavrinStatus DecodeStatusBlock(const std::uint8_t (&block)[kBlockLength]) {
    StavrinStatus status{};
    status.error_flag = block[kBlockErrorFlag];
    status.hall_effect_sensor_level = block[kBlockButtonsAndHall] & 0x1F;
    status.buttons = static_cast<std::uint8_t>(block[kBlockButtonsAndHall] >> 5);
    status.device_id = block[kBlockDeviceId];
    for (std::size_t k = 0; k < 4; ++k) {
        const std::uint8_t* at = block + kBlockQuaternion + 2 * k;
        double value = at[0] | at[1] << 8;
        if (value > 32767) value += -65536;
        status.quaternion[k] = static_cast<float>(value * kQ15Scale);
    }
    status.battery_level =
        static_cast<float>(block[kBlockBattery] * kBatteryVoltsPerStep + kBatteryBaseVolts);
    return status;
}

// Unstuffs the block from the raw bytes after its header, as the library reads them: a lone
// escape is dropped and the byte after it taken as it is; an END before the block is whole
// spoils it. Returns the raw bytes the block took (with its END when that follows at once),
// 0 when more bytes are needed, -1 when they make no block.
inline long UnstuffStatusBlock(const std::uint8_t* raw, std::size_t n,
                               std::uint8_t (&block)[kBlockLength]) {
    std::size_t decoded = 0;
    bool escaped = false;
    std::size_t at = 0;
    for (; decoded < kBlockLength; ++at) {
        if (at >= kMostRawBytes) return -1;
        if (at >= n) return 0;
        const std::uint8_t byte = raw[at];
        if (escaped) {
            escaped = false;
            if (byte == kSlipEscEnd || byte == kSlipEscEsc) {
                block[decoded++] = byte == kSlipEscEnd ? kSlipEnd : kSlipEsc;
                continue;
            }
        }
        if (byte == kSlipEnd) return -1;
        if (byte == kSlipEsc) {
            escaped = true;
            continue;
        }
        block[decoded++] = byte;
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

}  // namespace HandleMessages

}  // namespace Brivane::HardwareAPI::Devices
