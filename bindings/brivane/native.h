// The brivane package's native part, brivane._brivane: its classes over the library's
// devices (arm.cpp, grip.cpp), the port functions (ports.cpp) and the module (module.cpp).
// What they share: errors.h (outcomes to exceptions), line.h (an object's port and locks),
// records.h (conversions), stats.h (loop statistics).
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#include "devices/Handle.h"
#include "devices/Kalvar.h"

namespace Brivane::HardwareAPI::Package {

// An arm's device lent to a servo's thread; give_back() ends the loan.
struct ArmLoan {
    Devices::Kalvar* arm = nullptr;
    std::function<void()> give_back;
};
// Lends the device of `arm` (a brivane._brivane.Arm) `to` a servo: raises RuntimeError when
// another servo has it, ValueError when the arm is closed.
ArmLoan LendArm(pybind11::handle arm, const char* to);

// A grip's device lent to a servo's thread, which reads it; give_back() ends the loan.
struct GripLoan {
    Devices::Handle* grip = nullptr;
    std::function<void()> give_back;
};
// Lends the device of `grip` (a brivane._brivane.Grip) `to` a servo, as LendArm does.
GripLoan LendGrip(pybind11::handle grip, const char* to);

void RegisterArm(pybind11::module_& m);
void RegisterGrip(pybind11::module_& m);
void RegisterPorts(pybind11::module_& m);
void RegisterServo(pybind11::module_& m);
void RegisterTrace(pybind11::module_& m);

}  // namespace Brivane::HardwareAPI::Package
