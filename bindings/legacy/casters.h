// The legacy module's casters, which its TypeError texts and signatures depend on: flags
// that refuse None, port names, fixed-size float lists, integers and float vectors stricter
// than pybind11's, and its classes' refusal of objects whose __init__ never ran. Some
// specialise pybind11's casters for standard types, so every file of the module includes
// this (through registration.h), and no file of the brivane package may: that one keeps
// pybind11's own conversions throughout.
#pragma once

#ifdef BRIVANE_PACKAGE_NATIVE
#error "the legacy module's casters are not for the brivane package's native part"
#endif

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/UUID.h"
#include "common/guards.h"
#include "common/values.h"
#include "devices/Handle.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"

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

template <>
class type_caster<Brivane::HardwareAPI::IO::SerialStream>
    : public initialized_caster<Brivane::HardwareAPI::IO::SerialStream> {};
template <>
class type_caster<Brivane::HardwareAPI::UUID>
    : public initialized_caster<Brivane::HardwareAPI::UUID> {};
template <>
class type_caster<Brivane::HardwareAPI::Devices::Kalvar>
    : public initialized_caster<Brivane::HardwareAPI::Devices::Kalvar> {};
template <>
class type_caster<Brivane::HardwareAPI::Devices::Handle>
    : public initialized_caster<Brivane::HardwareAPI::Devices::Handle> {};

}  // namespace pybind11::detail
