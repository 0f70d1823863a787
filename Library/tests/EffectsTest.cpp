#include <gtest/gtest.h>

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
