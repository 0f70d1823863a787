#include "Kalvar.h"

#include <cmath>
#include <cstring>

#include "../base/ErrorLine.h"
#include "../platform/SystemError.h"
#include "Kinematics.h"

namespace Brivane::HardwareAPI::Devices {

namespace M = KalvarMessages;
static_assert(M::kDeviceInfo.length == DeviceInfo::kWireSize, "the table's device info");

// The line number the calibration's error line gives, which programs know it by, wherever
// the reporting code sits in this file.
constexpr unsigned kCalibrationRefusedLine = 370;

Kalvar::Kalvar(IO::SerialStream* stream_, float timeout_, std::shared_ptr<Calibration> calibration)
    : Device(stream_, timeout_),
      calibration_(calibration ? std::move(calibration) : std::make_shared<Calibration>()) {}

// The two halves of every exchange.

Outcome Kalvar::send(const M::Frame& request, const Limits& limits) {
    const Outcome outcome = settle(limits);
    if (!outcome.answered()) return outcome;
    write_buffer[0] = request.code;
    return write_request(1, limits);
}

Outcome Kalvar::send(const M::Frame& request, const Vec3& fields, const Limits& limits) {
    const Outcome outcome = settle(limits);
    if (!outcome.answered()) return outcome;
    write_buffer[0] = request.code;
    return write_request(1 + M::Encode(M::Vector{fields}, write_buffer.get() + 1), limits);
}

// Read by read, the write is not asked how it went: the answer, or its absence, tells. By a
// deadline, a broken line ends the exchange at its write; a frame the line has not taken yet
// goes out first with the next write, and the answer an exchange waits for may still come.
// A loop that leaves the answers to its reader is told at once.
Outcome Kalvar::write_request(std::size_t length, const Limits& limits) {
    if (limits.waits_each_read()) {
        send_request(length);
        return Outcome{};
    }
    const Outcome sent = send_frame(length);
    const bool waits_for_answer = limits.owed() == Limits::Owed::WaitedFor;
    return sent.kind == Outcome::Kind::NoAnswer && waits_for_answer ? Outcome{} : sent;
}

Outcome Kalvar::command(const M::Frame& request, const Vec3& fields, const M::Frame& answer,
                        KalvarState& state, const Limits& limits) {
    Outcome outcome = send(request, fields, limits);
    if (outcome.answered()) outcome = receive_answer({answer.code}, answer.length, limits);
    if (!outcome.answered()) return outcome;
    const M::State decoded = M::Decode<M::State>(read_buffer.get());
    state.first = decoded.first;
    state.second = decoded.second;
    return outcome;
}

namespace {

// A named command: the wire's two vectors, given to `state` as its type names them and only
// for a whole answer.
template <typename State>
Outcome Command(Kalvar& arm, const M::Frame& request, const Vec3& fields, State& state,
                const Deadline& deadline) {
    KalvarState answer;
    const Outcome outcome =
        arm.command(request, fields, M::AnswerTo(request), answer, Limits::By(deadline));
    if (outcome.answered()) state = State{answer.first, answer.second};
    return outcome;
}

}  // namespace

Outcome Kalvar::force(const Vec3& force, EndEffectorState& state, const Deadline& deadline) {
    return Command(*this, M::kForce, force, state, deadline);
}
Outcome Kalvar::position(const Vec3& position, EndEffectorState& state, const Deadline& deadline) {
    return Command(*this, M::kPosition, position, state, deadline);
}
Outcome Kalvar::torques(const Vec3& torques, JointState& state, const Deadline& deadline) {
    return Command(*this, M::kJointTorques, torques, state, deadline);
}
Outcome Kalvar::angles(const Vec3& angles, JointState& state, const Deadline& deadline) {
    return Command(*this, M::kJointAngles, angles, state, deadline);
}

Outcome Kalvar::currents(Vec3& currents, const Deadline& deadline) {
    return query(M::kCurrentRequest, M::AnswerTo(M::kCurrentRequest), currents.data(),
                 currents.size(), Limits::By(deadline));
}
Outcome Kalvar::orientation(std::array<float, 4>& orientation, const Deadline& deadline) {
    return query(M::kOrientationRequest, M::AnswerTo(M::kOrientationRequest), orientation.data(),
                 orientation.size(), Limits::By(deadline));
}
Outcome Kalvar::temperature(float& temperature, const Deadline& deadline) {
    return query(M::kTemperatureRequest, M::AnswerTo(M::kTemperatureRequest), &temperature, 1,
                 Limits::By(deadline));
}
Outcome Kalvar::powered(bool& powered, const Deadline& deadline) {
    return query_power(powered, Limits::By(deadline));
}
Outcome Kalvar::firmware_id(UUID& identifier, const Deadline& deadline) {
    return query_identifier(M::kFirmwareIdentifier, identifier, Limits::By(deadline));
}
Outcome Kalvar::device_id(UUID& identifier, const Deadline& deadline) {
    return query_identifier(M::kDeviceIdentifier, identifier, Limits::By(deadline));
}

Outcome Kalvar::wake(DeviceInfo& info, const Limits& limits) {
    Outcome outcome = send(M::kWakeup, limits);
    if (outcome.answered()) {
        outcome = receive_answer({M::kDeviceInfo.code}, M::kDeviceInfo.length, limits);
    }
    if (outcome.answered()) info = M::Decode<DeviceInfo>(read_buffer.get());
    return outcome;
}

Outcome Kalvar::identify(DeviceInfo& info, const Limits& limits) {
    Outcome outcome = wake(info, limits);
    if (outcome.answered() && info.device_model_number != M::kModelNumber) {
        outcome.kind = Outcome::Kind::BadAnswer;
    }
    return outcome;
}

Outcome Kalvar::query(const M::Frame& request, const M::Frame& answer, float* out,
                      std::size_t count, const Limits& limits) {
    Outcome outcome = send(request, limits);
    if (outcome.answered()) outcome = receive_answer({answer.code}, answer.length, limits);
    if (!outcome.answered()) return outcome;
    M::DecodeFloats(read_buffer.get(), out, count);
    return outcome;
}

Outcome Kalvar::query_power(bool& powered, const Limits& limits) {
    Outcome outcome = send(M::kPowerStatusRequest, limits);
    if (outcome.answered()) {
        outcome = receive_answer({M::kPowerStatus.code}, M::kPowerStatus.length, limits);
    }
    if (outcome.answered()) powered = M::Decode<M::PowerStatus>(read_buffer.get()).powered != 0;
    return outcome;
}

// The echoed sub-code is read as a second code byte, so the payload is one shorter. An
// answer whose length byte is not 16 is malformed.
Outcome Kalvar::query_identifier(std::uint8_t sub_code, UUID& identifier, const Limits& limits) {
    Outcome outcome = settle(limits);
    if (!outcome.answered()) return outcome;
    write_buffer[0] = M::kIdentifierRequest.code;
    outcome =
        write_request(1 + M::Encode(M::IdentifierQuery{sub_code}, write_buffer.get() + 1), limits);
    if (!outcome.answered()) return outcome;
    outcome = receive_answer({M::kIdentifier.code, sub_code}, M::kIdentifier.length - 1u, limits);
    if (!outcome.answered()) return outcome;
    std::uint8_t payload[M::kIdentifier.length] = {sub_code};
    std::memcpy(payload + 1, read_buffer.get(), M::kIdentifier.length - 1u);
    const M::Identifier answer = M::Decode<M::Identifier>(payload);
    if (answer.length != sizeof identifier.bytes) {
        outcome.kind = Outcome::Kind::BadAnswer;
        outcome.keep(M::kIdentifier.code);
        outcome.keep(sub_code);
        for (std::size_t i = 0; i < M::kIdentifier.length - 1u; ++i) outcome.keep(read_buffer[i]);
        return outcome;
    }
    identifier.bytes = answer.bytes;
    return outcome;
}

// A loop's halves of the force command.

Outcome Kalvar::send_force(const Vec3& force) {
    return send(M::kForce, force, Limits::By(Deadline::Never()).leaving_owed_to_reader());
}

Outcome Kalvar::take_states(EndEffectorState& state, int& taken, const Deadline& deadline) {
    constexpr std::size_t kLength = 1 + M::kEndEffectorState.length;
    taken = 0;
    Outcome outcome;
    bool junk = false;
    if (stream == nullptr) return failed();
    // A flood of bytes is cut off after a few buffers' worth: the loop's period comes first.
    for (int round = 0; round < 64; ++round) {
        // After the first answer, only what has come already: the newest is the one to use.
        const Deadline until = taken > 0 ? Deadline::At(Deadline::Clock::now()) : deadline;
        const std::size_t need = kLength - loop_answer_length_;
        std::size_t take = need;
        const Platform::IoStatus waited = stream->WaitForBytes(need, until).status;
        switch (waited) {
            case Platform::IoStatus::Done:
                break;
            case Platform::IoStatus::Partial:
            case Platform::IoStatus::TimedOut:
                take = std::min<std::size_t>(
                    need, static_cast<std::size_t>(std::max<std::int32_t>(stream->Available(), 0)));
                break;
            case Platform::IoStatus::Failed:
            case Platform::IoStatus::Interrupted:
                return failed();
        }
        if (take > 0) {
            // What a short read took is kept: a broken line fails the next round's wait.
            const auto got = static_cast<std::size_t>(
                stream
                    ->Read(reinterpret_cast<char*>(loop_answer_.data() + loop_answer_length_), take)
                    .count);
            // An answer begins with its code: bytes before one are dropped.
            std::size_t skip = 0;
            const std::size_t held = loop_answer_length_ + got;
            while (skip < held && loop_answer_[skip] != M::kEndEffectorState.code) {
                outcome.keep(loop_answer_[skip]);
                ++skip;
            }
            junk = junk || skip > 0;
            std::memmove(loop_answer_.data(), loop_answer_.data() + skip, held - skip);
            loop_answer_length_ = held - skip;
        }
        if (loop_answer_length_ == kLength) {
            const M::State decoded = M::Decode<M::State>(loop_answer_.data() + 1);
            state.position = decoded.first;
            state.velocity = decoded.second;
            loop_answer_length_ = 0;
            ++taken;
            continue;
        }
        // Done with bytes dropped, or the start of an answer whose rest is on its way.
        if (waited != Platform::IoStatus::Done && until.Expired()) break;
    }
    if (junk)
        outcome.kind = Outcome::Kind::BadAnswer;
    else if (taken == 0)
        outcome.kind = Outcome::Kind::NoAnswer;
    return outcome;
}

void Kalvar::end_loop(int outstanding, Deadline::Clock::duration waited) {
    constexpr std::size_t kLength = 1 + M::kEndEffectorState.length;
    const std::size_t begun = loop_answer_length_;
    loop_answer_length_ = 0;
    if (outstanding <= 0) return;
    owe(static_cast<std::size_t>(outstanding) * kLength - std::min(begun, kLength), waited);
}

// Joint angles in degrees, read by commanding zero torques; zeros when no answer came.
Vec3 Kalvar::joint_angles_now() {
    return joint_torques(Vec3{}).first;
}

// Arms may share the offsets: one arm's NaN would spoil the positions of all.
void Kalvar::adjust_angles(const Vec3& angles) {
    const Vec3 measured = joint_angles_now();
    if (!calibration_->calibrate(measured, angles) && stream != nullptr &&
        stream->WritesErrorLines()) {
        ReportError(__FILE__, kCalibrationRefusedLine, Platform::BadValueError(),
                    "joint angles measured by the arm are not finite (%g, %g, %g): "
                    "calibration unchanged",
                    static_cast<double>(measured[0]), static_cast<double>(measured[1]),
                    static_cast<double>(measured[2]));
    }
}

}  // namespace Brivane::HardwareAPI::Devices
