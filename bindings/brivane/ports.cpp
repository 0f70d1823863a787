// brivane._brivane's port functions: the port list with what the system knows of each
// port, and probes of many ports at once.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/traffic.h"
#include "devices/DeviceDetection.h"
#include "errors.h"
#include "io/SerialDeviceProvider.h"
#include "native.h"
#include "platform/PortSource.h"
#include "records.h"

namespace Brivane::HardwareAPI::Package {

namespace {

using Python::ReleasingInterpreterLock;

const char* KindName(IO::PortKind kind) {
    switch (kind) {
        case IO::PortKind::UsbSerial:
            return "usb";
        case IO::PortKind::WiredSerial:
            return "wired";
        case IO::PortKind::BluetoothSerial:
            break;
    }
    return "bluetooth";
}

// (device, kind, vid, pid, serial_number, manufacturer, product, by_id), None where the
// system knows nothing.
py::tuple PortTuple(const std::string& name, std::optional<IO::PortKind> kind,
                    const Platform::PortDetails& details) {
    const auto text = [](const std::string& value) -> py::object {
        if (value.empty()) return py::none();
        return py::reinterpret_steal<py::object>(
            PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
    };
    const auto id = [&](int value) -> py::object {
        return details.usb ? py::object(py::int_(value)) : py::object(py::none());
    };
    return py::make_tuple(PortText(name), kind ? py::object(py::str(KindName(*kind))) : py::none(),
                          id(details.vid), id(details.pid), text(details.serial_number),
                          text(details.manufacturer), text(details.product), text(details.by_id));
}

struct Probe {
    std::string port;
    bool answered = false;
    DeviceInfo arm;
    Devices::GripIdentity grip;
};

// Identifies the port of `probe`, an arm's or a grip's, as the library's detection does,
// quietly: a port that does not open, or holds something else, is only no match.
void Identify(Probe& probe, double timeout, bool arm) {
    using Devices::ProbeLimit;
    const char* port = probe.port.c_str();
    const Outcome outcome = arm ? Devices::IdentifyKalvarPort(port, timeout, ProbeLimit::Whole,
                                                              probe.arm, ErrorOutput::Quiet)
                                : Devices::IdentifyHandlePort(port, timeout, ProbeLimit::Whole,
                                                              probe.grip, ErrorOutput::Quiet);
    probe.answered = outcome.answered();
}

// Probes every port on a thread of its own; the ports that answered, in their order.
py::list Find(const std::vector<py::object>& ports, double timeout, bool arms,
              const py::object& record) {
    std::vector<Probe> probes(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        probes[i].port = PortPath(ports[i], "each port of ports");
    }
    ReleasingInterpreterLock([&] {
        std::vector<std::thread> threads;
        threads.reserve(probes.size());
        for (Probe& probe : probes) {
            threads.emplace_back([&probe, timeout, arms] { Identify(probe, timeout, arms); });
        }
        for (std::thread& thread : threads) thread.join();
    });
    py::list found;
    for (const Probe& probe : probes) {
        if (!probe.answered) continue;
        // (port, what it said of itself)
        found.append(py::make_tuple(
            PortText(probe.port),
            Record(record, arms ? ArmIdentity(probe.arm) : GripInfo(probe.grip.info))));
    }
    return found;
}

}  // namespace

void RegisterPorts(py::module_& m) {
    m.def("list_ports", [] {
        std::vector<IO::SerialPortInfo> ports;
        ReleasingInterpreterLock([&] { ports = IO::EnumerateSerialPorts(ErrorOutput::Quiet); });
        py::list list;
        for (const IO::SerialPortInfo& port : ports) {
            list.append(
                PortTuple(port.port_name, port.kind, Platform::DescribePort(port.port_name)));
        }
        return list;
    });
    m.def("describe_port", [](py::handle port) {
        const std::string name = PortPath(port, "each port of ports");
        return PortTuple(name, std::nullopt, Platform::DescribePort(name));
    });
    m.def("usb_ports", [] {
        py::list names;
        for (const IO::SerialPortInfo& port : IO::EnumerateSerialPorts(ErrorOutput::Quiet)) {
            if (port.kind == IO::PortKind::UsbSerial) names.append(PortText(port.port_name));
        }
        return names;
    });
    m.def("find_arms",
          [](const std::vector<py::object>& ports, double timeout, const py::object& identity) {
              return Find(ports, timeout, true, identity);
          });
    m.def("find_grips", [](const std::vector<py::object>& ports, double timeout,
                           const py::object& info) { return Find(ports, timeout, false, info); });
}

}  // namespace Brivane::HardwareAPI::Package
