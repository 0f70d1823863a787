// The Kalvar class: its current methods, then the deprecated ones.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <vector>

#include "conversions.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"
#include "registration.h"

namespace py = pybind11;
using namespace Brivane::HardwareAPI::Python;
using Brivane::HardwareAPI::DeviceInfo;
using Brivane::HardwareAPI::Devices::Kalvar;
using Brivane::HardwareAPI::Devices::KalvarState;
using Brivane::HardwareAPI::Devices::Vec3;
using Brivane::HardwareAPI::IO::SerialStream;

namespace {

const char* const kReceiveDeviceInfoDoc = R"(
            Receive device info and return a tuple with the following fields: 

            device_id (uint16_t)
            
            device_model_num (uint8_t)
            
            hardware_version (uint8_t)
            
            firmware_version (uint8_t)
            
            device_id_ext (UUID)
            )";

py::tuple StateTuple(const KalvarState& state) {
    return py::make_tuple(FloatList(state.first), FloatList(state.second));
}

// A method that sends a vector and returns the state the arm answers with.
template <KalvarState (Kalvar::*Operation)(const Vec3&)>
void DefineStateCommand(py::class_<Kalvar>& kalvar, const char* name, const char* argument,
                        const char* doc) {
    kalvar.def(
        name,
        [argument](Kalvar& arm, const std::vector<float>& request) -> py::tuple {
            const Vec3 vec3 = RequireCommand(request, argument);
            return StateTuple(ReleasingInterpreterLock([&] { return (arm.*Operation)(vec3); }));
        },
        py::arg(argument) = std::vector<float>{0.0f, 0.0f, 0.0f}, doc);
}

// A deprecated method that only sends a vector.
template <void (Kalvar::*Send)(const Vec3&)>
void DefineLegacySend(py::class_<Kalvar>& kalvar, const char* name, const char* argument,
                      const char* doc, const char* warning) {
    kalvar.def(
        name,
        [argument, warning](Kalvar& arm, const std::vector<float>& request) {
            const Vec3 vec3 = RequireCommand(request, argument);
            if (warning != nullptr) WarnDeprecated(warning);
            ReleasingInterpreterLock([&] { (arm.*Send)(vec3); });
        },
        py::arg(argument) = std::vector<float>{0.0f, 0.0f, 0.0f}, doc);
}

// A deprecated method that only receives a state into copies of its two arguments.
template <int (Kalvar::*Receive)(Vec3&, Vec3&)>
void DefineLegacyReceiveState(py::class_<Kalvar>& kalvar, const char* name, const char* first,
                              const char* second, const char* doc, const char* warning) {
    kalvar.def(
        name,
        [first, second, warning](Kalvar& arm, std::vector<float> a,
                                 std::vector<float> b) -> py::tuple {
            Vec3 a3 = RequireVec3(a, first);
            Vec3 b3 = RequireVec3(b, second);
            WarnDeprecated(warning);
            ReleasingInterpreterLock([&] { return (arm.*Receive)(a3, b3); });
            return py::make_tuple(py::cast(Overwrite(std::move(a), a3)),
                                  py::cast(Overwrite(std::move(b), b3)));
        },
        py::arg(first) = std::vector<float>{0.0f, 0.0f, 0.0f},
        py::arg(second) = std::vector<float>{0.0f, 0.0f, 0.0f}, doc);
}

// The module's arms share one calibration: adjust_angles on one moves them all, as it
// always has.
const std::shared_ptr<Brivane::HardwareAPI::Devices::Calibration>& SharedCalibration() {
    static const auto calibration = std::make_shared<Brivane::HardwareAPI::Devices::Calibration>();
    return calibration;
}

}  // namespace

void RegisterKalvar(py::module_& m) {
    py::class_<Kalvar> kalvar(m, "Kalvar", "Kalvar Device Class");

    // The arm only points at its stream; the Python object keeps the stream alive.
    kalvar.def(py::init([](SerialStream* stream) {
                   if (stream == nullptr)
                       throw py::type_error("Kalvar needs a SerialStream, not None");
                   return std::make_unique<Kalvar>(stream, kModuleTimeout, SharedCalibration());
               }),
               py::keep_alive<1, 2>());
    RefuseSecondInit(kalvar);

    kalvar.def(
        "device_wakeup",
        [](Kalvar& arm) -> py::tuple {
            return InfoTuple(ReleasingInterpreterLock([&] { return arm.device_wakeup(); }));
        },
        "Wakeup the device and return the device info as a tuple.");
    kalvar.def(
        "device_wakeup_dict",
        [](Kalvar& arm) -> py::dict {
            return InfoDict(ReleasingInterpreterLock([&] { return arm.device_wakeup(); }));
        },
        "Wakeup the device and return the device info as a dict.");
    kalvar.def(
        "get_firmware_version",
        [](Kalvar& arm) -> py::object {
            return StandardUUID(HoldingInterpreterLock([&] { return arm.get_firmware_version(); }));
        },
        "Receive the firmware version of the device.");
    kalvar.def(
        "get_device_id",
        [](Kalvar& arm) -> py::object {
            return StandardUUID(HoldingInterpreterLock([&] { return arm.get_device_id(); }));
        },
        "Receive the UUID of the device.");
    kalvar.def(
        "get_motor_currents",
        [](Kalvar& arm) {
            return Fixed(HoldingInterpreterLock([&] { return arm.get_motor_currents(); }));
        },
        "Receive the motor currents of the device.");
    kalvar.def(
        "get_device_orientation",
        [](Kalvar& arm) {
            return Fixed(HoldingInterpreterLock([&] { return arm.get_device_orientation(); }));
        },
        "Receive the orientation of the base of the device.");
    kalvar.def(
        "get_power_status",
        [](Kalvar& arm) { return HoldingInterpreterLock([&] { return arm.get_power_status(); }); },
        "Receive the power status of the device.");
    kalvar.def(
        "get_temperature",
        [](Kalvar& arm) { return HoldingInterpreterLock([&] { return arm.get_temperature(); }); },
        "Receive the temperature of the device.");
    DefineStateCommand<&Kalvar::end_effector_force>(
        kalvar, "end_effector_force", "force request vector",
        "Send forces to the device and receive device states");
    kalvar.def(
        "get_end_effector_position",
        [](Kalvar& arm, Flag onboard) -> py::tuple {
            return StateTuple(ReleasingInterpreterLock(
                [&] { return arm.get_end_effector_position(onboard.value); }));
        },
        py::arg("onboard") = true, "Get the end-effector position and velocity");
    kalvar.def(
        "adjust_angles",
        [](Kalvar& arm, const std::vector<float>& angles) {
            const Vec3 target = RequireCommand(angles, "angles");
            HoldingInterpreterLock([&] { arm.adjust_angles(target); });
        },
        py::arg("angles") = std::vector<float>{0.0f, 0.0f, 0.0f},
        "Adjust the angles of the device");
    DefineStateCommand<&Kalvar::joint_torques>(
        kalvar, "joint_torques", "joint torque request vector",
        "Send joint torques to the device and receive the joint states");
    DefineStateCommand<&Kalvar::end_effector_position>(
        kalvar, "end_effector_position", "position request vector",
        "Send end-effector position and receive device states");
    DefineStateCommand<&Kalvar::joint_angles>(
        kalvar, "joint_angles", "joint angle request vector",
        "Send joint angles to the device and receive the joint states");

    // Deprecated: the two halves of the exchanges above, as separate calls.
    kalvar.def(
        "SendDeviceWakeup",
        [](Kalvar& arm) {
            WarnDeprecated("SendDeviceWakeup is deprecated, use device_wakeup instead");
            ReleasingInterpreterLock([&] { arm.SendDeviceWakeup(); });
        },
        "[DEPRECATED] Send a device wakeup command");
    kalvar.def(
        "ReceiveDeviceInfo",
        [](Kalvar& arm) -> py::tuple {
            DeviceInfo info;
            ReleasingInterpreterLock([&] {
                return arm.ReceiveDeviceInfo(info.device_id, info.device_model_number,
                                             info.hardware_version, info.firmware_version,
                                             info.device_id_ext);
            });
            return LegacyInfoTuple(info);
        },
        kReceiveDeviceInfoDoc);
    DefineLegacySend<&Kalvar::SendForce>(kalvar, "SendForce", "force",
                                         "[Deprecated] Send force to the device",
                                         "SendForce is deprecated, use end_effector_force instead");
    kalvar.def(
        "SendForce",
        [](Kalvar& arm, float x, float y, float z) {
            RequireFinite(x, [] { return "'ForceX'"; });
            RequireFinite(y, [] { return "'ForceY'"; });
            RequireFinite(z, [] { return "'ForceZ'"; });
            WarnDeprecated("SendForce is deprecated, use end_effector_force instead");
            ReleasingInterpreterLock([&] { arm.SendForce(x, y, z); });
        },
        py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
        "[Deprecated] Send force to the device");
    DefineLegacyReceiveState<&Kalvar::ReceiveState>(
        kalvar, "ReceiveState", "position", "velocity",
        "[Deprecated] receive state and return position and velocity",
        "ReceiveState is deprecated, use end_effector instead");
    DefineLegacyReceiveState<&Kalvar::ReceiveJointState>(
        kalvar, "ReceiveJointState", "joint_position", "joint_velocity",
        "[Deprecated] receive joint state and return position and velocity in the joint "
        "reference frame",
        "ReceiveJointState is deprecated, use joint_torques instead");
    DefineLegacySend<&Kalvar::SendJointTorques>(
        kalvar, "SendJointTorques", "joint_torque", "[Deprecated] send joint torque",
        "SendJointTorques is deprecated, use joint_torques instead");
    DefineLegacySend<&Kalvar::SendAngle>(kalvar, "SendAngle", "angle", "Send angles to the device",
                                         nullptr);
    kalvar.def(
        "RequestCurrent",
        [](Kalvar& arm) { ReleasingInterpreterLock([&] { arm.RequestCurrent(); }); },
        "request current");
    kalvar.def(
        "ReceiveCurrent",
        [](Kalvar& arm, std::vector<float> current) {
            Vec3 current3 = RequireVec3(current, "current");
            ReleasingInterpreterLock([&] { return arm.ReceiveCurrent(current3); });
            return Overwrite(std::move(current), current3);
        },
        py::arg("current") = std::vector<float>{0.0f, 0.0f, 0.0f},
        "receive current and return current");
    DefineLegacySend<&Kalvar::SendPosition>(
        kalvar, "SendPosition", "position", "[Deprecated] Send Position to the device",
        "SendPosition is deprecated, use end_effector_position instead");
}
