// A COM port opened as a device's end of the line, for the tests' played devices and the
// Windows benchmark's: with Win32 calls alone, so that the library under test is not what
// plays its device.
#pragma once

#include <windows.h>

#include <string>

namespace Brivane::HardwareAPI::Testing {

// Opens a port raw, 115200 baud, 8N1, no flow control; `flags` as CreateFileA takes them
// (FILE_FLAG_OVERLAPPED). INVALID_HANDLE_VALUE when it cannot be opened.
inline HANDLE OpenDevicePort(const std::string& name, DWORD flags = 0) {
    const std::string path = "\\\\.\\" + name;
    const HANDLE port = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, flags, nullptr);
    if (port == INVALID_HANDLE_VALUE) return port;
    DCB settings{};
    settings.DCBlength = sizeof settings;
    ::GetCommState(port, &settings);
    settings.BaudRate = CBR_115200;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDsrSensitivity = FALSE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
    ::SetCommState(port, &settings);
    return port;
}

}  // namespace Brivane::HardwareAPI::Testing
