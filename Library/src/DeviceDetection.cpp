#include "DeviceDetection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <initializer_list>
#include <iostream>

#include "ErrorLine.h"
#include "Handle.h"
#include "Kalvar.h"
#include "SerialStream.h"
#include "platform/SystemError.h"

namespace Brivane::HardwareAPI::Devices {

namespace {

using IO::PortKind;
using IO::SerialPortInfo;

// A grip that only notes whether it heard from the device.
class MyHandle : public Handle {
  public:
    using Handle::Handle;

    void OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                             std::uint8_t) override {
        answered = true;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t,
                                      std::uint8_t, const std::uint8_t*) override {
        answered = true;
    }

    bool answered = false;
};

using Probe = int (*)(const char*, float);
using Check = bool (*)(const char*, const ProbeTimes&);

bool CheckPort(Probe probe, const char* port, double wait, float device_timeout) {
    if (port == nullptr) return false;
    try {
        std::future<int> job =
            std::async(std::launch::async, [probe, name = std::string(port), device_timeout] {
                return probe(name.c_str(), device_timeout);
            });
        const auto limit = std::chrono::steady_clock::now() +
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(wait));
        const bool in_time = job.wait_until(limit) == std::future_status::ready;
        // A late job is still waited for: it owns the port until it ends, and the next probe
        // must not start before.
        const int answer = job.get();
        return in_time && answer != 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return false;
    }
}

std::vector<std::string> Detect(const std::vector<SerialPortInfo>& ports,
                                std::initializer_list<PortKind> kinds, Check check,
                                const ProbeTimes& times) {
    std::vector<std::string> found;
    try {
        for (const SerialPortInfo& port : ports) {
            if (std::find(kinds.begin(), kinds.end(), port.kind) == kinds.end()) continue;
            if (check(port.port_name.c_str(), times)) found.push_back(port.port_name);
        }
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
    }
    return found;
}

constexpr std::initializer_list<PortKind> kKalvarKinds = {PortKind::UsbSerial};
constexpr std::initializer_list<PortKind> kHandleKinds = {
    PortKind::UsbSerial, PortKind::WiredSerial, PortKind::BluetoothSerial};
constexpr std::initializer_list<PortKind> kWiredKinds = {PortKind::WiredSerial};
constexpr std::initializer_list<PortKind> kWirelessKinds = {PortKind::BluetoothSerial};

}  // namespace

int ProbeKalvar(const char* port, float device_timeout) {
    if (port == nullptr) return 0;
    try {
        IO::SerialStream stream(port, false);
        if (stream.Open() != 1) return 0;
        Kalvar kalvar(&stream, device_timeout);
        kalvar.write_buffer[0] = KalvarMessages::kWakeup.code;
        kalvar.send_request(1);

        // A line that failed has nothing to drain: its one line says why. A wrong code is
        // named before the drain, whose own line would only tell of the quiet after it.
        std::uint8_t model = 0;
        std::uint8_t code = 0;
        const Device::ReadEnd end = kalvar.read_header(code);
        if (end == Device::ReadEnd::Complete && code == KalvarMessages::kDeviceInfo.code) {
            const std::size_t length = KalvarMessages::kDeviceInfo.length;
            if (kalvar.read_bytes(length) == static_cast<std::int32_t>(length)) {
                model = kalvar.read_buffer[KalvarMessages::kModelNumberOffset];
            }
        } else if (end != Device::ReadEnd::Failed) {
            if (end == Device::ReadEnd::Complete) {
                ReportError(__FILE__, __LINE__, Platform::BadValueError(),
                            "unexpected header code 0x%02X (a device-info answer begins 0x%02X)",
                            code, KalvarMessages::kDeviceInfo.code);
            }
            kalvar.read_bytes(Device::kBufferSize);  // drain
        }
        stream.Close();
        return model == KalvarMessages::kModelNumber ? 1 : 0;
    } catch (const std::exception& error) {
        std::printf("exception: %s\n", error.what());
        std::fflush(stdout);
        return 0;
    }
}

int ProbeHandle(const char* port, float device_timeout) {
    if (port == nullptr) return 0;
    try {
        IO::SerialStream stream(port, false);
        if (stream.Open() != 1) return 0;
        MyHandle handle(&stream, device_timeout);
        handle.SendDeviceWakeup();
        handle.Receive();
        stream.Close();
        return handle.answered ? 1 : 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << "\n";
        return 0;
    }
}

bool IsKalvarPort(const char* port, const ProbeTimes& times) {
    return CheckPort(ProbeKalvar, port, times.kalvar_wait, times.device_timeout);
}

bool IsHandlePort(const char* port, const ProbeTimes& times) {
    return CheckPort(ProbeHandle, port, times.handle_wait, times.device_timeout);
}

std::vector<std::string> DetectKalvars(const std::vector<SerialPortInfo>& ports,
                                       const ProbeTimes& times) {
    return Detect(ports, kKalvarKinds, IsKalvarPort, times);
}

std::vector<std::string> DetectHandles(const std::vector<SerialPortInfo>& ports,
                                       const ProbeTimes& times) {
    return Detect(ports, kHandleKinds, IsHandlePort, times);
}

std::vector<std::string> DetectWiredHandles(const std::vector<SerialPortInfo>& ports,
                                            const ProbeTimes& times) {
    return Detect(ports, kWiredKinds, IsHandlePort, times);
}

std::vector<std::string> DetectWirelessHandles(const std::vector<SerialPortInfo>& ports,
                                               const ProbeTimes& times) {
    return Detect(ports, kWirelessKinds, IsHandlePort, times);
}

std::vector<std::string> DetectKalvars() {
    return DetectKalvars(IO::EnumerateSerialPorts());
}
std::vector<std::string> DetectHandles() {
    return DetectHandles(IO::EnumerateSerialPorts());
}
std::vector<std::string> DetectWiredHandles() {
    return DetectWiredHandles(IO::EnumerateSerialPorts());
}
std::vector<std::string> DetectWirelessHandles() {
    return DetectWirelessHandles(IO::EnumerateSerialPorts());
}

}  // namespace Brivane::HardwareAPI::Devices
