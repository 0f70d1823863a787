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

// What the system knows of the hardware behind a port: for a USB device its ids and
// strings, and its stable name under /dev/serial/by-id. Empty where it knows nothing (a
// pseudo-terminal, an on-board UART, Windows).
struct PortDetails {
    bool usb = false;
    int vid = 0;
    int pid = 0;
    std::string serial_number;
    std::string manufacturer;
    std::string product;
    std::string by_id;
};

// The details of the port opened as `port_name` (a name as the port list gives it, such as
// /dev/ttyACM0). `sysfs_root` and `by_id_root` are the system's folders unless given.
PortDetails DescribePort(const std::string& port_name);
PortDetails DescribePort(const std::string& port_name, const std::string& sysfs_root,
                         const std::string& by_id_root);

// Where the system keeps its list of serial ports: the sysfs tty class on Linux, the key
// HARDWARE\DEVICEMAP\SERIALCOMM below HKEY_LOCAL_MACHINE on Windows.
const char* DefaultPortSourceRoot();

// The serial ports listed under `root`, in a stable order. Touches no port.
PortSourceResult ListSerialPorts(const std::string& root);

}  // namespace Brivane::HardwareAPI::Platform
