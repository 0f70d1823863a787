#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LineDevice.h"
#include "devices/Kalvar.h"
#include "devices/Kinematics.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
using Testing::Bytes;
using Testing::FloatBytes;
using Testing::LineDevice;

namespace {

constexpr float kTimeout = 0.1f;

// Sized once and copied into: at -O3, GCC 12 warns (-Warray-bounds) of a bound that an
// insert into a one-byte vector never crosses; a copy into a sized one has no such path.
Bytes Framed(std::initializer_list<std::uint8_t> codes, const Bytes& payload = {}) {
    Bytes frame(codes.size() + payload.size());
    const auto rest = std::copy(codes.begin(), codes.end(), frame.begin());
    std::copy(payload.begin(), payload.end(), rest);
    return frame;
}

Bytes Sequence(std::uint8_t first, std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

// An arm on a fresh line.
struct Line {
    LineDevice device;
    IO::SerialStream stream{device.path().c_str(), true};
    Kalvar arm{&stream, kTimeout};
};

using Values = std::vector<float>;

Values Flat(const DeviceInfo& info) {
    Values values{float(info.device_id), float(info.device_model_number),
                  float(info.hardware_version), float(info.firmware_version)};
    for (const auto byte : info.device_id_ext.bytes) values.push_back(byte);
    return values;
}
Values Flat(const UUID& identifier) {
    return Values(identifier.bytes.begin(), identifier.bytes.end());
}
template <std::size_t N>
Values Flat(const std::array<float, N>& floats) {
    return Values(floats.begin(), floats.end());
}
Values Flat(const Vec3& first, const Vec3& second) {
    Values values = Flat(first);
    values.insert(values.end(), second.begin(), second.end());
    return values;
}
Values Flat(const KalvarState& state) {
    return Flat(state.first, state.second);
}
Values Flat(const EndEffectorState& state) {
    return Flat(state.position, state.velocity);
}
Values Flat(const JointState& state) {
    return Flat(state.angles, state.velocities);
}

// One operation: the request it must send, a good answer, what that answer decodes to, and
// what the operation yields when the answer fails (all zeros unless given).
struct Operation {
    const char* name;
    std::function<Values(Kalvar&)> run;
    Bytes request;
    Bytes answer;
    std::size_t codes;  // code bytes at the start of the answer
    Values decoded;
    Values on_failure;

    Values Failure() const {
        return on_failure.empty() ? Values(decoded.size(), 0.0f) : on_failure;
    }
};

const Bytes kZeroVector(12, 0);
const Bytes kState = FloatBytes({0.5f, -1.25f, 2.0f, 3.5f, -4.0f, 1e-3f});
const Values kStateValues{0.5f, -1.25f, 2.0f, 3.5f, -4.0f, 1e-3f};

std::vector<Operation> Operations() {
    Values info{300, 4, 2, 7};
    for (int i = 0; i < 16; ++i) info.push_back(float(i));
    Values identifier;
    for (int i = 0; i < 16; ++i) identifier.push_back(float(0xA0 + i));
    // The position of the joint angles in kState, computed independently; zero angles give
    // the second one.
    const Values host_position{-0.00038156941f, 0.024497636f, 0.21145394f, 0, 0, 0};
    const Values host_at_zero{2.0985658e-06f, 0.0245f, -0.11854772f, 0, 0, 0};

    return {
        {"device_wakeup",
         [](Kalvar& a) { return Flat(a.device_wakeup()); },
         {0x0A},
         Framed({0x0B}, Framed({0x2C, 0x01, 4, 2, 7}, Sequence(0, 16))),
         1,
         info,
         {}},
        {"get_firmware_version",
         [](Kalvar& a) { return Flat(a.get_firmware_version()); },
         {0x0D, 0xD2},
         Framed({0x0D, 0xD2, 16}, Sequence(0xA0, 16)),
         2,
         identifier,
         {}},
        {"get_device_id",
         [](Kalvar& a) { return Flat(a.get_device_id()); },
         {0x0D, 0xD1},
         Framed({0x0D, 0xD1, 16}, Sequence(0xA0, 16)),
         2,
         identifier,
         {}},
        {"get_motor_currents",
         [](Kalvar& a) { return Flat(a.get_motor_currents()); },
         {0xAB},
         Framed({0xAB}, FloatBytes({1.5f, -2.25f, 3.0f})),
         1,
         {1.5f, -2.25f, 3.0f},
         {}},
        {"get_device_orientation",
         [](Kalvar& a) { return Flat(a.get_device_orientation()); },
         {0x0C},
         Framed({0x0C}, FloatBytes({0.0f, 0.7071f, 0.0f, 0.7071f})),
         1,
         {0.0f, 0.7071f, 0.0f, 0.7071f},
         {}},
        {"get_power_status",
         [](Kalvar& a) { return Values{float(a.get_power_status())}; },
         {0xAC},
         {0xAC, 0x02},
         1,
         {1.0f},
         {}},
        {"get_temperature",
         [](Kalvar& a) { return Values{a.get_temperature()}; },
         {0xAA},
         Framed({0xAA}, FloatBytes({36.5f})),
         1,
         {36.5f},
         {}},
        {"end_effector_force",
         [](Kalvar& a) {
             return Flat(a.end_effector_force({1, 2, 3}));
         },
         Framed({0x2A}, FloatBytes({1, 2, 3})),
         Framed({0x2B}, kState),
         1,
         kStateValues,
         {}},
        {"end_effector_position",
         [](Kalvar& a) {
             return Flat(a.end_effector_position({-1, 0.5f, 2}));
         },
         Framed({0x2C}, FloatBytes({-1, 0.5f, 2})),
         Framed({0x2B}, kState),
         1,
         kStateValues,
         {}},
        {"joint_torques",
         [](Kalvar& a) {
             return Flat(a.joint_torques({0.25f, 0, -8}));
         },
         Framed({0x1A}, FloatBytes({0.25f, 0, -8})),
         Framed({0x1B}, kState),
         1,
         kStateValues,
         {}},
        {"joint_angles",
         [](Kalvar& a) {
             return Flat(a.joint_angles({90, -45, 30}));
         },
         Framed({0x1C}, FloatBytes({90, -45, 30})),
         Framed({0x1B}, kState),
         1,
         kStateValues,
         {}},
        {"get_end_effector_position(onboard)",
         [](Kalvar& a) { return Flat(a.get_end_effector_position(true)); },
         Framed({0x2A}, kZeroVector),
         Framed({0x2B}, kState),
         1,
         kStateValues,
         {}},
        {"get_end_effector_position(host)",
         [](Kalvar& a) { return Flat(a.get_end_effector_position(false)); },
         Framed({0x1A}, kZeroVector), Framed({0x1B}, kState), 1, host_position, host_at_zero},
    };
}

void ExpectValues(const Values& actual, const Values& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-6) << i;
}

}  // namespace

TEST(Kalvar, EveryOperationSendsItsFrameAndDecodesItsAnswer) {
    for (const Operation& operation : Operations()) {
        SCOPED_TRACE(operation.name);
        Line line;
        line.device.Respond(operation.request.size(), operation.answer);
        ExpectValues(operation.run(line.arm), operation.decoded);
        EXPECT_EQ(line.device.Join(), operation.request);
        EXPECT_TRUE(line.device.ReceiveAll(0.02).empty()) << "sent more than its frame";
    }
}

TEST(Kalvar, EveryOperationYieldsItsDefaultsOnAFailedAnswer) {
    testing::internal::CaptureStderr();
    for (const Operation& operation : Operations()) {
        SCOPED_TRACE(operation.name);
        Bytes wrong_code = operation.answer;
        wrong_code[operation.codes - 1] ^= 0x40;  // the last code byte, so all must be read
        Bytes short_payload = operation.answer;
        short_payload.pop_back();

        for (const Bytes& answer : {wrong_code, short_payload, Bytes{}}) {
            Line line;
            line.device.Respond(operation.request.size(), answer);
            ExpectValues(operation.run(line.arm), operation.Failure());
            EXPECT_EQ(line.device.Join(), operation.request);
            if (answer == wrong_code) {
                // The wrong answer was drained: the next one is read cleanly.
                line.device.Respond(operation.request.size(), operation.answer);
                ExpectValues(operation.run(line.arm), operation.decoded);
            }
        }
    }
    testing::internal::GetCapturedStderr();
}

TEST(Kalvar, IdentifierAnswers) {
    testing::internal::CaptureStderr();
    {
        // A length byte other than 16: nil, though all 17 bytes were taken off the line.
        Line line;
        line.device.Respond(2, Framed({0x0D, 0xD1, 15}, Sequence(0xA0, 16)));
        EXPECT_EQ(Flat(line.arm.get_device_id()), Values(16, 0.0f));
        line.device.Respond(1, Framed({0xAA}, FloatBytes({21.0f})));
        EXPECT_EQ(line.arm.get_temperature(), 21.0f);
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(log, "");

    // A wrong first code is compared only after the second code byte was waited for.
    testing::internal::CaptureStderr();
    {
        Line line;
        line.device.Respond(2, {0x0E});
        EXPECT_EQ(Flat(line.arm.get_firmware_version()), Values(16, 0.0f));
    }
    log = testing::internal::GetCapturedStderr();
    std::size_t timeouts = 0;
    for (std::size_t at = 0; (at = log.find("timeout waiting", at)) != std::string::npos; ++at) {
        ++timeouts;
    }
    EXPECT_EQ(timeouts, 2u) << log;  // the second code, then the drain
}

// The rest of an answer that ran out of time comes late: the next exchange drops it rather
// than reading it as the start of its own answer.
TEST(Kalvar, TheLateRestOfAnAnswerIsNotTakenForTheNextOne) {
    Line line;
    const Bytes answer = Framed({0x2B}, kState);
    const Bytes first_half(answer.begin(), answer.begin() + 13);
    const Bytes rest(answer.begin() + 13, answer.end());
    line.device.Respond(13, first_half);
    testing::internal::CaptureStderr();
    ExpectValues(Flat(line.arm.end_effector_force({0, 0, 1})), Values(6, 0.0f));
    testing::internal::GetCapturedStderr();
    line.device.Join();
    line.device.Send(rest);
    // The rest has landed before the next request (a slow relay may hold it a while).
    for (int i = 0; i < 200 && line.stream.Available() < std::int32_t(rest.size()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(line.stream.Available(), std::int32_t(rest.size()));

    const Bytes next = Framed({0x2B}, FloatBytes({1, 2, 3, 4, 5, 6}));
    line.device.Respond(13, next);
    ExpectValues(Flat(line.arm.end_effector_force({0, 0, 1})), Values{1, 2, 3, 4, 5, 6});
}

TEST(Kalvar, LegacySendsWriteOnlyTheirFrame) {
    Line line;
    const std::vector<std::pair<std::function<void()>, Bytes>> sends = {
        {[&] { line.arm.SendDeviceWakeup(); }, {0x0A}},
        {[&] { line.arm.SendForce(1, 2, 3); }, Framed({0x2A}, FloatBytes({1, 2, 3}))},
        {[&] {
             line.arm.SendForce(Vec3{4, 5, 6});
         },
         Framed({0x2A}, FloatBytes({4, 5, 6}))},
        {[&] {
             line.arm.SendJointTorques({-1, 0, 1});
         },
         Framed({0x1A}, FloatBytes({-1, 0, 1}))},
        {[&] {
             line.arm.SendAngle({30, 60, 90});
         },
         Framed({0x1C}, FloatBytes({30, 60, 90}))},
        {[&] { line.arm.RequestCurrent(); }, {0xAB}},
        {[&] {
             line.arm.SendPosition({0.1f, 0.2f, 0.3f});
         },
         Framed({0x2C}, FloatBytes({0.1f, 0.2f, 0.3f}))},
    };
    for (const auto& [send, frame] : sends) {
        send();
        EXPECT_EQ(line.device.ReceiveAll(0.1), frame);
    }
}

TEST(Kalvar, LegacyReceivesFillTheirOutputsOnlyFromAWholeAnswer) {
    Line line;
    Vec3 first{9, 9, 9}, second{8, 8, 8};
    line.device.Send(Framed({0x2B}, kState));
    EXPECT_EQ(line.arm.ReceiveState(first, second), 24);
    EXPECT_EQ(Flat(KalvarState{first, second}), kStateValues);

    line.device.Send(Framed({0x1B}, kState));
    Vec3 angles{}, velocities{};
    EXPECT_EQ(line.arm.ReceiveJointState(angles, velocities), 24);
    EXPECT_EQ(Flat(KalvarState{angles, velocities}), kStateValues);

    line.device.Send(Framed({0xAB}, FloatBytes({1, 2, 3})));
    Vec3 current{};
    EXPECT_EQ(line.arm.ReceiveCurrent(current), 12);
    EXPECT_EQ(current, (Vec3{1, 2, 3}));

    line.device.Send(Framed({0x0B}, Framed({0x2C, 0x01, 4, 2, 7}, Sequence(0, 16))));
    std::uint16_t id = 0;
    std::uint8_t model = 0, hardware = 0, firmware = 0;
    UUID ext;
    EXPECT_EQ(line.arm.ReceiveDeviceInfo(id, model, hardware, firmware, ext), 21);
    EXPECT_EQ(Flat(DeviceInfo{id, model, hardware, firmware, ext}), Operations()[0].decoded);
    EXPECT_TRUE(line.device.ReceiveAll(0.02).empty()) << "a receive sends nothing";

    testing::internal::CaptureStderr();
    // A joint state is the wrong answer to ReceiveState; a short current is no current.
    line.device.Send(Framed({0x1B}, kState));
    first = {9, 9, 9};
    EXPECT_EQ(line.arm.ReceiveState(first, second), -1);
    EXPECT_EQ(first, (Vec3{9, 9, 9}));
    line.device.Send(Framed({0xAB}, FloatBytes({7, 7})));
    EXPECT_EQ(line.arm.ReceiveCurrent(current), -1);
    EXPECT_EQ(current, (Vec3{1, 2, 3}));
    testing::internal::GetCapturedStderr();
}

// The named commands send their frames byte for byte, decode their answers, and say how an
// exchange ended; a failed one leaves the state as it was.
// Each state's type says what it holds: the end effector's for force and position, the
// joints' for torques and angles.
template <typename State>
void ExpectCommandTellsHowItEnded(const char* name,
                                  Outcome (Kalvar::*command)(const Vec3&, State&, const Deadline&),
                                  std::uint8_t request, std::uint8_t answer) {
    SCOPED_TRACE(name);
    Line line;
    State state;
    line.device.Respond(13, Framed({answer}, kState));
    Outcome outcome = (line.arm.*command)({1, -2, 3}, state, Deadline::After(kTimeout));
    EXPECT_EQ(line.device.Join(), Framed({request}, FloatBytes({1, -2, 3})));
    EXPECT_EQ(outcome.kind, Outcome::Kind::Answered);
    ExpectValues(Flat(state), kStateValues);

    State untouched;
    testing::internal::CaptureStderr();
    outcome = (line.arm.*command)({0, 0, 0}, untouched, Deadline::After(kTimeout));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome.kind, Outcome::Kind::NoAnswer);
    ExpectValues(Flat(untouched), Values(6, 0.0f));
}

TEST(Kalvar, NamedCommandsTellHowTheyEnded) {
    ExpectCommandTellsHowItEnded<EndEffectorState>("force", &Kalvar::force, 0x2A, 0x2B);
    ExpectCommandTellsHowItEnded<EndEffectorState>("position", &Kalvar::position, 0x2C, 0x2B);
    ExpectCommandTellsHowItEnded<JointState>("torques", &Kalvar::torques, 0x1A, 0x1B);
    ExpectCommandTellsHowItEnded<JointState>("angles", &Kalvar::angles, 0x1C, 0x1B);
}

// The named queries send their requests byte for byte and decode their answers.
TEST(Kalvar, NamedQueriesSendTheirRequestsAndDecode) {
    Line line;
    const Deadline::Clock::duration limit = std::chrono::milliseconds(100);
    const auto deadline = [&] { return Deadline::At(Deadline::Clock::now() + limit); };

    Vec3 currents{};
    line.device.Respond(1, Framed({0xAB}, FloatBytes({1.5f, -2.25f, 3.0f})));
    EXPECT_TRUE(line.arm.currents(currents, deadline()).answered());
    EXPECT_EQ(line.device.Join(), Bytes{0xAB});
    ExpectValues(Flat(currents), {1.5f, -2.25f, 3.0f});

    std::array<float, 4> orientation{};
    line.device.Respond(1, Framed({0x0C}, FloatBytes({0.0f, 0.7071f, 0.0f, 0.7071f})));
    EXPECT_TRUE(line.arm.orientation(orientation, deadline()).answered());
    EXPECT_EQ(line.device.Join(), Bytes{0x0C});
    ExpectValues(Flat(orientation), {0.0f, 0.7071f, 0.0f, 0.7071f});

    float temperature = 0.0f;
    line.device.Respond(1, Framed({0xAA}, FloatBytes({36.5f})));
    EXPECT_TRUE(line.arm.temperature(temperature, deadline()).answered());
    EXPECT_EQ(line.device.Join(), Bytes{0xAA});
    EXPECT_EQ(temperature, 36.5f);

    bool powered = false;
    line.device.Respond(1, {0xAC, 0x01});
    EXPECT_TRUE(line.arm.powered(powered, deadline()).answered());
    EXPECT_EQ(line.device.Join(), Bytes{0xAC});
    EXPECT_TRUE(powered);

    for (const std::uint8_t sub_code : {std::uint8_t{0xD1}, std::uint8_t{0xD2}}) {
        UUID identifier;
        line.device.Respond(2, Framed({0x0D, sub_code, 16}, Sequence(0xA0, 16)));
        const Outcome outcome = sub_code == 0xD1 ? line.arm.device_id(identifier, deadline())
                                                 : line.arm.firmware_id(identifier, deadline());
        EXPECT_TRUE(outcome.answered());
        EXPECT_EQ(line.device.Join(), (Bytes{0x0D, sub_code}));
        EXPECT_EQ(identifier.bytes[0], 0xA0);
        EXPECT_EQ(identifier.bytes[15], 0xAF);
    }
}
