// Conversions between Python values and the library's: port paths, record classes.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

#include "base/UUID.h"
#include "devices/DeviceInfo.h"
#include "devices/HandleMessages.h"

namespace Brivane::HardwareAPI::Package {

namespace py = pybind11;

// A port named as os.fspath takes a path: a str, encoded as os.fsencode does (so that a
// name decoded with surrogate escapes gets its bytes back), bytes as they are, or an
// os.PathLike that gives either. A NUL is refused: the system would take the name as cut
// there. `argument` names it in the errors.
std::string PortPath(py::handle port, const char* argument);
// A port's name as Python shows paths, decoded as os.fsdecode does.
py::str PortText(const std::string& port);

// A tuple of `count` floats.
py::tuple Floats(const float* values, std::size_t count);

// An instance of a record class (a NamedTuple), made the way its _make does.
py::object Record(const py::object& cls, py::tuple fields);

// The 16 bytes of a UUID.
py::bytes Bytes(const UUID& identifier);
// The fields of an arm's identity: (device_id, model, hardware, firmware, uuid.UUID).
py::tuple ArmIdentity(const DeviceInfo& info);
// The fields of a grip's information message: (device_id, tool_data_remaining, model,
// hardware, firmware).
py::tuple GripInfo(const Devices::HandleInfoResponse& info);

// A port name as the caller gave it, for messages.
std::string Printable(const std::string& port);

}  // namespace Brivane::HardwareAPI::Package
