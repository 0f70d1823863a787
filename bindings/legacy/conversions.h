// The module's own conversions: the shapes its methods return (lists, identity tuples and
// dicts), deprecation warnings and the guard against a second __init__. Its casters are in
// casters.h; what it shares with the brivane package is in common/.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "base/UUID.h"
#include "casters.h"
#include "common/traffic.h"
#include "common/values.h"
#include "devices/DeviceInfo.h"
#include "devices/Handle.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"

namespace Brivane::HardwareAPI::Python {

namespace py = pybind11;

// Writes a vec3 back over the first three elements, keeping any further ones.
inline std::vector<float> Overwrite(std::vector<float> values, const std::array<float, 3>& vec3) {
    for (std::size_t i = 0; i < 3; ++i) values[i] = vec3[i];
    return values;
}

// pybind11 silently ignores a second __init__ on a live object, so that a program that
// meant to move an arm to another port goes on using the first one. This puts a guard in
// front of the class's __init__ that refuses the call with TypeError, before any argument
// is converted or any port touched, and hands first calls on unchanged. The guard shows the
// same name and doc string, signatures included.
template <typename Class>
void RefuseSecondInit(Class& cls) {
    py::object init = cls.attr("__init__");
    const std::string doc = py::str(init.attr("__doc__"));
    py::options options;
    options.disable_function_signatures();
    py::cpp_function guard(
        [init](py::args args, py::kwargs kwargs) {
            if (args.size() > 0) {
                const py::detail::type_info* type =
                    py::detail::get_type_info(typeid(typename Class::type));
                auto* instance = reinterpret_cast<py::detail::instance*>(args[0].ptr());
                if (PyObject_TypeCheck(args[0].ptr(), type->type) &&
                    instance->get_value_and_holder(type).holder_constructed()) {
                    throw py::type_error(std::string(Py_TYPE(args[0].ptr())->tp_name) +
                                         " object is initialized already");
                }
            }
            init(*args, **kwargs);
        },
        py::name("__init__"), py::is_method(cls), py::doc(doc.c_str()),
        py::detail::is_new_style_constructor());
    // Named __init__, pybind11 takes the guard for a constructor and would skip it on a
    // live object too; it is a plain method that calls the constructor.
    auto capsule = py::reinterpret_borrow<py::capsule>(
        PyCFunction_GET_SELF(py::detail::get_function(guard).ptr()));
    auto* record = capsule.get_pointer<py::detail::function_record>();
    record->is_constructor = false;
    record->is_new_style_constructor = false;
    py::setattr(cls, "__init__", guard);
}

// Issued with the lock held and before any traffic, so that a warning turned into an error
// stops the call before anything reaches the device.
inline void WarnDeprecated(const char* message) {
    if (PyErr_WarnEx(PyExc_DeprecationWarning, message, 1) != 0) throw py::error_already_set();
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
