// The value checks and conversions both Python bindings use: vectors of floats and their
// checks, and the standard uuid.UUID. No caster is specialised here: one for a standard type
// (std::uint8_t, std::vector<float>) must be seen by every file of its extension or by none,
// and only the legacy module has them (legacy/casters.h).
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "base/UUID.h"

namespace Brivane::HardwareAPI::Python {

namespace py = pybind11;

// Fills a new list in place: lists are built for every exchange and every grip message.
inline void SetItem(py::list& list, std::size_t i, PyObject* item) {
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item);
}

inline py::list FloatList(const float* values, std::size_t count) {
    py::list list(count);
    for (std::size_t i = 0; i < count; ++i) SetItem(list, i, PyFloat_FromDouble(values[i]));
    return list;
}

template <std::size_t N>
py::list FloatList(const std::array<float, N>& values) {
    return FloatList(values.data(), N);
}

// The first three numbers of a request or output vector. A shorter one is refused rather
// than padded: a zero-padded position would send the arm to the origin.
inline std::array<float, 3> RequireVec3(const std::vector<float>& values, const char* argument) {
    if (values.size() < 3) {
        throw py::type_error("'" + std::string(argument) + "' needs 3 numbers, got " +
                             std::to_string(values.size()));
    }
    return {values[0], values[1], values[2]};
}

// A number sent to the arm. NaN or an infinity as a force or a position is a hazard, and so
// is a number too large for the wire's 32-bit float, which has become an infinity by now.
// `what` names it in the error, and is only built then: this runs on every command.
template <typename Name>
float RequireFinite(float value, Name&& what) {
    if (!std::isfinite(value)) {
        throw py::value_error(std::string(what()) +
                              " must be a finite number that fits a 32-bit float, not " +
                              std::string(py::str(py::float_(value))));
    }
    return value;
}

// The three numbers of a command vector, refused before anything is sent or stored.
inline std::array<float, 3> RequireCommand(const std::vector<float>& values, const char* argument) {
    const std::array<float, 3> vec3 = RequireVec3(values, argument);
    for (std::size_t i = 0; i < 3; ++i) {
        RequireFinite(vec3[i],
                      [&] { return "element " + std::to_string(i) + " of '" + argument + "'"; });
    }
    return vec3;
}

// A standard-library uuid.UUID with the 16 bytes as its big-endian value.
inline py::object StandardUUID(const UUID& identifier) {
    std::ostringstream hex;
    hex << std::hex << std::setfill('0');
    for (const std::uint8_t byte : identifier.bytes) hex << std::setw(2) << unsigned{byte};
    return py::module_::import("uuid").attr("UUID")(py::arg("hex") = hex.str());
}

}  // namespace Brivane::HardwareAPI::Python
