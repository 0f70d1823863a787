#pragma once

#include <pybind11/pybind11.h>

// Every source of the module sees the same casters.
#include "casters.h"

// The reply time-out of every device the module makes, in seconds.
inline constexpr float kModuleTimeout = 5.0f;

// One registration routine per binding source, called by the module body in this order.
void RegisterClasses(pybind11::module_& m);  // SerialStream, UUID, Device
void RegisterDetection(pybind11::module_& m);
void RegisterKalvar(pybind11::module_& m);  // Kalvar, current then deprecated methods
void RegisterHandle(pybind11::module_& m);  // Handle, last before __version__
