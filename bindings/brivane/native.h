// The brivane package's native part, brivane._brivane: its classes over the library's
// devices (arm.cpp, grip.cpp), the port functions (ports.cpp) and the module (module.cpp).
// What they share: errors.h (outcomes to exceptions), line.h (an object's port and locks),
// records.h (conversions), stats.h (loop statistics).
#pragma once

#include <pybind11/pybind11.h>

namespace Brivane::HardwareAPI::Package {

void RegisterArm(pybind11::module_& m);
void RegisterGrip(pybind11::module_& m);
void RegisterPorts(pybind11::module_& m);

}  // namespace Brivane::HardwareAPI::Package
