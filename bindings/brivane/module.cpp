// The brivane package's native part, brivane._brivane: errors, loop statistics and the
// registration of the arm, the grip and the port functions.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <string>

#include "base/ErrorLine.h"
#include "common/traffic.h"
#include "errors.h"
#include "native.h"
#include "records.h"
#include "stats.h"

namespace Brivane::HardwareAPI::Package {

namespace {

py::object Errors() {
    return py::module_::import("brivane.errors");
}

[[noreturn]] void Raise(py::object error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    throw py::error_already_set();
}

const char* KindName(Outcome::Kind kind) {
    switch (kind) {
        case Outcome::Kind::Answered:
            return "answered";
        case Outcome::Kind::NoAnswer:
            return "no_answer";
        case Outcome::Kind::BadAnswer:
            return "bad_answer";
        case Outcome::Kind::LineLost:
            return "line_lost";
        case Outcome::Kind::Refused:
            return "refused";
        case Outcome::Kind::Stopped:
            break;
    }
    return "stopped";
}

}  // namespace

std::string Printable(const std::string& port) {
    return HardwareAPI::Printable(port);
}

void RaiseFor(const Outcome& outcome, const std::string& port, const char* operation,
              double timeout, const std::string& bad_answer_advice,
              const std::string& no_answer_advice) {
    // A stop asked for by a signal handler raises what the handler raised.
    if (outcome.kind == Outcome::Kind::Stopped && PyErr_Occurred()) throw py::error_already_set();
    const py::bytes received(reinterpret_cast<const char*>(outcome.received.data()),
                             outcome.received_length);
    Raise(Errors().attr("_from_native")(KindName(outcome.kind), Printable(port), operation, timeout,
                                        outcome.error, received, bad_answer_advice,
                                        no_answer_advice));
}

std::string PortPath(py::handle port, const char* argument) {
    auto path = py::reinterpret_steal<py::object>(PyOS_FSPath(port.ptr()));
    if (!path) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        throw py::type_error(std::string(argument) +
                             " must be a port's path: a str, bytes or os.PathLike, not " +
                             Py_TYPE(port.ptr())->tp_name);
    }
    if (PyUnicode_Check(path.ptr())) {
        // A str the file system cannot encode raises the codec's own error.
        path = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(path.ptr()));
        if (!path) throw py::error_already_set();
    }
    std::string name(PyBytes_AS_STRING(path.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(path.ptr())));
    if (name.find('\0') != std::string::npos) {
        throw py::value_error(std::string(argument) +
                              " holds a NUL, which no path can: " + Printable(name));
    }
    return name;
}

py::str PortText(const std::string& port) {
    PyObject* text =
        PyUnicode_DecodeFSDefaultAndSize(port.data(), static_cast<Py_ssize_t>(port.size()));
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

void RaiseClosed(const char* what, const std::string& port) {
    throw py::value_error(std::string("the ") + what + " on " + Printable(port) + " is closed");
}

py::tuple Floats(const float* values, std::size_t count) {
    py::tuple tuple(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) throw py::error_already_set();
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple;
}

py::object Record(const py::object& cls, py::tuple fields) {
    const py::tuple arguments = py::make_tuple(std::move(fields));
    PyObject* record =
        PyTuple_Type.tp_new(reinterpret_cast<PyTypeObject*>(cls.ptr()), arguments.ptr(), nullptr);
    if (record == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(record);
}

py::bytes Bytes(const UUID& identifier) {
    return py::bytes(reinterpret_cast<const char*>(identifier.bytes.data()),
                     identifier.bytes.size());
}

py::tuple ArmIdentity(const DeviceInfo& info) {
    const py::object uuid_class = py::module_::import("uuid").attr("UUID");
    return py::make_tuple(info.device_id, info.device_model_number, info.hardware_version,
                          info.firmware_version,
                          uuid_class(py::arg("bytes") = Bytes(info.device_id_ext)));
}

py::tuple GripInfo(const Devices::HandleInfoResponse& info) {
    return py::make_tuple(info.device_id, info.tool_data_remaining, info.device_model_number,
                          info.hardware_version, info.firmware_version);
}

void RaisePortError(const std::string& port, int error) {
    Raise(Errors().attr("_port_error")(Printable(port), error));
}

void RaiseWrongDevice(const std::string& port, const std::string& what) {
    Raise(Errors().attr("WrongDevice")(Printable(port) + ": " + what, py::arg("port") = port,
                                       py::arg("operation") = "open"));
}

py::tuple LoopStats::Snapshot() const {
    const std::size_t count = std::min<std::uint64_t>(recorded_, kRecent);
    if (count == 0) return py::make_tuple(exchanges_, failures_, 0.0, 0.0, 0.0, 0.0);
    std::array<std::uint32_t, kRecent> sorted{};
    std::copy(latency_us_, latency_us_ + count, sorted.begin());
    std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count));
    const auto at = [&](double q) {
        return static_cast<double>(
            sorted[static_cast<std::size_t>(q * static_cast<double>(count - 1))]);
    };
    double rate = 0.0;
    if (count > 1) {
        const std::size_t newest = (recorded_ - 1) % kRecent;
        const std::size_t oldest = recorded_ > kRecent ? recorded_ % kRecent : 0;
        const double span = std::chrono::duration<double>(ended_[newest] - ended_[oldest]).count();
        if (span > 0) rate = static_cast<double>(count - 1) / span;
    }
    return py::make_tuple(exchanges_, failures_, rate, at(0.5), at(0.99),
                          static_cast<double>(max_us_));
}

}  // namespace Brivane::HardwareAPI::Package

PYBIND11_MODULE(_brivane, m) {
    namespace P = Brivane::HardwareAPI::Package;
    m.doc() = "The native part of the brivane package; use brivane itself.";
    P::RegisterArm(m);
    P::RegisterGrip(m);
    P::RegisterMesh(m);
    P::RegisterPorts(m);
    P::RegisterServo(m);
    P::RegisterTrace(m);
}
