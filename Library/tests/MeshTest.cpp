#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "servo/Effects.h"
#include "servo/Mesh.h"

using namespace Brivane::HardwareAPI::Haptics;

namespace {

constexpr double kStiffness = 1000.0;  // N/m: a millimetre is a newton
// The proxy's skin adds 1e-7 m, a tenth of a millinewton, to each depth.
constexpr float kNewtons = 1e-3f;

TriangleMesh Make(std::vector<Point3> vertices, std::vector<MeshTriangle> triangles) {
    MeshBuild built = TriangleMesh::Build(std::move(vertices), std::move(triangles));
    EXPECT_TRUE(built.ok()) << built.error;
    return std::move(*built.mesh);
}

// Facing +z, round the origin.
const TriangleMesh kTriangle = Make({{-0.1, -0.1, 0}, {0.1, -0.1, 0}, {0, 0.1, 0}}, {{0, 1, 2}});
// A floor (+z) and walls at x = 0.05 (facing -x) and y = 0.05 (-y): a box's inside corner.
const TriangleMesh kCorner =
    Make({{-0.1, -0.1, 0},
          {0.1, -0.1, 0},
          {0.1, 0.1, 0},
          {-0.1, 0.1, 0},
          {0.05, -0.1, 0},
          {0.05, -0.1, 0.1},
          {0.05, 0.1, 0.1},
          {0.05, 0.1, 0},
          {-0.1, 0.05, 0},
          {0.1, 0.05, 0},
          {0.1, 0.05, 0.1},
          {-0.1, 0.05, 0.1}},
         {{0, 1, 2}, {0, 2, 3}, {4, 5, 6}, {4, 6, 7}, {8, 9, 10}, {8, 10, 11}});
// Half side 5 cm round the origin, facing out; corner i at -+0.05 by its bits x, y, z.
const TriangleMesh kCube = Make({{-0.05, -0.05, -0.05},
                                 {0.05, -0.05, -0.05},
                                 {-0.05, 0.05, -0.05},
                                 {0.05, 0.05, -0.05},
                                 {-0.05, -0.05, 0.05},
                                 {0.05, -0.05, 0.05},
                                 {-0.05, 0.05, 0.05},
                                 {0.05, 0.05, 0.05}},
                                {{0, 2, 3},
                                 {0, 3, 1},
                                 {4, 5, 7},
                                 {4, 7, 6},
                                 {0, 4, 6},
                                 {0, 6, 2},
                                 {1, 3, 7},
                                 {1, 7, 5},
                                 {0, 1, 5},
                                 {0, 5, 4},
                                 {2, 6, 7},
                                 {2, 7, 3}});

void ExpectForce(const Vec3& force, const Vec3& expected) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(force[i], expected[i], kNewtons) << i;
}

bool InFrontOfEveryFace(const TriangleMesh& mesh, const Point3& p) {
    for (std::size_t i = 0; i < mesh.triangle_count(); ++i) {
        const Point3& a = mesh.vertex(mesh.triangle(i)[0]);
        const Point3& n = mesh.normal(i);
        if (!(n[0] * (p[0] - a[0]) + n[1] * (p[1] - a[1]) + n[2] * (p[2] - a[2]) > 0)) return false;
    }
    return true;
}

struct Path {
    const char* name;
    const TriangleMesh* mesh;
    std::vector<Vec3> points;  // one a period; the force is the last one's
    Vec3 expected;
    float sinking = 0.0f;  // along -z, m/s
    double damping = 0.0;
};

class MeshPath : public testing::TestWithParam<Path> {};

TEST_P(MeshPath, EndsWithTheForceWorkedOutByHandNeverPassingAFace) {
    const Path& c = GetParam();
    const Vec3& first = c.points.front();
    const bool in_front = InFrontOfEveryFace(*c.mesh, {first[0], first[1], first[2]});
    MeshProxy proxy;
    Vec3 force{};
    for (const Vec3& point : c.points) {
        force = proxy.update(*c.mesh, {}, point, {0, 0, -c.sinking}, kStiffness, c.damping, 0, 0);
        EXPECT_TRUE(!in_front || InFrontOfEveryFace(*c.mesh, proxy.proxy()));
    }
    ExpectForce(force, c.expected);
    EXPECT_EQ(proxy.in_contact(), c.expected != Vec3{});
}

INSTANTIATE_TEST_SUITE_P(
    Each, MeshPath,
    testing::Values(
        Path{"Above", &kTriangle, {{0, 0, 0.01f}, {0.01f, 0, 0.005f}}, {0, 0, 0}},
        Path{"OneMillimetreUnder", &kTriangle, {{0, 0, 0.01f}, {0, 0, -0.001f}}, {0, 0, 1}},
        Path{"TenUnderInOnePeriod", &kTriangle, {{0, 0, 0.01f}, {0, 0, -0.01f}}, {0, 0, 10}},
        // Frictionless, it slides to above the point.
        Path{"TenUnderAslant", &kTriangle, {{0, 0, 0.01f}, {0.02f, 0.01f, -0.01f}}, {0, 0, 10}},
        Path{"BackAbove", &kTriangle, {{0, 0, 0.01f}, {0, 0, -0.01f}, {0, 0, 0.002f}}, {}},
        Path{"ThroughItsBack", &kTriangle, {{0, 0, -0.01f}, {0, 0, 0.01f}, {0, 0, 0.02f}}, {}},
        // 1 mm deep, sinking at 0.1 m/s: 1 + 5 * 0.1.
        Path{"Damped", &kTriangle, {{0, 0, 0.01f}, {0, 0, -0.001f}}, {0, 0, 1.5f}, 0.1f, 5.0},
        Path{"Wall", &kCorner, {{0.04f, 0, 0.05f}, {0.052f, 0, 0.05f}}, {-2, 0, 0}},
        // 3 mm past the wall, 2 mm under the floor, (4 mm past the other wall).
        Path{"AlongTheFloorIntoTheEdge",
             &kCorner,
             {{0, 0, 0.01f}, {0, 0, -0.002f}, {0.03f, 0, -0.002f}, {0.053f, 0, -0.002f}},
             {-3, 0, 2}},
        Path{"IntoTheEdgeAtOnce", &kCorner, {{0, 0, 0.01f}, {0.053f, 0, -0.002f}}, {-3, 0, 2}},
        Path{"AlongTheEdgeIntoTheCorner",
             &kCorner,
             {{0, 0, 0.01f}, {0.053f, 0, -0.002f}, {0.053f, 0.054f, -0.002f}},
             {-3, -4, 2}},
        Path{"IntoTheCornerAtOnce",
             &kCorner,
             {{0, 0, 0.03f}, {0.053f, 0.054f, -0.002f}},
             {-3, -4, 2}},
        // 2 mm through each face of the cube from outside, out along its normal.
        Path{"CubePlusX", &kCube, {{0.06f, 0.02f, 0.01f}, {0.048f, 0.02f, 0.01f}}, {2, 0, 0}},
        Path{"CubeMinusX", &kCube, {{-0.06f, 0.02f, 0.01f}, {-0.048f, 0.02f, 0.01f}}, {-2, 0, 0}},
        Path{"CubePlusY", &kCube, {{0.02f, 0.06f, 0.01f}, {0.02f, 0.048f, 0.01f}}, {0, 2, 0}},
        Path{"CubeMinusY", &kCube, {{0.02f, -0.06f, 0.01f}, {0.02f, -0.048f, 0.01f}}, {0, -2, 0}},
        Path{"CubePlusZ", &kCube, {{0.02f, 0.01f, 0.06f}, {0.02f, 0.01f, 0.048f}}, {0, 0, 2}},
        Path{"CubeMinusZ", &kCube, {{0.02f, 0.01f, -0.06f}, {0.02f, 0.01f, -0.048f}}, {0, 0, -2}},
        Path{"CubeLeftFromInside", &kCube, {{0, 0, 0}, {0, 0, 0.06f}}, {}},
        Path{"CubeBackInFromAbove", &kCube, {{0, 0, 0}, {0, 0, 0.06f}, {0, 0, 0.049f}}, {0, 0, 1}}),
    [](const testing::TestParamInfo<Path>& each) { return each.param.name; });

TEST(MeshProxy, ResetIsFreeAtTheEndEffector) {
    MeshProxy proxy;
    proxy.update(kCube, {}, {0, 0, 0.06f}, {}, kStiffness, 0, 0, 0);
    ExpectForce(proxy.update(kCube, {}, {0, 0, 0.04f}, {}, kStiffness, 0, 0, 0), {0, 0, 10});
    proxy.reset();
    ExpectForce(proxy.update(kCube, {}, {0, 0, 0.04f}, {}, kStiffness, 0, 0, 0), {});
    EXPECT_FALSE(proxy.in_contact());
}

struct Rub {
    const char* name;
    std::vector<float> xs;  // 2 mm under a floor, moved along x a period at a time
    double static_friction;
    double dynamic_friction;
    double proxy_x;  // where the proxy ends
};

class Friction : public testing::TestWithParam<Rub> {};

TEST_P(Friction, HoldsTheProxyWithinTheConeAndSlidesItToTheDynamicEdgePast) {
    const Rub& c = GetParam();
    static const TriangleMesh ground =
        Make({{-1, -1, 0}, {1, -1, 0}, {1, 1, 0}, {-1, 1, 0}}, {{0, 1, 2}, {0, 2, 3}});
    MeshProxy proxy;
    const double s = c.static_friction;
    const double d = c.dynamic_friction;
    proxy.update(ground, {}, {0, 0, 0.01f}, {}, kStiffness, 0, s, d);
    Vec3 force{};
    for (const float x : c.xs)
        force = proxy.update(ground, {}, {x, 0, -0.002f}, {}, kStiffness, 0, s, d);
    EXPECT_NEAR(proxy.proxy()[0], c.proxy_x, 1e-6);
    ExpectForce(force, {static_cast<float>(-kStiffness * (c.xs.back() - c.proxy_x)), 0, 2});
}

// Fn = 2 N: it sticks while Ft <= 1 N (0.5), slides to Ft = 0.6 N (0.3) past that.
constexpr double kSlid = 0.3 * (0.002 + MeshProxy::kSkin);

INSTANTIATE_TEST_SUITE_P(
    Each, Friction,
    testing::Values(Rub{"StuckWhereItMet", {0}, 0.5, 0.3, 0},
                    Rub{"StuckAsTheForceGrows", {0, 0.0003f, 0.0006f, 0.0009f}, 0.5, 0.3, 0},
                    Rub{"SlipsPastTheCone", {0, 0.002f}, 0.5, 0.3, 0.002 - kSlid},
                    Rub{"KeepsSlipping", {0, 0.002f, 0.004f}, 0.5, 0.3, 0.004 - kSlid},
                    Rub{"SticksAgainWithin", {0, 0.002f, 0.0022f}, 0.5, 0.3, 0.002 - kSlid},
                    Rub{"Frictionless", {0, 0.002f}, 0, 0, 0.002}),
    [](const testing::TestParamInfo<Rub>& each) { return each.param.name; });

struct Placed {
    const char* name;
    Pose pose;
    Vec3 above;  // the triangle's (0.02, 0.03, 0.01) where the pose puts it
    Vec3 under;  // its (0.02, 0.03, -0.001)
    Vec3 expected;
};

class MeshPose : public testing::TestWithParam<Placed> {};

TEST_P(MeshPose, MovesAndTurnsTheForceWithTheMesh) {
    const Placed& c = GetParam();
    MeshProxy proxy;
    proxy.update(kTriangle, c.pose, c.above, {}, kStiffness, 0, 0, 0);
    ExpectForce(proxy.update(kTriangle, c.pose, c.under, {}, kStiffness, 0, 0, 0), c.expected);
    // Above the point in the mesh's own frame.
    EXPECT_NEAR(proxy.proxy()[0], 0.02, 1e-6);
    EXPECT_NEAR(proxy.proxy()[1], 0.03, 1e-6);
}

const double kHalf = std::sqrt(0.5);

INSTANTIATE_TEST_SUITE_P(Each, MeshPose,
                         testing::Values(Placed{"Moved",
                                                {{0.1, 0.2, 0.3}},
                                                {0.12f, 0.23f, 0.31f},
                                                {0.12f, 0.23f, 0.299f},
                                                {0, 0, 1}},
                                         // A quarter turn about x takes (x, y, z) to (x, -z, y).
                                         Placed{"QuarterTurnAboutXAndMoved",
                                                {{0.1, 0.2, 0.3}, {kHalf, kHalf, 0, 0}},
                                                {0.12f, 0.19f, 0.33f},
                                                {0.12f, 0.201f, 0.33f},
                                                {0, -1, 0}},
                                         // About y, to (z, y, -x); half round x, to (x, -y, -z).
                                         Placed{"QuarterTurnAboutY",
                                                {{}, {kHalf, 0, kHalf, 0}},
                                                {0.01f, 0.03f, -0.02f},
                                                {-0.001f, 0.03f, -0.02f},
                                                {1, 0, 0}},
                                         Placed{"HalfTurnAboutX",
                                                {{}, {0, 1, 0, 0}},
                                                {0.02f, -0.03f, -0.01f},
                                                {0.02f, -0.03f, 0.001f},
                                                {0, 0, -1}},
                                         // A third of a turn about (1, 1, 1), to (z, x, y).
                                         Placed{"ThirdTurnAboutTheDiagonal",
                                                {{}, {0.5, 0.5, 0.5, 0.5}},
                                                {0.01f, 0.02f, 0.03f},
                                                {-0.001f, 0.02f, 0.03f},
                                                {1, 0, 0}},
                                         Placed{"NotOfUnitLength",
                                                {{}, {2, 0, 0, 0}},
                                                {0.02f, 0.03f, 0.01f},
                                                {0.02f, 0.03f, -0.001f},
                                                {0, 0, 1}}),
                         [](const testing::TestParamInfo<Placed>& each) {
                             return each.param.name;
                         });

struct Malformed {
    const char* name;
    std::vector<Point3> vertices;
    std::vector<MeshTriangle> triangles;
    const char* error;
};

class MalformedMesh : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedMesh, IsRefusedSayingWhatIsWrong) {
    const Malformed& c = GetParam();
    const MeshBuild built = TriangleMesh::Build(c.vertices, c.triangles);
    EXPECT_FALSE(built.ok());
    EXPECT_EQ(built.error, c.error);
}

const std::vector<Point3> kThree{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};

INSTANTIATE_TEST_SUITE_P(
    Each, MalformedMesh,
    testing::Values(Malformed{"Empty", kThree, {}, "the mesh has no triangles"},
                    Malformed{"IndexOutOfRange",
                              kThree,
                              {{0, 1, 2}, {0, 1, 5}},
                              "triangle 1 corner 2: index 5 is out of range (3 vertices)"},
                    Malformed{"Collinear",
                              {{0, 0, 0}, {0.1, 0.1, 0.1}, {0.3, 0.3, 0.3}},
                              {{0, 1, 2}},
                              "triangle 0 is degenerate (zero area)"},
                    Malformed{"RepeatedCorner",
                              kThree,
                              {{0, 1, 2}, {2, 1, 2}},
                              "triangle 1 is degenerate (zero area)"},
                    Malformed{"NaNVertex",
                              {{0, 0, 0}, {1, std::nan(""), 0}, {0, 1, 0}},
                              {{0, 1, 2}},
                              "vertex 1 is not finite"}),
    [](const testing::TestParamInfo<Malformed>& each) { return each.param.name; });

// The tree's first hit is the one found by trying every triangle (a tie either way).
void ExpectTheTreeAgrees(const TriangleMesh& mesh, const Point3& from, const Point3& to) {
    bool found = false;
    double first = 0;
    for (std::uint32_t i = 0; i < mesh.triangle_count(); ++i) {
        double t = 0;
        if (mesh.crosses(i, from, to, t) && (!found || t < first)) first = t, found = true;
    }
    TriangleMesh::Hit hit;
    ASSERT_EQ(mesh.first_hit(from, to, hit), found);
    double t = -1;
    EXPECT_TRUE(!found || (mesh.crosses(hit.triangle, from, to, t) && t == first && hit.t == t));
}

TEST(MeshTree, FindsTheFirstHitAsTryingEveryTriangleDoes) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> within(-1, 1);
    std::vector<Point3> vertices;
    std::vector<MeshTriangle> triangles;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        const Point3 centre{within(random), within(random), within(random)};
        const double across = 0.02 + 0.15 * (1 + within(random));
        for (int corner = 0; corner < 3; ++corner) {
            vertices.push_back({centre[0] + across * within(random),
                                centre[1] + across * within(random),
                                centre[2] + across * within(random)});
        }
        triangles.push_back({3 * i, 3 * i + 1, 3 * i + 2});
    }
    const TriangleMesh mesh = Make(vertices, triangles);
    for (int i = 0; i < 3000; ++i) {
        const Point3 from{1.5 * within(random), 1.5 * within(random), 1.5 * within(random)};
        // Long ones, and short ones that end among the triangles.
        const double reach = i % 2 ? 1.5 : 0.05;
        ExpectTheTreeAgrees(mesh, from,
                            {from[0] + reach * within(random), from[1] + reach * within(random),
                             from[2] + reach * within(random)});
    }
}

}  // namespace

namespace {

std::shared_ptr<const TriangleMesh> Shared(const TriangleMesh& mesh) {
    return std::make_shared<const TriangleMesh>(mesh);
}

EffectSet OneMesh(const std::shared_ptr<const TriangleMesh>& mesh, const Pose& pose = {}) {
    EffectSet set;
    set.add(Mesh{mesh, pose, static_cast<float>(kStiffness), 0, 0, 0});
    return set;
}

}  // namespace

// In a set, a mesh is felt through the proxy kept for its place: from one period to the next
// while the same mesh is there, whatever its pose, afresh for another mesh.
TEST(MeshEffect, IsFeltThroughTheProxyOfItsPlaceInTheSet) {
    const auto triangle = Shared(kTriangle);
    MeshProxies proxies;
    const EffectSet set = OneMesh(triangle);
    EXPECT_EQ(set.force({0, 0, 0.01f}, {}, proxies), (Vec3{}));
    ExpectForce(set.force({0, 0, -0.01f}, {}, proxies), {0, 0, 10});
    // A set without proxies has nothing to feel the mesh with.
    EXPECT_EQ(set.force({0, 0, -0.01f}, {}), (Vec3{}));
    const std::optional<ProxyPlace> place = set.first_proxy(proxies);
    ASSERT_TRUE(place.has_value());
    EXPECT_TRUE(place->touching);
    EXPECT_NEAR(place->position[2], 0.0, 1e-6);

    // Raised 5 mm, the same mesh keeps its proxy on its surface, now 15 mm above the point.
    ExpectForce(OneMesh(triangle, {{0, 0, 0.005}, {1, 0, 0, 0}}).force({0, 0, -0.01f}, {}, proxies),
                {0, 0, 15});
    // Another mesh, built alike, starts free where the end effector is.
    const auto other =
        TriangleMesh::Build({{-0.1, -0.1, 0}, {0.1, -0.1, 0}, {0, 0.1, 0}}, {{0, 1, 2}}).mesh;
    EXPECT_EQ(OneMesh(other).force({0, 0, -0.01f}, {}, proxies), (Vec3{}));
    EXPECT_FALSE(OneMesh(triangle).first_proxy(MeshProxies()).value().touching);
}

TEST(MeshEffect, GlidesOnlyWithinOneMeshItsPoseTurningTheShorterWay) {
    const auto triangle = Shared(kTriangle);
    constexpr double kPi = 3.14159265358979323846;
    const double half = std::sqrt(0.5);
    const EffectSet from = OneMesh(triangle);
    // A quarter turn about z, given as the quaternion's negative: the same rotation.
    const EffectSet to = OneMesh(triangle, {{0.02, 0, 0}, {-half, 0, 0, -half}});
    EXPECT_TRUE(SameShape(from, to));
    EXPECT_FALSE(SameShape(from, OneMesh(Shared(kTriangle))));  // a copy is not the one

    const EffectSet halfway = Between(from, to, 0.5);
    const Mesh& between = *halfway[0].get<Mesh>();
    EXPECT_EQ(between.mesh, triangle);
    EXPECT_NEAR(between.pose.position[0], 0.01, 1e-12);
    // An eighth of a turn: cos 22.5° and sin 22.5°, of the sign of the nearer end.
    const double w = std::cos(kPi / 8);
    const double z = std::sin(kPi / 8);
    const double sign = between.pose.rotation[0] > 0 ? 1.0 : -1.0;
    EXPECT_NEAR(sign * between.pose.rotation[0], w, 1e-9);
    EXPECT_NEAR(sign * between.pose.rotation[3], z, 1e-9);
    EXPECT_NEAR(between.pose.rotation[1], 0.0, 1e-12);
}
