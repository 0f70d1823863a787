#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "../base/UUID.h"
#include "../io/SerialStream.h"
#include "Device.h"
#include "DeviceInfo.h"
#include "KalvarMessages.h"
#include "Kinematics.h"

namespace Brivane::HardwareAPI::Devices {

using Vec3 = std::array<float, 3>;

// An answer of two vectors as the wire has it: position and velocity of the end effector,
// or joint angles in degrees and joint velocities, as the command that filled it says. The
// zero-returning calls return it; the named ones below say which by their state's type.
struct KalvarState {
    Vec3 first{};
    Vec3 second{};
};

// The answer to a force or position command: the end effector's position (m) and velocity
// (m/s).
struct EndEffectorState {
    Vec3 position{};
    Vec3 velocity{};
};

// The answer to a torque or angle command: the joint angles (degrees) and the joint
// velocities (degrees per second).
struct JointState {
    Vec3 angles{};
    Vec3 velocities{};
};

// The three-joint haptic arm. Every operation is one request/response exchange. The named
// operations that return an Outcome are the protocol core (Kalvar.cpp); the zero-returning
// ones, where a missing, mismatched or short answer gives zero values, and the legacy halves
// of the exchanges are kept for older callers as adapters over it (legacy/KalvarLegacy.cpp).
struct Kalvar : Device {
    // An arm with a calibration of its own, or with `calibration`, which other arms may share.
    Kalvar(IO::SerialStream* stream, float timeout,
           std::shared_ptr<Calibration> calibration = nullptr);

    // The joint-angle calibration the host-side position uses.
    Calibration& calibration() const { return *calibration_; }

    DeviceInfo device_wakeup();
    UUID get_firmware_version();
    UUID get_device_id();
    Vec3 get_motor_currents();
    std::array<float, 4> get_device_orientation();
    bool get_power_status();
    float get_temperature();
    KalvarState end_effector_force(const Vec3& force);
    KalvarState end_effector_position(const Vec3& position);
    KalvarState joint_torques(const Vec3& torques);
    KalvarState joint_angles(const Vec3& angles);
    // Onboard: the arm's own state, at the cost of commanding a zero force. Otherwise the
    // position is computed here from the joint angles, with a zero velocity.
    KalvarState get_end_effector_position(bool onboard);
    // Calibrates the arm's joint-angle offsets so that its present pose reads as `angles`
    // (degrees). Every arm that shares its calibration moves with it.
    void adjust_angles(const Vec3& angles);

    // The arm's commands by name, each one exchange that ends by `deadline` and tells how
    // it ended: Answered (`state` holds the answer), NoAnswer, BadAnswer (with its bytes),
    // LineLost (with the system's number), Stopped. `state` is written only when the whole
    // answer came. A C++ loop tells a late answer from a lost line here, without reading
    // stderr.
    Outcome force(const Vec3& force, EndEffectorState& state, const Deadline& deadline);
    Outcome position(const Vec3& position, EndEffectorState& state, const Deadline& deadline);
    Outcome torques(const Vec3& torques, JointState& state, const Deadline& deadline);
    Outcome angles(const Vec3& angles, JointState& state, const Deadline& deadline);
    // The arm's queries by name, in the same way: the motor currents (A), the base's
    // orientation (a quaternion), the temperature (°C), the power status, the firmware's and
    // the device's identifiers.
    Outcome currents(Vec3& currents, const Deadline& deadline);
    Outcome orientation(std::array<float, 4>& orientation, const Deadline& deadline);
    Outcome temperature(float& temperature, const Deadline& deadline);
    Outcome powered(bool& powered, const Deadline& deadline);
    Outcome firmware_id(UUID& identifier, const Deadline& deadline);
    Outcome device_id(UUID& identifier, const Deadline& deadline);

    // A fixed-rate loop's halves of the force command, apart so that a late answer can be
    // waited for past a period and a lost one given up without a quiet line: the arm answers
    // every request in order and every force answer has the same shape, so the newest one
    // is the state to use. send_force() sends the request without waiting for what is owed;
    // Answered when the line took it, NoAnswer when it did not in time (its rest goes out
    // first next time), LineLost, Stopped.
    Outcome send_force(const Vec3& force);
    // Waits until `deadline` for a whole state answer, then takes every one queued besides:
    // `taken` counts them, `state` holds the newest. Bytes that begin no answer are dropped
    // up to the next answer's code and end it as BadAnswer (`taken` may still be above 0);
    // the rest of an answer that has begun is kept for the next call. Answered, NoAnswer,
    // BadAnswer, LineLost, Stopped.
    Outcome take_states(EndEffectorState& state, int& taken, const Deadline& deadline);
    // Ends such a loop: `outstanding` answers may still come, and are owed to the calls after
    // it as a late answer is, so that none of them is taken for theirs.
    void end_loop(int outstanding, Deadline::Clock::duration waited);

    // The current operations as exchanges that tell how they ended (Device.h). The
    // outputs are written only when the whole answer came; the operations above are these
    // with the device's timeout for each read and zeros for a failure.
    Outcome wake(DeviceInfo& info, const Limits& limits);
    // The one identification of an arm: wakes it and checks that an arm answered. Answered,
    // with its identity record; BadAnswer when something else answered, a device of another
    // model included (`info` holds its record then, and `received` begins with its code);
    // NoAnswer; LineLost; Stopped.
    Outcome identify(DeviceInfo& info, const Limits& limits);
    // Whether an identify() that ended in BadAnswer heard an arm's device-info answer of
    // another model (`info` holds it), rather than something else altogether.
    static bool another_model(const Outcome& identified) {
        return identified.kind == Outcome::Kind::BadAnswer && identified.received_length > 0 &&
               identified.received[0] == KalvarMessages::kDeviceInfo.code;
    }
    Outcome command(const KalvarMessages::Frame& request, const Vec3& fields,
                    const KalvarMessages::Frame& answer, KalvarState& state, const Limits& limits);
    // A request without fields whose answer is `count` floats (currents, orientation,
    // temperature).
    Outcome query(const KalvarMessages::Frame& request, const KalvarMessages::Frame& answer,
                  float* out, std::size_t count, const Limits& limits);
    Outcome query_power(bool& powered, const Limits& limits);
    Outcome query_identifier(std::uint8_t sub_code, UUID& identifier, const Limits& limits);

    // Legacy: sends only.
    void SendDeviceWakeup();
    void SendForce(float x, float y, float z);
    void SendForce(const Vec3& force);
    void SendJointTorques(const Vec3& torques);
    void SendAngle(const Vec3& angles);
    void RequestCurrent();
    void SendPosition(const Vec3& position);
    // Legacy: receives only. The outputs are written only when the whole answer arrived;
    // the result is the payload length then, -1 otherwise.
    int ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                          std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                          UUID& device_id_ext);
    int ReceiveState(Vec3& position, Vec3& velocity);
    int ReceiveJointState(Vec3& joint_position, Vec3& joint_velocity);
    int ReceiveCurrent(Vec3& current);

  private:
    // Sends a request once nothing is owed (Device::settle), telling how the write went as
    // `limits` asks (write_request); otherwise sends nothing and tells why.
    Outcome send(const KalvarMessages::Frame& request, const Limits& limits);
    Outcome send(const KalvarMessages::Frame& request, const Vec3& fields, const Limits& limits);
    Outcome write_request(std::size_t length, const Limits& limits);
    bool receive(const KalvarMessages::Frame& answer);
    // Reads `count` floats of the answer's payload into `out`, or leaves it alone.
    bool receive_floats(const KalvarMessages::Frame& answer, float* out, std::size_t count);
    int receive_state(const KalvarMessages::Frame& answer, Vec3& first, Vec3& second);
    KalvarState command(const KalvarMessages::Frame& request, const Vec3& fields,
                        const KalvarMessages::Frame& answer);
    Vec3 joint_angles_now();

    std::shared_ptr<Calibration> calibration_;
    // A loop's answer begun and not yet whole (take_states).
    std::array<std::uint8_t, 1 + KalvarMessages::kEndEffectorState.length> loop_answer_{};
    std::size_t loop_answer_length_ = 0;
};

}  // namespace Brivane::HardwareAPI::Devices
