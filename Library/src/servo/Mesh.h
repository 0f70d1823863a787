#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "../devices/Kalvar.h"

namespace Brivane::HardwareAPI::Haptics {

// Metres, metres per second and newtons, in the arm's frame.
using Vec3 = Devices::Vec3;

// A mesh's points and directions, in metres in its own frame; in double, as the effects
// compute.
using Point3 = std::array<double, 3>;
// Three indices into a mesh's vertices.
using MeshTriangle = std::array<std::uint32_t, 3>;

struct MeshBuild;

// Triangles that the end effector feels from the front: each face is one-sided, its front
// the side from which its corners a, b, c run counter-clockwise, its outward normal
// (b - a) x (c - a) made of unit length. Immutable once built; its queries allocate nothing,
// so that the servo may ask them every period.
class TriangleMesh {
  public:
    // Where a segment first enters a face through its front: at from + t (to - from).
    struct Hit {
        std::uint32_t triangle = 0;
        double t = 0.0;
    };

    // The mesh, or what is wrong with the input: no triangles, a vertex that is not finite,
    // an index out of range, a triangle of no area. Builds its bounding-box tree here.
    static MeshBuild Build(std::vector<Point3> vertices, std::vector<MeshTriangle> triangles);

    // The same for every copy of one build and for no other mesh, so that a proxy knows
    // the mesh it is on.
    std::uint64_t id() const { return id_; }

    std::size_t vertex_count() const { return vertices_.size(); }
    std::size_t triangle_count() const { return triangles_.size(); }
    const Point3& vertex(std::size_t index) const { return vertices_[index]; }
    const MeshTriangle& triangle(std::size_t index) const { return triangles_[index]; }
    const Point3& normal(std::size_t index) const { return normals_[index]; }
    // What it holds in memory: its vertices, triangles, normals and tree.
    std::size_t bytes() const;

    // The first face the segment from `from` to `to` crosses from its front to its back;
    // false if none. A segment leaving a face through its back crosses nothing.
    bool first_hit(const Point3& from, const Point3& to, Hit& hit) const;
    // Whether the segment crosses the one triangle from its front, and where.
    bool crosses(std::uint32_t triangle, const Point3& from, const Point3& to, double& t) const;

  private:
    // A box round some triangles: a leaf holds order_[first, first + count); an inner node
    // (count 0) has its children at its own index + 1 and at `first`.
    struct Node {
        Point3 low{};
        Point3 high{};
        std::uint32_t first = 0;
        std::uint32_t count = 0;
    };

    TriangleMesh() = default;
    void build_tree();

    std::vector<Point3> vertices_;
    std::vector<MeshTriangle> triangles_;
    std::vector<Point3> normals_;
    std::vector<std::uint32_t> order_;
    std::vector<Node> nodes_;
    std::uint64_t id_ = 0;
};

struct MeshBuild {
    // Shared, never changed: the effects that render it hold it, and so may any number of
    // servos at once.
    std::shared_ptr<const TriangleMesh> mesh;
    // Empty when built; otherwise what is wrong, naming the triangle or vertex.
    std::string error;

    bool ok() const { return mesh != nullptr; }
};

// Where a mesh is, as a rigid motion from its own frame into the arm's: a point p of the
// mesh is at rotation * p + position. The rotation is a unit quaternion (w, x, y, z); one
// that is not of unit length is scaled to one, and a zero one, or one that is not finite,
// is taken as no rotation.
struct Pose {
    Point3 position{};
    std::array<double, 4> rotation{1.0, 0.0, 0.0, 0.0};
};

// Where `point`, in the mesh's frame, is in the arm's.
Point3 InArmFrame(const Pose& pose, const Point3& point);

// The god-object of a mesh for one servo: a point that follows the end effector in free
// space and stays on the surface where the end effector has gone through it, the force a
// spring between the two. A plain value: it allocates nothing and may be copied.
class MeshProxy {
  public:
    // How far above a face the proxy is kept, so that rounding never takes it through.
    static constexpr double kSkin = 1e-7;
    // The most faces the proxy is held by in one period: more than the three of a corner,
    // for the faces a corner is made of may be split in several triangles.
    static constexpr std::size_t kMaxFaces = 6;

    // The force on the end effector at `position` moving at `velocity` (both in the arm's
    // frame) from the mesh where `pose` puts it: stiffness (N/m) times the proxy's offset
    // from the end effector, less damping (N·s/m) times the velocity along that offset, in
    // contact; none in free space. Friction holds the proxy where it is while the force
    // along the surface is within static_friction times the force into it; past that, it
    // slides until the force along the surface is dynamic_friction times it.
    Vec3 update(const TriangleMesh& mesh, const Pose& pose, const Vec3& position,
                const Vec3& velocity, double stiffness, double damping, double static_friction,
                double dynamic_friction);
    // Free, at the end effector, from the next update.
    void reset() { placed_ = false; }

    // In the mesh's frame, after an update.
    const Point3& proxy() const { return proxy_; }
    bool in_contact() const { return contact_; }

  private:
    Point3 proxy_{};
    bool placed_ = false;
    bool contact_ = false;
};

}  // namespace Brivane::HardwareAPI::Haptics
