#pragma once

#include <cstddef>

namespace Brivane::HardwareAPI {

// The system's text for `error_number`, written into `text` (at most `size` bytes,
// terminated); false when the system has none. The error reporter needs it; the platform
// layer, which knows the system, defines it, so that this layer includes nothing of that one.
bool SystemText(int error_number, char* text, std::size_t size);

}  // namespace Brivane::HardwareAPI
