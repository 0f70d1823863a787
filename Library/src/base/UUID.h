#pragma once

#include <array>
#include <cstdint>

namespace Brivane::HardwareAPI {

// A device's 16-byte identifier, bytes in wire order. Default: 16 zero bytes.
struct UUID {
    std::array<std::uint8_t, 16> bytes{};
};
static_assert(sizeof(UUID) == 16, "an identifier is exactly its 16 bytes");

}  // namespace Brivane::HardwareAPI
