// The brivane package's native part, brivane._brivane: its classes over the library's
// devices (arm.cpp, grip.cpp), the port functions (ports.cpp) and the module (module.cpp).
// What they share: errors.h (outcomes to exceptions), line.h (an object's port and locks),
// owned.h (a device object's lifecycle), records.h (conversions), stats.h (loop statistics).
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#include "devices/Handle.h"
#include "devices/Kalvar.h"

namespace Brivane::HardwareAPI::Package {

// A device lent to a servo's thread; give_back() ends the loan.
template <typename Device>
struct DeviceLoan {
    Device* device = nullptr;
    std::function<void()> give_back;
};
using ArmLoan = DeviceLoan<Devices::Kalvar>;
using GripLoan = DeviceLoan<Devices::Handle>;  // the servo's thread reads the grip

// Lends the device of `arm` (a brivane._brivane.Arm) `to` a servo: raises RuntimeError when
// another servo has it, ValueError when the arm is closed.
ArmLoan LendArm(pybind11::handle arm, const char* to);
// Lends the device of `grip` (a brivane._brivane.Grip) `to` a servo, as LendArm does.
GripLoan LendGrip(pybind11::handle grip, const char* to);

void RegisterArm(pybind11::module_& m);
void RegisterGrip(pybind11::module_& m);
void RegisterMesh(pybind11::module_& m);
void RegisterPorts(pybind11::module_& m);
void RegisterServo(pybind11::module_& m);
void RegisterTrace(pybind11::module_& m);

}  // namespace Brivane::HardwareAPI::Package
