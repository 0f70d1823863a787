#include "DeviceDetection.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <initializer_list>
#include <iostream>

#include "../base/ErrorLine.h"
#include "../io/SerialStream.h"
#include "../platform/SystemError.h"
#include "Handle.h"
#include "Kalvar.h"

namespace Brivane::HardwareAPI::Devices {

namespace {

using IO::PortKind;
using IO::SerialPortInfo;

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
        DeviceInfo info;
        // Each read waits the device's time-out, as this probe always has. A port that does
        // not open has written its error line already, and holds no arm; the port is closed
        // again before the answer is judged.
        const Outcome outcome = IdentifyKalvarPort(port, device_timeout, ProbeLimit::PerRead, info);
        // Another device is named by the code it answered with; one of another model says so
        // by its record.
        if (outcome.kind == Outcome::Kind::BadAnswer && outcome.received_length > 0 &&
            outcome.received[0] != KalvarMessages::kDeviceInfo.code) {
            ReportError(__FILE__, __LINE__, Platform::BadValueError(),
                        "unexpected header code 0x%02X (a device-info answer begins 0x%02X)",
                        outcome.received[0], KalvarMessages::kDeviceInfo.code);
        }
        return outcome.answered() ? 1 : 0;
    } catch (const std::exception& error) {
        std::printf("exception: %s\n", error.what());
        std::fflush(stdout);
        return 0;
    }
}

int ProbeHandle(const char* port, float device_timeout) {
    if (port == nullptr) return 0;
    try {
        GripIdentity identity;
        return IdentifyHandlePort(port, device_timeout, ProbeLimit::PerRead, identity).answered()
                   ? 1
                   : 0;
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

namespace {

// Opens `port` and runs `identify(stream, device_timeout, limits)` on it, then closes it.
template <typename Identify>
Outcome IdentifyOnPort(const char* port, double timeout, ProbeLimit limit, ErrorOutput output,
                       Identify&& identify) {
    IO::SerialStream stream(port, false);
    stream.SetErrorOutput(output);
    if (stream.Open() != 1) {
        Outcome outcome;
        outcome.kind = Outcome::Kind::LineLost;
        outcome.error = Platform::LastSystemError();
        return outcome;
    }
    // The whole exchange's deadline starts once the port is open: a slow open takes none of
    // the device's time.
    const Deadline deadline = Deadline::After(timeout);
    const Limits limits = limit == ProbeLimit::Whole ? Limits::By(deadline) : Limits::PerRead();
    const Outcome outcome = identify(stream, static_cast<float>(timeout), limits);
    stream.Close();
    return outcome;
}

}  // namespace

Outcome IdentifyKalvarPort(const char* port, double timeout, ProbeLimit limit, DeviceInfo& info,
                           ErrorOutput output) {
    return IdentifyOnPort(
        port, timeout, limit, output,
        [&](IO::SerialStream& stream, float device_timeout, const Limits& limits) {
            Kalvar kalvar(&stream, device_timeout);
            return kalvar.identify(info, limits);
        });
}

Outcome IdentifyHandlePort(const char* port, double timeout, ProbeLimit limit,
                           GripIdentity& identity, ErrorOutput output) {
    return IdentifyOnPort(
        port, timeout, limit, output,
        [&](IO::SerialStream& stream, float device_timeout, const Limits& limits) {
            Handle handle(&stream, device_timeout);
            return handle.identify(identity, limits);
        });
}

}  // namespace Brivane::HardwareAPI::Devices
