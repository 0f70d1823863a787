#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "../base/ErrorLine.h"
#include "../platform/PortSource.h"

namespace Brivane::HardwareAPI::IO {

// The kind of driver device behind a serial port.
enum class PortKind : std::int32_t {
    UsbSerial = 1,        // USB communications-class serial
    WiredSerial = 2,      // USB-to-UART bridge or plain serial port
    BluetoothSerial = 3,  // Bluetooth serial link
};

struct SerialPortInfo {
    std::string port_name;  // as given to SerialStream
    PortKind kind;
};

// The kind of a driver device name such as "\Device\USBSER000"; none for other drivers.
std::optional<PortKind> ClassifyDriverDevice(const std::string& device_name);

// The entries whose driver device has a kind, in their order; duplicates stay.
std::vector<SerialPortInfo> ClassifySerialPorts(
    const std::vector<Platform::PortSourceEntry>& entries);

// The machine's serial ports that may carry a device, read afresh on every call. Empty,
// after an error line unless `lines` is Quiet, when the system's list cannot be read.
std::vector<SerialPortInfo> EnumerateSerialPorts(ErrorOutput lines = ErrorOutput::Lines);
// The same from another copy of the system's list (a sysfs tty class directory on Linux, a
// key below HKEY_LOCAL_MACHINE on Windows).
std::vector<SerialPortInfo> EnumerateSerialPorts(const std::string& source_root,
                                                 ErrorOutput lines = ErrorOutput::Lines);

}  // namespace Brivane::HardwareAPI::IO
