// What both Python bindings take from Python and give back: vectors of floats and their
// checks, integers, flags and port names, and the standard uuid.UUID. No library type is
// registered here: each binding has its own classes.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "base/UUID.h"

namespace Brivane::HardwareAPI::Python {

namespace py = pybind11;

// A bool argument that refuses None, which pybind11 would take for False.
struct Flag {
    bool value = false;
};

// A port name, in the bytes the system knows it by.
struct PortName {
    std::string name;
};

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

namespace pybind11::detail {

// A vector of numbers from any sequence but a bytes-like object, whose items are its bytes:
// bytearray(struct.pack('<3f', 0, 0, 1)) is no force of (0, 0, 1).
template <>
struct type_caster<std::vector<float>> : list_caster<std::vector<float>, float> {
    bool load(handle source, bool convert) {
        if (PyBytes_Check(source.ptr()) || PyByteArray_Check(source.ptr()) ||
            PyMemoryView_Check(source.ptr())) {
            return false;
        }
        return list_caster<std::vector<float>, float>::load(source, convert);
    }
};

template <>
struct type_caster<Brivane::HardwareAPI::Python::Flag> {
    PYBIND11_TYPE_CASTER(Brivane::HardwareAPI::Python::Flag, const_name("bool"));

    bool load(handle source, bool convert) {
        if (source.is_none()) return false;
        make_caster<bool> flag;
        if (!flag.load(source, convert)) return false;
        value.value = cast_op<bool>(flag);
        return true;
    }

    static handle cast(Brivane::HardwareAPI::Python::Flag source, return_value_policy, handle) {
        return handle(source.value ? Py_True : Py_False).inc_ref();
    }
};

// The grip's integers, as Python means them: an int, or an object that is one (__index__).
// pybind11 on its own would also truncate anything with __int__: Decimal("300.9") is no
// device id 300. Anything else, or a value beyond the width, is no match for the argument.
template <typename T>
struct whole_number_caster {
    PYBIND11_TYPE_CASTER(T, const_name("int"));

    bool load(handle source, bool) {
        if (PyFloat_Check(source.ptr()) || !PyIndex_Check(source.ptr())) return false;
        const auto index = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
        if (!index) {
            PyErr_Clear();
            return false;
        }
        const unsigned long long number = PyLong_AsUnsignedLongLong(index.ptr());
        if (PyErr_Occurred()) {  // negative, or wider than any C integer
            PyErr_Clear();
            return false;
        }
        if (number > std::numeric_limits<T>::max()) return false;
        value = static_cast<T>(number);
        return true;
    }

    static handle cast(T source, return_value_policy, handle) {
        return PyLong_FromUnsignedLong(source);
    }
};

template <>
struct type_caster<std::uint8_t> : whole_number_caster<std::uint8_t> {};
template <>
struct type_caster<std::uint16_t> : whole_number_caster<std::uint16_t> {};

// A port name: a str as the file system encodes it (os.fsencode, so that a name Python
// decoded with surrogate escapes gets its bytes back), bytes and bytearray as they are.
template <>
struct type_caster<Brivane::HardwareAPI::Python::PortName> {
    PYBIND11_TYPE_CASTER(Brivane::HardwareAPI::Python::PortName, const_name("str"));

    bool load(handle source, bool) {
        object encoded;
        if (PyUnicode_Check(source.ptr())) {
            encoded = reinterpret_steal<object>(PyUnicode_EncodeFSDefault(source.ptr()));
            if (!encoded) throw error_already_set();  // the codec's own reason
            source = encoded;
        }
        const char* bytes = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_Check(source.ptr())) {
            bytes = PyBytes_AS_STRING(source.ptr());
            size = PyBytes_GET_SIZE(source.ptr());
        } else if (PyByteArray_Check(source.ptr())) {
            bytes = PyByteArray_AS_STRING(source.ptr());
            size = PyByteArray_GET_SIZE(source.ptr());
        } else {
            return false;
        }
        value.name.assign(bytes, static_cast<std::size_t>(size));
        return true;
    }

    static handle cast(const Brivane::HardwareAPI::Python::PortName& source, return_value_policy,
                       handle) {
        return PyUnicode_DecodeFSDefaultAndSize(source.name.data(),
                                                static_cast<Py_ssize_t>(source.name.size()));
    }
};

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
