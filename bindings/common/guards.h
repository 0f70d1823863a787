// The guard against objects whose __init__ never ran, for the classes of either binding.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace Brivane::HardwareAPI::Python {

namespace py = pybind11;

// pybind11 hands out uninitialised memory for an object whose __init__ never ran
// (Kalvar.__new__(Kalvar)); such an object is refused wherever it is passed, self included.
template <typename T>
void RequireInitialized(py::handle source) {
    const py::detail::type_info* type = py::detail::get_type_info(typeid(T));
    if (type == nullptr || !PyObject_TypeCheck(source.ptr(), type->type)) return;
    auto* instance = reinterpret_cast<py::detail::instance*>(source.ptr());
    if (!instance->get_value_and_holder(type).holder_constructed()) {
        throw py::type_error(std::string(Py_TYPE(source.ptr())->tp_name) +
                             " object is not initialized: its __init__ has not run");
    }
}

}  // namespace Brivane::HardwareAPI::Python

namespace pybind11::detail {

template <typename T>
struct initialized_caster : type_caster_base<T> {
    bool load(handle source, bool convert) {
        Brivane::HardwareAPI::Python::RequireInitialized<T>(source);
        return type_caster_base<T>::load(source, convert);
    }
};

}  // namespace pybind11::detail
