// Conversions shared by the device classes: vectors, identity shapes, the interpreter lock
// and deprecation warnings.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "UUID.h"

namespace Brivane::HardwareAPI::Python {

namespace py = pybind11;

// N floats that reach Python as a list of N floats, under the name Python's typing gives a
// list of fixed length.
template <std::size_t N>
struct FixedFloatList {
    std::array<float, N> values{};
};

template <std::size_t N>
FixedFloatList<N> Fixed(const std::array<float, N>& values) {
    return FixedFloatList<N>{values};
}

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

// Writes a vec3 back over the first three elements, keeping any further ones.
inline std::vector<float> Overwrite(std::vector<float> values, const std::array<float, 3>& vec3) {
    for (std::size_t i = 0; i < 3; ++i) values[i] = vec3[i];
    return values;
}

// Runs device traffic with the interpreter lock released.
template <typename Call>
auto WithoutLock(Call&& call) {
    py::gil_scoped_release release;
    return call();
}

// Issued with the lock held and before any traffic, so that a warning turned into an error
// stops the call before anything reaches the device.
inline void WarnDeprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
}

// A standard-library uuid.UUID with the 16 bytes as its big-endian value.
inline py::object StandardUUID(const UUID& identifier) {
    std::ostringstream hex;
    hex << std::hex << std::setfill('0');
    for (const std::uint8_t byte : identifier.bytes) hex << std::setw(2) << unsigned{byte};
    return py::module_::import("uuid").attr("UUID")(py::arg("hex") = hex.str());
}

// (device_id, model, hardware, firmware, [16 identifier bytes])
inline py::tuple InfoTuple(const DeviceInfo& info) {
    py::list bytes(info.device_id_ext.bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = py::int_(info.device_id_ext.bytes[i]);
    return py::make_tuple(py::int_(info.device_id), py::int_(info.device_model_number),
                          py::int_(info.hardware_version), py::int_(info.firmware_version), bytes);
}

inline py::dict InfoDict(const DeviceInfo& info) {
    py::dict dict;
    dict["device_id"] = py::int_(info.device_id);
    dict["device_model_number"] = py::int_(info.device_model_number);
    dict["hardware_version"] = py::int_(info.hardware_version);
    dict["firmware_version"] = py::int_(info.firmware_version);
    dict["device_id_ext"] = StandardUUID(info.device_id_ext);
    return dict;
}

// As InfoTuple, with the identifier as a new instance of the module's own UUID class.
inline py::tuple LegacyInfoTuple(const DeviceInfo& info) {
    return py::make_tuple(py::int_(info.device_id), py::int_(info.device_model_number),
                          py::int_(info.hardware_version), py::int_(info.firmware_version),
                          py::cast(info.device_id_ext));
}

}  // namespace Brivane::HardwareAPI::Python

namespace pybind11::detail {

template <std::size_t N>
struct type_caster<Brivane::HardwareAPI::Python::FixedFloatList<N>> {
    static constexpr auto name =
        const_name("Annotated[List[float], FixedSize(") + const_name<N>() + const_name(")]");

    static handle cast(const Brivane::HardwareAPI::Python::FixedFloatList<N>& src,
                       return_value_policy, handle) {
        return Brivane::HardwareAPI::Python::FloatList(src.values).release();
    }
};

}  // namespace pybind11::detail
