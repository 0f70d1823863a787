#pragma once

#include <cstdint>
#include <cstring>

#include "../base/UUID.h"

namespace Brivane::HardwareAPI {

// The device-info record an arm sends after a wake-up. Default: all zero.
struct DeviceInfo {
    std::uint16_t device_id = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
    UUID device_id_ext;

    static constexpr std::size_t kWireSize = 21;

    // Decodes the 21-byte payload: id (little-endian), model, hardware, firmware, 16 bytes.
    static DeviceInfo FromWire(const std::uint8_t* payload) {
        DeviceInfo info;
        info.device_id = static_cast<std::uint16_t>(payload[0] | (payload[1] << 8));
        info.device_model_number = payload[2];
        info.hardware_version = payload[3];
        info.firmware_version = payload[4];
        std::memcpy(info.device_id_ext.bytes.data(), payload + 5, 16);
        return info;
    }
};

}  // namespace Brivane::HardwareAPI
