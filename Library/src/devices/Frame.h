#pragma once

#include <cstdint>

namespace Brivane::HardwareAPI::Devices {

// A message on the wire: its code byte and the number of bytes after it (for a message that
// ends with a length and that many bytes, its fixed part). Both devices' tables are made of
// these.
struct Frame {
    std::uint8_t code;
    std::uint8_t length;
};

}  // namespace Brivane::HardwareAPI::Devices
