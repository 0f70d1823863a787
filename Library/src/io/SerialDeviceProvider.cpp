#include "SerialDeviceProvider.h"

#include <exception>

#include "../base/ErrorLine.h"

namespace Brivane::HardwareAPI::IO {

std::optional<PortKind> ClassifyDriverDevice(const std::string& device_name) {
    // Case-sensitive and in this order: the first match decides.
    if (device_name.find("\\USBSER") != std::string::npos) return PortKind::UsbSerial;
    if (device_name.find("\\Silabser") != std::string::npos) return PortKind::WiredSerial;
    if (device_name.find("\\Serial") != std::string::npos) return PortKind::WiredSerial;
    if (device_name.find("\\BthModem") != std::string::npos) return PortKind::BluetoothSerial;
    return std::nullopt;
}

std::vector<SerialPortInfo> ClassifySerialPorts(
    const std::vector<Platform::PortSourceEntry>& entries) {
    std::vector<SerialPortInfo> ports;
    for (const Platform::PortSourceEntry& entry : entries) {
        if (const auto kind = ClassifyDriverDevice(entry.device_name)) {
            ports.push_back({entry.port_name, *kind});
        }
    }
    return ports;
}

std::vector<SerialPortInfo> EnumerateSerialPorts(ErrorOutput lines) {
    return EnumerateSerialPorts(Platform::DefaultPortSourceRoot(), lines);
}

std::vector<SerialPortInfo> EnumerateSerialPorts(const std::string& source_root,
                                                 ErrorOutput lines) {
    try {
        const Platform::PortSourceResult source = Platform::ListSerialPorts(source_root);
        if (source.status != Platform::PortSourceStatus::Ok && lines == ErrorOutput::Quiet) {
            return {};
        }
        switch (source.status) {
            case Platform::PortSourceStatus::Ok:
                return ClassifySerialPorts(source.entries);
            case Platform::PortSourceStatus::Unreadable:
                ReportError(__FILE__, __LINE__, source.error_number,
                            "unable to access registry key: %s", source_root.c_str());
                break;
            case Platform::PortSourceStatus::EnumerationFailed:
                ReportError(__FILE__, __LINE__, source.error_number,
                            "unable to enum values for registry key: %s", source_root.c_str());
                break;
        }
    } catch (const std::exception&) {  // out of memory: nothing to list
    }
    return {};
}

}  // namespace Brivane::HardwareAPI::IO
