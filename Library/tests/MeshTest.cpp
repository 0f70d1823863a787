#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

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
const TriangleMesh& Triangle() {
    static const TriangleMesh mesh =
        Make({{-0.1, -0.1, 0}, {0.1, -0.1, 0}, {0, 0.1, 0}}, {{0, 1, 2}});
    return mesh;
}

void ExpectForce(const Vec3& force, const Vec3& expected) {
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(force[i], expected[i], kNewtons) << i;
}

struct Path {
    const char* name;
    std::vector<Vec3> points;  // one a period; the force is the last one's
    Vec3 expected;
    float speed = 0.0f;  // along -z at the last point
    double damping = 0.0;
};

class SingleTriangle : public testing::TestWithParam<Path> {};

TEST_P(SingleTriangle, PushesUpFromUnderItsFrontNeverThrough) {
    const Path& c = GetParam();
    MeshProxy proxy;
    Vec3 force{};
    for (const Vec3& point : c.points) {
        force = proxy.update(Triangle(), {}, point, {0, 0, -c.speed}, kStiffness, c.damping, 0, 0);
        if (c.points.front()[2] > 0) {
            EXPECT_GT(proxy.proxy()[2], 0.0);
        }
    }
    ExpectForce(force, c.expected);
    EXPECT_EQ(proxy.in_contact(), c.expected[2] != 0.0f);
}

INSTANTIATE_TEST_SUITE_P(
    Each, SingleTriangle,
    testing::Values(
        Path{"Above", {{0, 0, 0.01f}, {0.01f, 0, 0.005f}}, {0, 0, 0}},
        Path{"OneMillimetreUnder", {{0, 0, 0.01f}, {0, 0, -0.001f}}, {0, 0, 1}},
        Path{"TenMillimetresUnderInOnePeriod", {{0, 0, 0.01f}, {0, 0, -0.01f}}, {0, 0, 10}},
        // Frictionless, it slides to above the point.
        Path{"TenUnderAslant", {{0, 0, 0.01f}, {0.02f, 0.01f, -0.01f}}, {0, 0, 10}},
        Path{"BackAbove", {{0, 0, 0.01f}, {0, 0, -0.01f}, {0, 0, 0.002f}}, {0, 0, 0}},
        Path{"ThroughItsBack", {{0, 0, -0.01f}, {0, 0, 0.01f}, {0, 0, 0.02f}}, {0, 0, 0}},
        // 1 mm deep, sinking at 0.1 m/s: 1 + 5 * 0.1.
        Path{"Damped", {{0, 0, 0.01f}, {0, 0, -0.001f}}, {0, 0, 1.5f}, 0.1f, 5.0}),
    [](const testing::TestParamInfo<Path>& each) { return each.param.name; });

// A floor (+z) and two walls, x = 0.05 facing -x and y = 0.05 facing -y: the inside corner
// of a box.
const TriangleMesh& Corner() {
    static const TriangleMesh mesh =
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
    return mesh;
}

class InsideCorner : public testing::TestWithParam<Path> {};

TEST_P(InsideCorner, CombinesTheFacesItIsHeldByNeverPassingOne) {
    const Path& c = GetParam();
    MeshProxy proxy;
    Vec3 force{};
    for (const Vec3& point : c.points) {
        force = proxy.update(Corner(), {}, point, {}, kStiffness, 0, 0, 0);
        EXPECT_GT(proxy.proxy()[2], 0.0);
        EXPECT_LT(proxy.proxy()[0], 0.05);
        EXPECT_LT(proxy.proxy()[1], 0.05);
    }
    ExpectForce(force, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Each, InsideCorner,
    testing::Values(
        Path{"Floor", {{0, 0, 0.01f}, {0, 0, -0.002f}}, {0, 0, 2}},
        Path{"WallOnly", {{0.04f, 0, 0.05f}, {0.052f, 0, 0.05f}}, {-2, 0, 0}},
        // 3 mm past the wall, 2 mm under the floor.
        Path{"AlongTheFloorIntoTheEdge",
             {{0, 0, 0.01f}, {0, 0, -0.002f}, {0.03f, 0, -0.002f}, {0.053f, 0, -0.002f}},
             {-3, 0, 2}},
        Path{"IntoTheEdgeInOnePeriod", {{0, 0, 0.01f}, {0.053f, 0, -0.002f}}, {-3, 0, 2}},
        Path{"AlongTheEdgeIntoTheCorner",
             {{0, 0, 0.01f}, {0, 0, -0.002f}, {0.053f, 0, -0.002f}, {0.053f, 0.054f, -0.002f}},
             {-3, -4, 2}},
        Path{"IntoTheCornerInOnePeriod", {{0, 0, 0.03f}, {0.053f, 0.054f, -0.002f}}, {-3, -4, 2}}),
    [](const testing::TestParamInfo<Path>& each) { return each.param.name; });

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
    proxy.update(ground, {}, {0, 0, 0.01f}, {}, kStiffness, 0, c.static_friction,
                 c.dynamic_friction);
    Vec3 force{};
    for (const float x : c.xs) {
        force = proxy.update(ground, {}, {x, 0, -0.002f}, {}, kStiffness, 0, c.static_friction,
                             c.dynamic_friction);
    }
    EXPECT_NEAR(proxy.proxy()[0], c.proxy_x, 1e-6);
    const double tangential = -kStiffness * (c.xs.back() - c.proxy_x);
    ExpectForce(force, {static_cast<float>(tangential), 0, 2});
}

INSTANTIATE_TEST_SUITE_P(
    Each, Friction,
    testing::Values(
        // Fn = 2 N: it sticks while Ft <= 1 N (0.5), slides to Ft = 0.6 N (0.3) past it.
        Rub{"StuckWhereItMet", {0}, 0.5, 0.3, 0},
        Rub{"StuckAsTheForceGrows", {0, 0.0003f, 0.0006f, 0.0009f}, 0.5, 0.3, 0},
        Rub{"SlipsPastTheCone", {0, 0.002f}, 0.5, 0.3, 0.002 - 0.3 * (0.002 + 1e-7)},
        Rub{"KeepsSlipping", {0, 0.002f, 0.004f}, 0.5, 0.3, 0.004 - 0.3 * (0.002 + 1e-7)},
        Rub{"SticksAgainOnceWithin", {0, 0.002f, 0.0022f}, 0.5, 0.3, 0.002 - 0.3 * (0.002 + 1e-7)},
        Rub{"Frictionless", {0, 0.002f}, 0, 0, 0.002}),
    [](const testing::TestParamInfo<Rub>& each) { return each.param.name; });

struct Push {
    const char* name;
    std::size_t axis;
    float side;
};

class ClosedCube : public testing::TestWithParam<Push> {};

// The cube of half side 5 cm round the origin, its faces facing out.
const TriangleMesh& Cube() {
    std::vector<Point3> corners;
    for (int i = 0; i < 8; ++i) {
        corners.push_back({(i & 1) ? 0.05 : -0.05, (i & 2) ? 0.05 : -0.05, (i & 4) ? 0.05 : -0.05});
    }
    static const TriangleMesh mesh = Make(corners, {{0, 2, 3},
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
    return mesh;
}

TEST_P(ClosedCube, PushesOutAlongTheFacePushedThrough) {
    const Push& c = GetParam();
    Vec3 outside{0.01f, 0.02f, 0.015f};
    Vec3 inside = outside;
    outside[c.axis] = 0.06f * c.side;
    inside[c.axis] = 0.048f * c.side;
    MeshProxy proxy;
    proxy.update(Cube(), {}, outside, {}, kStiffness, 0, 0, 0);
    Vec3 expected{};
    expected[c.axis] = 2 * c.side;
    ExpectForce(proxy.update(Cube(), {}, inside, {}, kStiffness, 0, 0, 0), expected);
}

INSTANTIATE_TEST_SUITE_P(Each, ClosedCube,
                         testing::Values(Push{"PlusX", 0, 1}, Push{"MinusX", 0, -1},
                                         Push{"PlusY", 1, 1}, Push{"MinusY", 1, -1},
                                         Push{"PlusZ", 2, 1}, Push{"MinusZ", 2, -1}),
                         [](const testing::TestParamInfo<Push>& each) { return each.param.name; });

TEST(ClosedCubeFromInside, LeavesFreely) {
    MeshProxy proxy;
    proxy.update(Cube(), {}, {0, 0, 0}, {}, kStiffness, 0, 0, 0);
    ExpectForce(proxy.update(Cube(), {}, {0, 0, 0.06f}, {}, kStiffness, 0, 0, 0), {0, 0, 0});
    EXPECT_FALSE(proxy.in_contact());
    // Back in through the top from above.
    ExpectForce(proxy.update(Cube(), {}, {0, 0, 0.049f}, {}, kStiffness, 0, 0, 0), {0, 0, 1});
    proxy.reset();
    ExpectForce(proxy.update(Cube(), {}, {0, 0, 0.04f}, {}, kStiffness, 0, 0, 0), {0, 0, 0});
}

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
    proxy.update(Triangle(), c.pose, c.above, {}, kStiffness, 0, 0, 0);
    ExpectForce(proxy.update(Triangle(), c.pose, c.under, {}, kStiffness, 0, 0, 0), c.expected);
}

const double kHalf = std::sqrt(0.5);

INSTANTIATE_TEST_SUITE_P(
    Each, MeshPose,
    testing::Values(
        Placed{"Identity", {}, {0.02f, 0.03f, 0.01f}, {0.02f, 0.03f, -0.001f}, {0, 0, 1}},
        Placed{"Moved",
               {{0.1, 0.2, 0.3}, {1, 0, 0, 0}},
               {0.12f, 0.23f, 0.31f},
               {0.12f, 0.23f, 0.299f},
               {0, 0, 1}},
        // A quarter turn about x takes (x, y, z) to (x, -z, y).
        Placed{"QuarterTurnAboutXAndMoved",
               {{0.1, 0.2, 0.3}, {kHalf, kHalf, 0, 0}},
               {0.12f, 0.19f, 0.33f},
               {0.12f, 0.201f, 0.33f},
               {0, -1, 0}},
        // About y, to (z, y, -x).
        Placed{"QuarterTurnAboutY",
               {{}, {kHalf, 0, kHalf, 0}},
               {0.01f, 0.03f, -0.02f},
               {-0.001f, 0.03f, -0.02f},
               {1, 0, 0}},
        // Half round x, to (x, -y, -z).
        Placed{"HalfTurnAboutX",
               {{}, {0, 1, 0, 0}},
               {0.02f, -0.03f, -0.01f},
               {0.02f, -0.03f, 0.001f},
               {0, 0, -1}},
        Placed{"RotationNotOfUnitLength",
               {{}, {2, 0, 0, 0}},
               {0.02f, 0.03f, 0.01f},
               {0.02f, 0.03f, -0.001f},
               {0, 0, 1}}),
    [](const testing::TestParamInfo<Placed>& each) { return each.param.name; });

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

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
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
                              {{0, 0, 0}, {1, kNaN, 0}, {0, 1, 0}},
                              {{0, 1, 2}},
                              "vertex 1 is not finite"}),
    [](const testing::TestParamInfo<Malformed>& each) { return each.param.name; });

// Every triangle tried, for the first front face crossed.
bool BruteForce(const TriangleMesh& mesh, const Point3& from, const Point3& to,
                TriangleMesh::Hit& first) {
    bool found = false;
    for (std::uint32_t i = 0; i < mesh.triangle_count(); ++i) {
        double t = 0;
        if (mesh.crosses(i, from, to, t) && (!found || t < first.t)) {
            found = true;
            first = {i, t};
        }
    }
    return found;
}

void ExpectTheTreeAgrees(const TriangleMesh& mesh, const Point3& from, const Point3& to) {
    TriangleMesh::Hit tree;
    TriangleMesh::Hit every;
    const bool found = mesh.first_hit(from, to, tree);
    ASSERT_EQ(found, BruteForce(mesh, from, to, every));
    if (!found) return;
    // A tie between two triangles may be broken either way.
    EXPECT_EQ(tree.t, every.t);
    double t = 0;
    EXPECT_TRUE(mesh.crosses(tree.triangle, from, to, t) && t == every.t);
}

TEST(MeshTree, FindsTheFirstHitAsEveryTriangleTriedDoes) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> within(-1, 1);
    std::uniform_real_distribution<double> size(0.01, 0.3);
    std::vector<Point3> vertices;
    std::vector<MeshTriangle> triangles;
    for (std::uint32_t i = 0; i < 3000; ++i) {
        const Point3 centre{within(random), within(random), within(random)};
        const double across = size(random);
        for (int corner = 0; corner < 3; ++corner) {
            vertices.push_back({centre[0] + across * within(random),
                                centre[1] + across * within(random),
                                centre[2] + across * within(random)});
        }
        triangles.push_back({3 * i, 3 * i + 1, 3 * i + 2});
    }
    const TriangleMesh mesh = Make(vertices, triangles);
    std::uniform_real_distribution<double> around(-1.5, 1.5);
    std::size_t hits = 0;
    for (int i = 0; i < 3000; ++i) {
        const Point3 from{around(random), around(random), around(random)};
        // Long ones, and short ones that end among the triangles.
        const double reach = i % 2 ? 1.0 : 0.05;
        const Point3 to{from[0] + reach * around(random), from[1] + reach * around(random),
                        from[2] + reach * around(random)};
        ExpectTheTreeAgrees(mesh, from, to);
        TriangleMesh::Hit hit;
        hits += mesh.first_hit(from, to, hit);
    }
    EXPECT_GT(hits, 500u);  // a fair share of both kinds
    EXPECT_LT(hits, 2500u);
}

TEST(MeshTree, LeavesNoCrackBetweenTheTrianglesOfATerrain) {
    // 40 by 40 cells of two triangles over [0, 1]^2, at random heights.
    constexpr std::uint32_t kCells = 40;
    std::mt19937 random(11);
    std::uniform_real_distribution<double> height(-0.1, 0.1);
    std::vector<Point3> vertices;
    for (std::uint32_t j = 0; j <= kCells; ++j) {
        for (std::uint32_t i = 0; i <= kCells; ++i) {
            vertices.push_back({double(i) / kCells, double(j) / kCells, height(random)});
        }
    }
    std::vector<MeshTriangle> triangles;
    for (std::uint32_t j = 0; j < kCells; ++j) {
        for (std::uint32_t i = 0; i < kCells; ++i) {
            const std::uint32_t a = j * (kCells + 1) + i;
            triangles.push_back({a, a + 1, a + kCells + 2});
            triangles.push_back({a, a + kCells + 2, a + kCells + 1});
        }
    }
    const TriangleMesh mesh = Make(vertices, triangles);
    // Down through every vertex and every edge's middle, where cracks would be.
    for (std::uint32_t j = 0; j <= 2 * kCells; ++j) {
        for (std::uint32_t i = 0; i <= 2 * kCells; ++i) {
            const double x = double(i) / (2 * kCells);
            const double y = double(j) / (2 * kCells);
            TriangleMesh::Hit hit;
            ASSERT_TRUE(mesh.first_hit({x, y, 1}, {x, y, -1}, hit)) << x << " " << y;
            ASSERT_FALSE(mesh.first_hit({x, y, -1}, {x, y, 1}, hit)) << x << " " << y;
            ExpectTheTreeAgrees(mesh, {x, y, 1}, {x + 0.01, y - 0.02, -1});
        }
    }
}

}  // namespace
