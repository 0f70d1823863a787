// What a period's proxy update costs on meshes of 12 to a million triangles, beside a Plane's
// force and the empty loop, and what building each mesh's tree costs in time and memory.
// Each mesh is a ball of 5 cm radius (the 12 triangles a cube); the end effector circles
// 1 mm inside its surface at 0.1 m/s, a step of 0.1 mm a period as at 1 kHz, so that the
// proxy is held by the surface and slides over a new triangle every few periods.
//
//   mesh_proxy [updates per mesh, default 200000]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "servo/Effects.h"
#include "servo/Mesh.h"

using namespace Brivane::HardwareAPI::Haptics;
using Clock = std::chrono::steady_clock;

namespace {

constexpr double kRadius = 0.05;
constexpr double kPi = 3.14159265358979323846;

// A ball of about `triangles` triangles: rings of latitude, each face wound to face out.
MeshBuild Ball(std::size_t triangles) {
    const std::size_t rings = std::max<std::size_t>(
        2, static_cast<std::size_t>(std::sqrt(static_cast<double>(triangles) / 4.0)));
    const std::size_t around = 2 * rings;
    std::vector<Point3> vertices;
    vertices.push_back({0, 0, kRadius});
    for (std::size_t ring = 1; ring < rings; ++ring) {
        const double polar = kPi * static_cast<double>(ring) / static_cast<double>(rings);
        for (std::size_t i = 0; i < around; ++i) {
            const double azimuth = 2 * kPi * static_cast<double>(i) / static_cast<double>(around);
            vertices.push_back({kRadius * std::sin(polar) * std::cos(azimuth),
                                kRadius * std::sin(polar) * std::sin(azimuth),
                                kRadius * std::cos(polar)});
        }
    }
    vertices.push_back({0, 0, -kRadius});
    const auto at = [&](std::size_t ring, std::size_t i) {
        return static_cast<std::uint32_t>(1 + (ring - 1) * around + i % around);
    };
    const auto bottom = static_cast<std::uint32_t>(vertices.size() - 1);
    std::vector<MeshTriangle> faces;
    for (std::size_t i = 0; i < around; ++i) faces.push_back({0, at(1, i), at(1, i + 1)});
    for (std::size_t ring = 1; ring + 1 < rings; ++ring) {
        for (std::size_t i = 0; i < around; ++i) {
            faces.push_back({at(ring, i), at(ring + 1, i), at(ring + 1, i + 1)});
            faces.push_back({at(ring, i), at(ring + 1, i + 1), at(ring, i + 1)});
        }
    }
    for (std::size_t i = 0; i < around; ++i) {
        faces.push_back({bottom, at(rings - 1, i + 1), at(rings - 1, i)});
    }
    return TriangleMesh::Build(std::move(vertices), std::move(faces));
}

MeshBuild Cube() {
    const double h = 0.04;
    std::vector<Point3> vertices;
    for (int corner = 0; corner < 8; ++corner) {
        vertices.push_back({corner & 1 ? h : -h, corner & 2 ? h : -h, corner & 4 ? h : -h});
    }
    return TriangleMesh::Build(std::move(vertices), {{0, 2, 3},
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
}

// The end effector's point in period `i`: a tilted circle 1 mm inside the surface.
Vec3 PathPoint(std::size_t i, double inside) {
    const double angle = static_cast<double>(i) * 1e-4 / inside;
    const double c = std::cos(angle);
    const double s = std::sin(angle);
    return {static_cast<float>(inside * c), static_cast<float>(inside * s * 0.8),
            static_cast<float>(inside * s * 0.6)};
}

struct Timing {
    double p50 = 0, p99 = 0, max = 0;
};

Timing Summarise(std::vector<double>& micros) {
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double share) {
        return micros[std::min(micros.size() - 1, static_cast<std::size_t>(
                                                      share * static_cast<double>(micros.size())))];
    };
    return {at(0.5), at(0.99), micros.back()};
}

// Times `step(i)` once per period for `count` periods, after a warm-up lap.
template <typename Step>
Timing Time(std::size_t count, Step step) {
    for (std::size_t i = 0; i < count / 10; ++i) step(i);
    std::vector<double> micros(count);
    for (std::size_t i = 0; i < count; ++i) {
        const Clock::time_point begin = Clock::now();
        step(i);
        micros[i] = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();
    }
    return Summarise(micros);
}

volatile float sink = 0.0f;

}  // namespace

int main(int argc, char** argv) {
    const std::size_t updates = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    std::printf("%-22s %10s %10s %9s %9s %9s %9s\n", "per period", "triangles", "build ms",
                "tree MB", "p50 µs", "p99 µs", "max µs");

    const Timing empty = Time(updates, [](std::size_t i) { sink = static_cast<float>(i); });
    std::printf("%-22s %10s %10s %9s %9.2f %9.2f %9.1f\n", "nothing (the clock)", "-", "-", "-",
                empty.p50, empty.p99, empty.max);
    const Plane plane{{0, 0, 0}, {0, 0, 1}, {1000, 1000, 1000}, 5};
    const Timing flat = Time(updates, [&](std::size_t i) {
        sink = ForceOf(plane, PathPoint(i, kRadius - 0.001), {0, 0, -0.1f})[2];
    });
    std::printf("%-22s %10s %10s %9s %9.2f %9.2f %9.1f\n", "Plane", "-", "-", "-", flat.p50,
                flat.p99, flat.max);

    for (const std::size_t wanted :
         {std::size_t{12}, std::size_t{10000}, std::size_t{100000}, std::size_t{1000000}}) {
        const Clock::time_point begin = Clock::now();
        const MeshBuild built = wanted == 12 ? Cube() : Ball(wanted);
        const double build_ms =
            std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
        if (!built.ok()) {
            std::fprintf(stderr, "mesh_proxy: %s\n", built.error.c_str());
            return 1;
        }
        const TriangleMesh& mesh = *built.mesh;
        const double inside = (wanted == 12 ? 0.04 : kRadius) - 0.001;
        MeshProxy proxy;
        proxy.update(mesh, {}, {0.2f, 0, 0}, {}, 1000, 5, 0, 0);  // placed outside, free
        std::size_t contact = 0;
        const Timing timing = Time(updates, [&](std::size_t i) {
            sink =
                proxy.update(mesh, {}, PathPoint(i, inside), {0, 0, -0.1f}, 1000, 5, 0.3, 0.2)[0];
            contact += proxy.in_contact();
        });
        std::printf("%-22s %10zu %10.1f %9.1f %9.2f %9.2f %9.1f\n", "Mesh proxy update",
                    mesh.triangle_count(), build_ms, static_cast<double>(mesh.bytes()) / 1e6,
                    timing.p50, timing.p99, timing.max);
        const std::size_t steps = updates + updates / 10;  // the warm-up's too
        if (contact < steps) {
            std::fprintf(stderr, "mesh_proxy: the proxy left the surface in %zu periods\n",
                         steps - contact);
        }
    }
    return 0;
}
