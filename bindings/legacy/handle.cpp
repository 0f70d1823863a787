// The Handle class and the override class through which Python subclasses receive messages.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

#include "conversions.h"
#include "devices/Handle.h"
#include "io/SerialStream.h"
#include "registration.h"

namespace py = pybind11;
using Brivane::HardwareAPI::Devices::Handle;
using Brivane::HardwareAPI::Devices::StavrinStatus;
using Brivane::HardwareAPI::IO::SerialStream;
using Brivane::HardwareAPI::Python::FloatList;
using Brivane::HardwareAPI::Python::RefuseSecondInit;
using Brivane::HardwareAPI::Python::ReleasingInterpreterLock;
using Brivane::HardwareAPI::Python::SetItem;

namespace {

// One user-data byte, or none when Python passes None. Shown to Python as a plain int so
// that the signature reads "user_data: int = None".
struct OptionalByte {
    bool present = false;
    std::uint8_t value = 0;
};

}  // namespace

namespace pybind11::detail {

template <>
struct type_caster<OptionalByte> {
    PYBIND11_TYPE_CASTER(OptionalByte, const_name("int"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value = OptionalByte{};
            return true;
        }
        make_caster<std::uint8_t> byte;
        if (!byte.load(source, convert)) return false;
        value = OptionalByte{true, cast_op<std::uint8_t>(byte)};
        return true;
    }

    static handle cast(const OptionalByte& source, return_value_policy, handle) {
        return source.present ? PyLong_FromLong(source.value) : none().release();
    }
};

}  // namespace pybind11::detail

namespace {

// The grip whose callback runs as a bound method of the class (through the class or super()),
// not for a message that Receive read. Only then is a call from inside the override itself
// no override of its own: that is how super() reaches the base's empty body.
thread_local const Handle* called_as_method = nullptr;

class CallbackEntry {
  public:
    explicit CallbackEntry(const Handle* grip) : saved_(called_as_method) {
        called_as_method = grip;
    }
    ~CallbackEntry() { called_as_method = saved_; }
    CallbackEntry(const CallbackEntry&) = delete;
    CallbackEntry& operator=(const CallbackEntry&) = delete;

  private:
    const Handle* saved_;
};

// Whether the running Python frame is the method `name` of `self`.
bool CalledFromItself(py::handle self, const char* name) {
    PyFrameObject* frame = PyEval_GetFrame();
    if (frame == nullptr) return false;
    const auto code =
        py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    if (py::str(code.attr("co_name")).cast<std::string>() != name ||
        code.attr("co_argcount").cast<int>() == 0) {
        return false;
    }
    PyObject* locals = PyEval_GetLocals();
    if (locals == nullptr) return false;
    const py::tuple names = code.attr("co_varnames");
    return PyDict_GetItemWithError(locals, names[0].ptr()) == self.ptr();
}

}  // namespace

// Built for Python subclasses of Handle: the field-wise callbacks look for Python overrides,
// with the interpreter lock taken back for the call (Receive runs without it).
class TrampolineHandle : public Handle {
  public:
    using Handle::Handle;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t device_model_number, std::uint8_t hardware_version,
                             std::uint8_t firmware_version) override {
        py::gil_scoped_acquire lock;
        if (py::object override = Override("OnReceiveHandleInfo")) {
            override(tool_data_remaining, device_id, device_model_number, hardware_version,
                     firmware_version);
        }
    }

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag,
                                      std::uint8_t hall_effect_sensor_level,
                                      std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        py::gil_scoped_acquire lock;
        py::object override = Override("OnReceiveHandleStatusMessage");
        if (!override) {
            py::pybind11_fail(
                "Tried to call pure virtual function "
                "\"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
        }
        py::list data(user_data_length);
        for (std::size_t i = 0; i < user_data_length; ++i) {
            SetItem(data, i, PyLong_FromLong(user_data[i]));
        }
        override(device_id, FloatList(quaternion, 4), error_flag, hall_effect_sensor_level,
                 user_data_length, data);
    }

    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
        py::gil_scoped_acquire lock;
        if (py::object override = Override("OnReceiveHandleErrorResponse")) {
            override(device_id, error_code);
        }
    }

  private:
    // The attribute `name` of the Python object, looked up for every message, so that a
    // handler added later, or one reached again from inside itself, is found. The class's
    // own method is none; an attribute that raises raises its own exception.
    py::object Override(const char* name) const {
        const auto* type = py::detail::get_type_info(typeid(Handle));
        const py::handle self =
            py::detail::get_object_handle(static_cast<const Handle*>(this), type);
        if (!self) return {};
        py::object attribute = self.attr(name);
        const py::handle function = py::detail::get_function(attribute);
        if (function && PyCFunction_Check(function.ptr())) return {};
        if (called_as_method == this && CalledFromItself(self, name)) return {};
        return attribute;
    }
};

void RegisterHandle(py::module_& m) {
    py::class_<Handle, TrampolineHandle> handle(m, "Handle", "The stavrin handle class");

    // The handle keeps its stream alive: the grip only holds a pointer to it.
    auto refuse_none = [](SerialStream* stream) {
        if (stream == nullptr) throw py::type_error("Handle needs a SerialStream, not None");
    };
    handle.def(py::init(
                   [refuse_none](SerialStream* stream) {
                       refuse_none(stream);
                       return std::make_unique<Handle>(stream, kModuleTimeout);
                   },
                   [refuse_none](SerialStream* stream) {
                       refuse_none(stream);
                       return std::make_unique<TrampolineHandle>(stream, kModuleTimeout);
                   }),
               py::keep_alive<1, 2>());
    RefuseSecondInit(handle);

    handle.def("SendDeviceWakeup",
               [](Handle& grip) { ReleasingInterpreterLock([&] { grip.SendDeviceWakeup(); }); });

    handle.def(
        "SendHandleState",
        [](Handle& grip, std::uint16_t device_id, std::uint8_t data_length,
           OptionalByte user_data) {
            // From Python at most one byte is given; never send bytes that were not.
            const unsigned given = user_data.present ? 1 : 0;
            if (data_length > given) {
                throw py::value_error("data_length " + std::to_string(data_length) +
                                      " is larger than the user data given (" +
                                      std::to_string(given) + (given == 1 ? " byte)" : " bytes)"));
            }
            ReleasingInterpreterLock([&] {
                grip.SendHandleState(device_id, data_length,
                                     user_data.present ? &user_data.value : nullptr);
            });
        },
        py::arg("device_id") = 0, py::arg("data_length") = 0, py::arg("user_data") = py::none(),
        "send handle state");

    handle.def(
        "RequestStatus",
        [](Handle& grip) { ReleasingInterpreterLock([&] { grip.RequestStatus(); }); },
        "request handle status");

    // The callbacks, reached by virtual dispatch: nothing on a plain Handle, the Python
    // override on a subclass instance.
    handle.def(
        "OnReceiveHandleInfo",
        [](Handle& grip, std::uint8_t tool_data_remaining, std::uint16_t device_id,
           std::uint8_t device_model_number, std::uint8_t hardware_version,
           std::uint8_t firmware_version) {
            const CallbackEntry entry(&grip);
            grip.OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number,
                                     hardware_version, firmware_version);
        },
        py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
        py::arg("hardware_version"), py::arg("firmware_version"), "OnReceiveHandleInfo");

    handle.def(
        "OnReceiveHandleStatusMessage",
        [](Handle& grip, std::uint16_t device_id, float quaternion, std::uint8_t error_flag,
           std::uint8_t hall_effect_sensor_level, std::uint8_t user_data_length,
           std::uint8_t user_data) {
            // One float and one byte are given; the callback reads four and
            // user_data_length: the rest are zeros, never memory beyond the values.
            const float quaternion4[4] = {quaternion, 0.0f, 0.0f, 0.0f};
            std::uint8_t data[255] = {user_data};
            const CallbackEntry entry(&grip);
            grip.OnReceiveHandleStatusMessage(device_id, quaternion4, error_flag,
                                              hall_effect_sensor_level, user_data_length, data);
        },
        py::arg("device_id"), py::arg("quaternion"), py::arg("error_flag"),
        py::arg("hall_effect_sensor_level"), py::arg("user_data_length"), py::arg("user_data"),
        "OnReceiveHandleStatusMessage");

    handle.def(
        "OnReceiveHandleErrorResponse",
        [](Handle& grip, std::uint16_t device_id, std::uint8_t error_code) {
            const CallbackEntry entry(&grip);
            grip.OnReceiveHandleErrorResponse(device_id, error_code);
        },
        py::arg("device_id"), py::arg("error_code"), "OnReceiveHandleErrorResponse");

    handle.def(
        "Receive",
        [](Handle& grip) {
            const CallbackEntry entry(nullptr);  // the callbacks it calls are for messages
            return ReleasingInterpreterLock([&] { return grip.Receive(); });
        },
        "Receive data from the handle");

    handle.def(
        "Receive",
        [](Handle& grip, std::uint8_t /*obsolete*/) {
            // Raised here, before any read, when warnings are errors.
            if (PyErr_WarnEx(PyExc_DeprecationWarning, "Receive with one argument is deprecated",
                             1) != 0) {
                throw py::error_already_set();
            }
            const CallbackEntry entry(nullptr);
            return ReleasingInterpreterLock([&] { return grip.Receive(); });
        },
        py::arg("obsolete"), "[DEPRECATED] Receive current and return current");

    handle.def(
        "GetStavrinStatus",
        [](Handle& grip) {
            const StavrinStatus status =
                ReleasingInterpreterLock([&] { return grip.GetStavrinStatus(); });
            py::dict result;
            result["device_id"] = py::int_(status.device_id);
            result["quaternion"] = FloatList(status.quaternion, 4);
            result["error_flag"] = py::int_(status.error_flag);
            result["hall_effect_sensor_level"] = py::int_(status.hall_effect_sensor_level);
            result["buttons"] = py::int_(status.buttons);
            result["battery_level"] = py::float_(status.battery_level);
            return result;
        },
        "Get the most recent Stavrin informations");
}
