// Device traffic from Python: the interpreter lock released or held around it, and Ctrl-C,
// which ends a wait at once. Each binding is its own copy of the library, with its own
// interrupt check: each installs it at import.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <type_traits>
#include <utility>

#include "base/Interrupt.h"

namespace Brivane::HardwareAPI::Python {

namespace py = pybind11;

// Device traffic, with the interpreter lock released or held. A signal that comes while the
// library waits runs Python's handlers (see PythonSignalCheck); when one raises, as Ctrl-C
// does, the library ends the operation at once and the exception is raised here.
template <bool ReleaseLock, typename Call>
auto DeviceTraffic(Call&& call) {
    Interrupt::Take();  // a mark left by an operation that ended in an exception
    auto run = [&] {
        std::optional<py::gil_scoped_release> release;
        if constexpr (ReleaseLock) release.emplace();
        return call();
    };
    auto raise_if_stopped = [] {
        if (Interrupt::Take() && PyErr_Occurred()) throw py::error_already_set();
    };
    if constexpr (std::is_void_v<decltype(call())>) {
        run();
        raise_if_stopped();
    } else {
        auto result = run();
        raise_if_stopped();
        return result;
    }
}

// Most device traffic: other Python threads run meanwhile.
template <typename Call>
auto ReleasingInterpreterLock(Call&& call) {
    return DeviceTraffic<true>(std::forward<Call>(call));
}

// Traffic that keeps the lock, as some of the module's methods must.
template <typename Call>
auto HoldingInterpreterLock(Call&& call) {
    return DeviceTraffic<false>(std::forward<Call>(call));
}

// The check each stream a binding opens is given, which lets a signal that interrupts a
// wait for the device run Python's handlers. Only a thread that Python knows can run them;
// the main thread is the one they run on.
inline bool PythonSignalCheck() {
    if (PyGILState_GetThisThreadState() == nullptr) return false;
    py::gil_scoped_acquire lock;
    return PyErr_CheckSignals() != 0;
}

}  // namespace Brivane::HardwareAPI::Python
