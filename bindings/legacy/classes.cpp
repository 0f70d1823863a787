// SerialStream, UUID and Device.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "base/UUID.h"
#include "common/traffic.h"
#include "conversions.h"
#include "devices/Device.h"
#include "io/SerialStream.h"
#include "registration.h"

namespace py = pybind11;
using Brivane::HardwareAPI::UUID;
using Brivane::HardwareAPI::Devices::Device;
using Brivane::HardwareAPI::IO::SerialStream;
using Brivane::HardwareAPI::Python::PortName;
using Brivane::HardwareAPI::Python::RefuseSecondInit;

void RegisterClasses(py::module_& m) {
    // A str is passed on as the file system encodes it, bytes and bytearray as they are;
    // None is refused.
    py::class_<SerialStream> serial_stream(m, "SerialStream");
    serial_stream.def(
        py::init([](const PortName& name) {
            const std::string& port = name.name;
            // As Python's own open() does: the name would be cut at the NUL.
            if (port.find('\0') != std::string::npos) {
                throw py::value_error("embedded null byte");
            }
            // Only the opening runs without the interpreter lock: the instance is
            // filled in with it held.
            std::unique_ptr<SerialStream> stream;
            {
                py::gil_scoped_release release;
                stream = std::make_unique<SerialStream>(port.c_str(), true);
            }
            stream->SetInterruptCheck(Brivane::HardwareAPI::Python::PythonSignalCheck);
            return stream;
        }),
        "Initialize the serial stream");
    RefuseSecondInit(serial_stream);

    py::class_<UUID> uuid(m, "UUID");
    uuid.def(py::init<>()).def("bytes", [](const UUID& identifier) {
        return std::vector<std::uint8_t>(identifier.bytes.begin(), identifier.bytes.end());
    });
    RefuseSecondInit(uuid);

    py::class_<Device>(m, "Device");
}
