#pragma once

namespace Brivane::HardwareAPI {

// The library's version text, "0.1.8".
const char* GetLibraryVersion();
// Writes "Library version: 0.1.8" and a line break to std::cout, then flushes.
void PrintLibraryVersion();

}  // namespace Brivane::HardwareAPI
