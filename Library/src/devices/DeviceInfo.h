#pragma once

#include <cstddef>
#include <cstdint>

#include "../base/UUID.h"

namespace Brivane::HardwareAPI {

// The device-info record an arm sends after a wake-up. Default: all zero.
struct DeviceInfo {
    std::uint16_t device_id = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
    UUID device_id_ext;

    // Its wire form, decoded and encoded by the arm's message table (KalvarMessages.h).
    static constexpr std::size_t kWireSize = 21;
};

}  // namespace Brivane::HardwareAPI
