#pragma once

#include <cstddef>

namespace Brivane::HardwareAPI::Platform {

// The calling thread's last system error number (errno here, GetLastError on Windows).
int LastSystemError();

// Writes the system's text for `error_number` into `text` (at most `size` bytes, terminated).
// Returns false when the system has no text for it.
bool SystemErrorText(int error_number, char* text, std::size_t size);

}  // namespace Brivane::HardwareAPI::Platform
