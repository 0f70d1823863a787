#pragma once

#include <cstdint>
#include <cstring>

// Little-endian fields of device frames, independent of the host's byte order.
namespace Brivane::HardwareAPI::Wire {

inline void StoreU32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline std::uint32_t LoadU32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

inline void StoreU16(std::uint8_t* at, std::uint16_t value) {
    at[0] = static_cast<std::uint8_t>(value & 0xFF);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

inline std::uint16_t LoadU16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

inline void StoreFloat(std::uint8_t* at, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    StoreU32(at, bits);
}

inline float LoadFloat(const std::uint8_t* at) {
    const std::uint32_t bits = LoadU32(at);
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

}  // namespace Brivane::HardwareAPI::Wire
