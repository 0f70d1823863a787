// detect_kalvars, detect_handles, detect_wired_handles, detect_wireless_handles.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "devices/DeviceDetection.h"
#include "registration.h"

namespace py = pybind11;
namespace Devices = Brivane::HardwareAPI::Devices;

// The interpreter lock stays held while the ports are probed: the probes run on worker
// threads of the library and touch no Python object.
void RegisterDetection(py::module_& m) {
    m.def(
        "detect_kalvars", [] { return Devices::DetectKalvars(); },
        "detect available kalvar devices");
    m.def(
        "detect_handles", [] { return Devices::DetectHandles(); }, "detect available handles");
    m.def(
        "detect_wired_handles", [] { return Devices::DetectWiredHandles(); },
        "detect available wired handles");
    m.def(
        "detect_wireless_handles", [] { return Devices::DetectWirelessHandles(); },
        "detect available wireless handles");
}
