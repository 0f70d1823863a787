#pragma once

#include <string>
#include <vector>

namespace Brivane::HardwareAPI::Platform {

// One serial port as the system lists it: the driver device behind it, named as Windows
// names them ("\Device\USBSER000", "\Device\Serial0", ...), and the name to open it by.
struct PortSourceEntry {
    std::string device_name;
    std::string port_name;
};

enum class PortSourceStatus {
    Ok,
    Unreadable,         // the list itself could not be opened
    EnumerationFailed,  // it opened, but reading its entries failed
};

struct PortSourceResult {
    PortSourceStatus status = PortSourceStatus::Ok;
    int error_number = 0;                  // the system's error number for a failed status
    std::vector<PortSourceEntry> entries;  // empty unless the status is Ok
};

// Where the system keeps its list of serial ports: the sysfs tty class on Linux, the key
// HARDWARE\DEVICEMAP\SERIALCOMM below HKEY_LOCAL_MACHINE on Windows.
const char* DefaultPortSourceRoot();

// The serial ports listed under `root`, in a stable order. Touches no port.
PortSourceResult ListSerialPorts(const std::string& root);

}  // namespace Brivane::HardwareAPI::Platform
