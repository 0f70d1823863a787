// brivane._brivane.Arm: an arm that owns its port, with its own time-out, calibration, lock
// and loop statistics.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/values.h"
#include "devices/Kalvar.h"
#include "devices/Kinematics.h"
#include "errors.h"
#include "io/SerialStream.h"
#include "native.h"
#include "owned.h"
#include "records.h"
#include "stats.h"

namespace Brivane::HardwareAPI::Package {

namespace {

using Devices::EndEffectorState;
using Devices::JointState;
using Devices::Kalvar;
using Devices::Vec3;

// Gathers the numbers of `values` into `out`: a number, or a sequence of one or three
// items gathered in turn. So an array holding three numbers is taken whatever its shape,
// (3,), (1, 3), (3, 1)..., and nothing that could be read two ways is. False for anything
// else, text and bytes included: b"\0\0\x80?" is no vector.
bool Gather(py::handle values, Vec3& out, std::size_t& count, int depth) {
    PyObject* object = values.ptr();
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object) ||
        PyMemoryView_Check(object)) {
        return false;
    }
    if (PySequence_Check(object)) {
        const Py_ssize_t length = PySequence_Size(object);
        if (length >= 0) {
            if ((length != 1 && length != 3) || depth > 32) return false;
            for (Py_ssize_t i = 0; i < length; ++i) {
                const auto item = py::reinterpret_steal<py::object>(PySequence_GetItem(object, i));
                if (!item) throw py::error_already_set();
                if (!Gather(item, out, count, depth + 1)) return false;
            }
            return true;
        }
        PyErr_Clear();  // no length, as a 0-d array has: a number, perhaps
    }
    const double number = PyFloat_AsDouble(object);
    if (number == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (count == out.size()) return false;
    out[count++] = static_cast<float>(number);
    return true;
}

// The three finite numbers of a command's `argument`, refused before anything is sent.
Vec3 ThreeNumbers(py::handle values, const char* argument) {
    Vec3 vec{};
    std::size_t count = 0;
    if (!Gather(values, vec, count, 0) || count != 3) {
        std::string given = Py_TYPE(values.ptr())->tp_name;
        if (PySequence_Check(values.ptr()) && PySequence_Size(values.ptr()) >= 0) {
            given += " of length " + std::to_string(PySequence_Size(values.ptr()));
        }
        PyErr_Clear();
        throw py::type_error(std::string(argument) +
                             " must be 3 numbers: a sequence or an array of them, of shape "
                             "(3,), (1, 3) or (3, 1), not " +
                             given);
    }
    for (std::size_t i = 0; i < 3; ++i) {
        Python::RequireFinite(
            vec[i], [&] { return "element " + std::to_string(i) + " of '" + argument + "'"; });
    }
    return vec;
}

class Arm : public OwnedDevice<Arm, Kalvar> {
  public:
    static constexpr DeviceWords kWords{
        "arm", "",
        "a servo drives this arm; stop the servo first (its state, samples() and stats tell "
        "what the arm does meanwhile)"};

    Arm(py::handle port, double timeout, py::object state, py::object joint_state,
        py::object identity, py::object stats)
        : OwnedDevice(port, timeout),
          state_(std::move(state)),
          joint_state_(std::move(joint_state)),
          identity_class_(std::move(identity)),
          stats_class_(std::move(stats)) {
        Open();
    }

    // Opens the port and wakes the arm; the identity is what it answered.
    void Open() {
        const Outcome outcome = OpenDevice(
            [this](Kalvar& arm, const Limits& limits) { return arm.identify(identity_, limits); },
            calibration_);
        if (outcome.kind == Outcome::Kind::BadAnswer) {
            Close();
            // A device-info answer of another model, or something else altogether.
            if (Kalvar::another_model(outcome)) {
                RaiseWrongDevice(
                    port_, "a device of model " + std::to_string(identity_.device_model_number) +
                               " answered, not a Kalvar arm (model " +
                               std::to_string(Devices::KalvarMessages::kModelNumber) + ")");
            }
            RaiseWrongDevice(port_, "something answered the wake-up, but not as a Kalvar arm does");
        }
        if (!outcome.answered()) {
            Close();
            RaiseFor(outcome, port_, "wake-up", WakeLimit());
        }
    }

    py::object Identity() const { return Record(identity_class_, ArmIdentity(identity_)); }

    // One of the arm's commands (Kalvar::force, ...), whose answer is a State or a
    // JointState.
    template <typename State>
    using Drive = Outcome (Kalvar::*)(const Vec3&, State&, const Deadline&);
    py::object Command(Drive<EndEffectorState> drive, py::handle values, const char* argument,
                       const char* operation) {
        const EndEffectorState state = Drives(drive, values, argument, operation);
        return Record(state_, py::make_tuple(Floats(state.position.data(), 3),
                                             Floats(state.velocity.data(), 3)));
    }
    py::object Command(Drive<JointState> drive, py::handle values, const char* argument,
                       const char* operation) {
        const JointState state = Drives(drive, values, argument, operation);
        return Record(joint_state_, py::make_tuple(Floats(state.angles.data(), 3),
                                                   Floats(state.velocities.data(), 3)));
    }
    template <typename State>
    State Drives(Drive<State> drive, py::handle values, const char* argument,
                 const char* operation) {
        const Vec3 fields = ThreeNumbers(values, argument);
        State state;
        Exchange(operation, [&](const Deadline& deadline) {
            return ((*device_).*drive)(fields, state, deadline);
        });
        return state;
    }

    // One of the arm's queries, into `out`.
    template <typename Out>
    void Query(Outcome (Kalvar::*query)(Out&, const Deadline&), Out& out, const char* operation) {
        Exchange(operation,
                 [&](const Deadline& deadline) { return ((*device_).*query)(out, deadline); });
    }

    double Temperature() {
        float temperature = 0.0f;
        Query(&Kalvar::temperature, temperature, "temperature");
        return temperature;
    }

    bool Powered() {
        bool powered = false;
        Query(&Kalvar::powered, powered, "powered");
        return powered;
    }

    py::tuple Currents() {
        Vec3 currents{};
        Query(&Kalvar::currents, currents, "currents");
        return Floats(currents.data(), currents.size());
    }

    py::tuple Orientation() {
        std::array<float, 4> orientation{};
        Query(&Kalvar::orientation, orientation, "orientation");
        return Floats(orientation.data(), orientation.size());
    }

    py::bytes FirmwareId() {
        UUID identifier;
        Query(&Kalvar::firmware_id, identifier, "firmware_id");
        return Bytes(identifier);
    }

    // The joint angles now, read by commanding zero torques.
    Vec3 MeasuredAngles(const char* operation) {
        JointState state;
        Exchange(operation, [&](const Deadline& deadline) {
            return device_->torques(Vec3{}, state, deadline);
        });
        return state.angles;
    }

    void Calibrate(py::handle angles) {
        const Vec3 target = ThreeNumbers(angles, "angles");
        if (!calibration_->calibrate(MeasuredAngles("calibrate"), target)) {
            Outcome outcome;
            outcome.kind = Outcome::Kind::BadAnswer;
            RaiseFor(outcome, port_, "calibrate: the measured joint angles are not finite",
                     timeout_);
        }
    }

    py::tuple HostPosition() {
        const Vec3 position = calibration_->position(MeasuredAngles("host_position"));
        return Floats(position.data(), 3);
    }

    py::tuple Offsets() const {
        const Vec3 offsets = calibration_->offsets_in_degrees();
        return Floats(offsets.data(), 3);
    }

    // Under the arm's lock, which no exchange holds while it wants the interpreter lock.
    py::object Stats() {
        py::tuple snapshot;
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            snapshot = stats_.Snapshot();
        }
        return Record(stats_class_, snapshot);
    }
    void ResetStats() {
        const std::lock_guard<std::mutex> guard(mutex_);
        stats_.Reset();
    }

  private:
    // One exchange under this arm's lock, without the interpreter lock, ending by the
    // time-out. A lost line is raised again at once, without traffic, until the port is
    // opened again.
    template <typename Call>
    void Exchange(const char* operation, Call&& call) {
        Outcome outcome;
        const auto exchange = [&] {
            const auto start = LoopStats::Clock::now();
            const Deadline deadline = Deadline::After(timeout_);
            outcome = call(deadline);
            stats_.Record(start, LoopStats::Clock::now(), outcome.answered());
        };
        if (const int fault = Undriven(operation, exchange, mutex_)) outcome = LostLine(fault);
        if (!outcome.answered()) RaiseFor(outcome, port_, operation, timeout_);
    }

    // The record classes answers, the identity and the statistics are made into.
    py::object state_, joint_state_, identity_class_, stats_class_;
    DeviceInfo identity_;
    // The arm's own, kept across reopen(): each Kalvar opened on the port holds it.
    const std::shared_ptr<Devices::Calibration> calibration_ =
        std::make_shared<Devices::Calibration>();
    LoopStats stats_;
};

}  // namespace

ArmLoan LendArm(py::handle arm, const char* to) {
    return Arm::LendOf(arm, to);
}

void RegisterArm(py::module_& m) {
    py::class_<Arm> arm(m, "Arm");
    arm.def(py::init<py::handle, double, py::object, py::object, py::object, py::object>());
    Arm::Define(arm);
    arm.def_property_readonly("identity", &Arm::Identity);
    arm.def("force", [](Arm& a, py::handle force) {
        return a.Command(&Kalvar::force, force, "force", "force");
    });
    arm.def("position_target", [](Arm& a, py::handle position) {
        return a.Command(&Kalvar::position, position, "position", "position_target");
    });
    arm.def("torques", [](Arm& a, py::handle torques) {
        return a.Command(&Kalvar::torques, torques, "torques", "torques");
    });
    arm.def("angle_target", [](Arm& a, py::handle angles) {
        return a.Command(&Kalvar::angles, angles, "angles", "angle_target");
    });
    arm.def("temperature", &Arm::Temperature);
    arm.def("powered", &Arm::Powered);
    arm.def("currents", &Arm::Currents);
    arm.def("orientation", &Arm::Orientation);
    arm.def("firmware_id", &Arm::FirmwareId);
    arm.def("calibrate", &Arm::Calibrate);
    arm.def("host_position", &Arm::HostPosition);
    arm.def_property_readonly("offsets", &Arm::Offsets);
    arm.def("stats", &Arm::Stats);
    arm.def("reset_stats", &Arm::ResetStats);
}

}  // namespace Brivane::HardwareAPI::Package
