#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <thread>

#include "ErrorLines.h"
#include "LineDevice.h"
#include "devices/Kalvar.h"
#include "devices/Kinematics.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
using Testing::Bytes;
using Testing::FloatBytes;
using Testing::LineDevice;

namespace {

// Expected positions were derived separately in Python from the linkage geometry, rounding
// every step to single precision; the coincident-elbow row was also checked by hand.
constexpr float kTolerance = 1e-6f;

void ExpectPosition(const std::array<float, 3>& actual, const std::array<float, 3>& expected) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], kTolerance) << i;
}

std::array<float, 3> FromDegrees(const std::array<float, 3>& degrees) {
    const auto q = Kinematics::JointCoordinates(degrees, {0.0f, 0.0f, 0.0f});
    return Kinematics::ForwardKinematics(q[0], q[1], q[2]);
}

Bytes JointStateAnswer(std::initializer_list<float> angles) {
    Bytes answer{0x1B};
    const Bytes floats = FloatBytes(angles);
    answer.insert(answer.end(), floats.begin(), floats.end());
    const Bytes velocity = FloatBytes({0.0f, 0.0f, 0.0f});
    answer.insert(answer.end(), velocity.begin(), velocity.end());
    return answer;
}

}  // namespace

TEST(Kinematics, PositionsFromReportedJointAngles) {
    struct Row {
        std::array<float, 3> degrees;
        std::array<float, 3> position;
    };
    const Row rows[] = {
        {{0, 0, 0}, {2.0985658e-06f, 0.0245f, -0.11854772f}},  // elbows coincide
        {{10, -30, 40}, {-0.0067871315f, 0.023681905f, 0.21579397f}},
        {{0, -60, -120}, {-0.27065751f, 0.024500083f, 0.18644120f}},
        {{-25, 20, -20}, {0.010355858f, 0.022204572f, -0.10300427f}},
        {{45, -100, -50}, {0.0012118047f, 0.035863765f, 0.19347177f}},
        {{0, 0, 180}, {-0.087323211f, 0.024500025f, 0.18644474f}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.degrees[1]);
        ExpectPosition(FromDegrees(row.degrees), row.position);
    }
    // The arm's pi, not the full-precision one; known at compile time.
    static_assert(Kinematics::JointCoordinates({0, 0, 0}, {0, 0, 0})[0] ==
                  90.0f * (3.141592f / 180.0f));
}

TEST(Kinematics, CoincidentElbowsFollowTheFirstJoint) {
    ExpectPosition(Kinematics::ForwardKinematics(0.3f, 0.5f, 0.5f),
                   {0.066608109f, -0.13245364f, 0.45410523f});
}

TEST(Kinematics, NotANumberIsPassedThrough) {
    for (const float value : Kinematics::ForwardKinematics(0.0f, NAN, 0.0f)) {
        EXPECT_TRUE(std::isnan(value));
    }
    // With equal distal links every pose is reachable; a longer second link makes a
    // near-coincident pair unreachable, and the acos NaN must come through, not a clamp.
    Kinematics::Geometry longer_second_link;
    longer_second_link.distal_b = 0.5f;
    const auto unreachable = Kinematics::ForwardKinematics(0.0f, 0.5f, 0.51f, longer_second_link);
    EXPECT_TRUE(std::isnan(unreachable[0]));
    EXPECT_TRUE(std::isnan(unreachable[2]));
    EXPECT_FALSE(std::isnan(Kinematics::ForwardKinematics(0.0f, 0.5f, 0.51f)[0]));
}

// Each arm calibrates its own offsets unless it was given a calibration to share, as the
// module gives all of its arms one.
class Calibrations : public testing::TestWithParam<bool> {};

TEST_P(Calibrations, MoveTheArmsThatShareThem) {
    const bool shared = GetParam();
    LineDevice first_device, second_device;
    IO::SerialStream first_stream(first_device.path().c_str(), true);
    IO::SerialStream second_stream(second_device.path().c_str(), true);
    auto calibration = shared ? std::make_shared<Calibration>() : nullptr;
    Kalvar first(&first_stream, 0.1f, calibration);
    Kalvar second(&second_stream, 0.1f, calibration);

    // Measured (15, 25, 35) should read as (10, 20, 30).
    first_device.Respond(13, JointStateAnswer({15, 25, 35}));
    first.adjust_angles({10, 20, 30});
    EXPECT_EQ(first_device.Join(), Bytes({0x1A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const std::array<float, 3> five{5.0f, 5.0f, 5.0f};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NEAR(first.calibration().offsets_in_degrees()[i], five[i], 1e-5f);
    }

    second_device.Respond(13, JointStateAnswer({10, -30, 40}));
    const KalvarState state = second.get_end_effector_position(false);
    EXPECT_EQ(second_device.Join(), Bytes({0x1A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    if (shared) {
        ExpectPosition(state.first, {-0.0021395045f, 0.024406761f, 0.21590617f});
    } else {
        ExpectPosition(state.first, FromDegrees({10, -30, 40}));
    }
    EXPECT_EQ(state.second, (Vec3{0, 0, 0}));

    // Without an answer the measured angles count as zero; a silent arm reports the
    // position of zero joint angles, its offsets applied.
    first.adjust_angles({10, 20, 30});
    const KalvarState silent = first.get_end_effector_position(false);
    ExpectPosition(silent.first, {-0.014696874f, 0.022287158f, 0.20917673f});
    EXPECT_EQ(silent.second, (Vec3{0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Kinematics, Calibrations, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& param) {
                             return param.param ? "shared" : "own";
                         });

// Angles that are not numbers leave the offsets as they were.
TEST(Kinematics, CalibrationRefusesMeasuredAnglesThatAreNotFinite) {
    for (const float bad : {NAN, INFINITY}) {
        LineDevice device;
        IO::SerialStream stream(device.path().c_str(), true);
        Kalvar arm(&stream, 0.1f);
        arm.calibration().set_offsets({0.1f, 0.2f, 0.3f});
        device.Respond(13, JointStateAnswer({15, bad, 35}));
        const auto lines = Testing::ErrorLinesFrom("Kalvar.cpp", [&] { arm.adjust_angles({}); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].description.find("not finite"), std::string::npos);
        EXPECT_EQ(arm.calibration().offsets(), (std::array<float, 3>{0.1f, 0.2f, 0.3f}));
    }
}

TEST(Kinematics, SharedCalibrationIsSafeAcrossThreads) {
    Calibration calibration;
    // Run under ThreadSanitizer to see it; here it must at least never tear a value.
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) calibration.calibrate({1.0f, 2.0f, 3.0f}, {0, 0, 0});
    });
    for (int i = 0; i < 2000; ++i) {
        EXPECT_FALSE(std::isnan(calibration.position({10.0f, -30.0f, 40.0f})[0]));
    }
    writer.join();
}
