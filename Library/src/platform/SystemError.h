#pragma once

#include <cstddef>

namespace Brivane::HardwareAPI::Platform {

// The calling thread's last system error number (errno here, GetLastError on Windows).
int LastSystemError();
void SetLastSystemError(int error_number);

// Writes the system's text for `error_number` into `text` (at most `size` bytes, terminated).
// Returns false when the system has no text for it.
bool SystemErrorText(int error_number, char* text, std::size_t size);

// The system's own numbers for failures the library notices without a failing system call,
// so that an error line names its cause rather than what an unrelated call left behind.
int TimedOutError();  // a wait or a write ran out of time
int NotOpenError();   // the port is not open
int LineLostError();  // the line hung up: the device was unplugged or its end closed
int BadValueError();  // the device sent a value that cannot be used

}  // namespace Brivane::HardwareAPI::Platform
