// The one place where a failed exchange becomes the brivane package's exception.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "devices/Device.h"

namespace Brivane::HardwareAPI::Package {

using Devices::Limits;
using Devices::Outcome;

// Raises the exception of brivane.errors for a failed exchange. `timeout` is the limit the
// exchange had, for the message; `bad_answer_advice`, what a wrong answer most likely means
// for this operation, replaces the general advice.
[[noreturn]] void RaiseFor(const Outcome& outcome, const std::string& port, const char* operation,
                           double timeout, const std::string& bad_answer_advice = "",
                           const std::string& no_answer_advice = "");
// Raises brivane.errors.PortError for a port that did not open, with the system's number.
[[noreturn]] void RaisePortError(const std::string& port, int error);
// Raises brivane.errors.WrongDevice: something answered on `port`, but not what was asked for.
[[noreturn]] void RaiseWrongDevice(const std::string& port, const std::string& what);

// ValueError for a call on a closed object, as on a closed file.
[[noreturn]] void RaiseClosed(const char* what, const std::string& port);

inline Outcome LostLine(int error) {
    Outcome outcome;
    outcome.kind = Outcome::Kind::LineLost;
    outcome.error = error;
    return outcome;
}

}  // namespace Brivane::HardwareAPI::Package
