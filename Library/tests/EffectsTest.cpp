#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "servo/Effects.h"

using namespace Brivane::HardwareAPI::Haptics;

namespace {

struct Case {
    const char* name;
    Effect effect;
    Vec3 position;
    Vec3 velocity;
    Vec3 expected;  // worked out by hand
};

class Effects : public testing::TestWithParam<Case> {};

TEST_P(Effects, PushWithTheForceWorkedOutByHand) {
    const Case& c = GetParam();
    const Vec3 force = c.effect.force(c.position, c.velocity);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(force[i], c.expected[i], 1e-4f) << i;
}

const Plane kFloor{{0, 0, 0}, {0, 0, 1}, {100, 100, 500}, 10};
const Box kBox{{-0.1f, -0.1f, 0}, {0.1f, 0.1f, 0.2f}, {100, 200, 300}, 1};
const Sphere kBall{{0, 0, 0}, 0.05f, {100, 100, 100}, 2, false};
const Sphere kShell{{0, 0, 0.1f}, 0.05f, {200, 200, 200}, 0, true};

INSTANTIATE_TEST_SUITE_P(
    Each, Effects,
    testing::Values(
        Case{"Constant", ConstantForce{{1, -2, 0.5f}}, {0.3f, 0, 0}, {1, 1, 1}, {1, -2, 0.5f}},
        // 100 * -0.01 - 2 * 0.1, 200 * 0.02, 300 * 0.05 + 2 * 0.5
        Case{"Spring",
             Spring{{0, 0, 0.1f}, {100, 200, 300}, 2},
             {0.01f, -0.02f, 0.05f},
             {0.1f, 0, -0.5f},
             {-1.2f, 4, 16}},
        Case{"Damper", Damper{3}, {0, 0, 0}, {1, -2, 0}, {-3, 6, 0}},
        // 1 cm behind the floor, sinking at 0.2 m/s: 500 * 0.01 + 10 * 0.2 up.
        Case{"PlaneBehind", kFloor, {0.1f, 0.2f, -0.01f}, {1, 1, -0.2f}, {0, 0, 7}},
        Case{"PlaneInFront", kFloor, {0.1f, 0.2f, 0.01f}, {1, 1, -0.2f}, {0, 0, 0}},
        // Normal (0, 3, 4) is (0, 0.6, 0.8): 0.8 cm deep, 1000 * 0.008 along it.
        Case{"PlaneTilted",
             Plane{{0, 0, 0}, {0, 3, 4}, {1000, 1000, 1000}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 4.8f, 6.4f}},
        // 5 cm past +x: 100 * -0.05 - 0.5; inside in y; 5 cm below: 300 * 0.05 + 1.
        Case{"BoxOutside", kBox, {0.15f, 0, -0.05f}, {0.5f, 1, -1}, {-5.5f, 0, 16}},
        Case{"BoxInside", kBox, {0.05f, 0, 0.1f}, {0.5f, 1, -1}, {0, 0, 0}},
        // 2 cm into the ball along +x: 100 * 0.02 + 2 * 0.1.
        Case{"SphereSolidInside", kBall, {0.03f, 0, 0}, {-0.1f, 0.5f, 0}, {2.2f, 0, 0}},
        Case{"SphereSolidOutside", kBall, {0.06f, 0, 0}, {-0.1f, 0, 0}, {0, 0, 0}},
        Case{"SphereSolidCentre", kBall, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        // 3 cm beyond the shell along +y: pulled back by 200 * 0.03.
        Case{"SphereHollowOutside", kShell, {0, 0.08f, 0.1f}, {0, 0, 0}, {0, -6, 0}},
        Case{"SphereHollowInside", kShell, {0, 0.01f, 0.1f}, {0, 0, 0}, {0, 0, 0}},
        // 5 cm deep along (0.6, 0, 0.8), each axis with its own stiffness.
        Case{"SpherePerAxisStiffness",
             Sphere{{0, 0, 0}, 0.1f, {100, 200, 300}, 0, false},
             {0.03f, 0, 0.04f},
             {0, 0, 0},
             {3, 0, 12}},
        Case{"None", Effect{}, {1, 2, 3}, {1, 2, 3}, {0, 0, 0}}),
    [](const testing::TestParamInfo<Case>& each) { return each.param.name; });

// At the ends of the float range: a normal however long or short, products and distances
// beyond the range. Each force is finite and keeps the direction worked out by hand; one
// past the range is scaled into it, its largest part the largest float.
constexpr float kMost = std::numeric_limits<float>::max();
constexpr float kLeast = std::numeric_limits<float>::denorm_min();
constexpr float kInf = std::numeric_limits<float>::infinity();

class EffectsAtTheEnds : public testing::TestWithParam<Case> {};

TEST_P(EffectsAtTheEnds, PushFinitelyAlongTheirOwnDirection) {
    const Case& c = GetParam();
    const Vec3 force = c.effect.force(c.position, c.velocity);
    for (std::size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(std::isfinite(force[i])) << i;
        EXPECT_NEAR(force[i], c.expected[i], 1e-5 * std::max(1.0f, std::fabs(c.expected[i]))) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Each, EffectsAtTheEnds,
    testing::Values(
        // 1 cm behind a floor whose normal is far from unit length: 500 * 0.01 up.
        Case{"PlaneNormalTiny",
             Plane{{0, 0, 0}, {0, 0, 1e-23f}, {500, 500, 500}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 0, 5}},
        Case{"PlaneNormalHuge",
             Plane{{0, 0, 0}, {0, 0, 1e20f}, {500, 500, 500}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 0, 5}},
        Case{"PlaneNormalLargest",
             Plane{{0, 0, 0}, {0, kMost, kMost}, {500, 500, 500}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 2.5f, 2.5f}},
        // (0, 3, 4) scaled down to the least floats is still (0, 0.6, 0.8): as PlaneTilted.
        Case{"PlaneNormalSubnormal",
             Plane{{0, 0, 0}, {0, 3 * kLeast, 4 * kLeast}, {1000, 1000, 1000}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 4.8f, 6.4f}},
        Case{"PlaneNormalSmall",
             Plane{{0, 0, 0}, {0, 3e-22f, 4e-22f}, {1000, 1000, 1000}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 4.8f, 6.4f}},
        Case{"PlaneNormalZero",
             Plane{{0, 0, 0}, {0, 0, 0}, {500, 500, 500}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 0, 0}},
        Case{"PlaneNormalNotFinite",
             Plane{{0, 0, 0}, {0, kInf, 1}, {500, 500, 500}, 0},
             {0, 0, -0.01f},
             {0, 0, 0},
             {0, 0, 0}},
        Case{"PlaneStiffest",
             Plane{{0, 0, 0}, {0, 0, 1}, {kMost, kMost, kMost}, 0},
             {0, 0, -10},
             {0, 0, 0},
             {0, 0, kMost}},
        // 2e40 and -1e40 N: scaled by the same factor, the first to the largest float.
        Case{"SpringPastTheRange",
             Spring{{2e38f, -1e38f, 0}, {100, 100, 100}, 0},
             {0, 0, 0},
             {0, 0, 0},
             {kMost, -kMost / 2, 0}},
        Case{"SpringProductPastTheRange",
             Spring{{1e38f, 0, 0}, {1e38f, 1e38f, 1e38f}, 0},
             {0, 0, 0},
             {0, 0, 0},
             {kMost, 0, 0}},
        Case{
            "DamperPastTheRange", Damper{1e30f}, {0, 0, 0}, {1e10f, 0, -1e10f}, {-kMost, 0, kMost}},
        Case{"BoxPastTheRange",
             Box{{-1, -1, -1}, {1, 1, 1}, {3e38f, 0, 0}, 0},
             {10, 0, 0},
             {0, 0, 0},
             {-kMost, 0, 0}},
        // 6e38 m from the centre, beyond a float: pulled back in, along -x.
        Case{"SphereFartherThanAFloat",
             Sphere{{-3e38f, 0, 0}, 3e38f, {10, 10, 10}, 0, true},
             {3e38f, 0, 0},
             {0, 0, 0},
             {-kMost, 0, 0}}),
    [](const testing::TestParamInfo<Case>& each) { return each.param.name; });

TEST(EffectSet, HoldsItsSumWithinTheFloatRange) {
    EffectSet set;
    EXPECT_TRUE(set.add(ConstantForce{{kMost, kMost / 2, 0}}));
    EXPECT_TRUE(set.add(ConstantForce{{kMost, kMost / 2, 0}}));
    const Vec3 force = set.force({0, 0, 0}, {0, 0, 0});
    EXPECT_FLOAT_EQ(force[0], kMost);
    EXPECT_FLOAT_EQ(force[1], kMost / 2);
    EXPECT_EQ(force[2], 0.0f);
}

TEST(EffectSet, SumsItsEffectsAndHoldsSixteen) {
    EffectSet set;
    EXPECT_TRUE(set.add(ConstantForce{{1, 0, 0}}));
    EXPECT_TRUE(set.add(Damper{2}));
    const Vec3 force = set.force({0, 0, 0}, {0, 0, 1});
    EXPECT_FLOAT_EQ(force[0], 1);
    EXPECT_FLOAT_EQ(force[2], -2);
    EXPECT_EQ(set[1].kind(), Effect::Kind::Damper);
    ASSERT_NE(set[1].get<Damper>(), nullptr);
    EXPECT_EQ(set[1].get<Spring>(), nullptr);

    while (set.size() < EffectSet::kCapacity) EXPECT_TRUE(set.add(Damper{}));
    EXPECT_FALSE(set.add(Damper{}));
    EXPECT_EQ(set.size(), EffectSet::kCapacity);
}

}  // namespace
