#include "Mesh.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <utility>

namespace Brivane::HardwareAPI::Haptics {

namespace {

Point3 Minus(const Point3& a, const Point3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
Point3 Plus(const Point3& a, const Point3& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
Point3 Times(const Point3& a, double s) {
    return {a[0] * s, a[1] * s, a[2] * s};
}
double Dot(const Point3& a, const Point3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
Point3 Cross(const Point3& a, const Point3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double Length(const Point3& a) {
    return std::sqrt(Dot(a, a));
}
bool Finite(const Point3& a) {
    return std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]);
}
// False for no direction.
bool Unit(const Point3& a, Point3& unit) {
    const double length = Length(a);
    if (!(length > 0.0) || !std::isfinite(length)) return false;
    unit = Times(a, 1.0 / length);
    return true;
}

// How far past its edges, as a share of them, a triangle still counts as hit: adjacent
// triangles then overlap by a hair, and a segment through their shared edge never slips
// between the two for rounding.
constexpr double kEdgeSlack = 1e-9;
// A triangle whose area is this small a share of its longest edge squared has none.
constexpr double kFlat = 1e-12;
// Leaves hold up to this many triangles; the tree's depth is then at most about
// log2(triangles), well within the traversal's fixed stack.
constexpr std::uint32_t kLeafSize = 4;
constexpr std::size_t kStackSize = 64;

std::string Describe(const char* what, std::size_t index, const char* how) {
    return std::string(what) + " " + std::to_string(index) + " " + how;
}

}  // namespace

MeshBuild TriangleMesh::Build(std::vector<Point3> vertices, std::vector<MeshTriangle> triangles) {
    MeshBuild built;
    if (triangles.empty()) {
        built.error = "the mesh has no triangles";
        return built;
    }
    if (triangles.size() >= std::numeric_limits<std::uint32_t>::max() / 2) {
        built.error = "the mesh has too many triangles (" + std::to_string(triangles.size()) + ")";
        return built;
    }
    for (std::size_t i = 0; i < vertices.size(); ++i) {
        if (!Finite(vertices[i])) {
            built.error = Describe("vertex", i, "is not finite");
            return built;
        }
    }
    std::vector<Point3> normals(triangles.size());
    for (std::size_t i = 0; i < triangles.size(); ++i) {
        for (std::size_t corner = 0; corner < 3; ++corner) {
            if (triangles[i][corner] >= vertices.size()) {
                built.error = Describe("triangle", i, "corner ") + std::to_string(corner) +
                              ": index " + std::to_string(triangles[i][corner]) +
                              " is out of range (" + std::to_string(vertices.size()) + " vertices)";
                return built;
            }
        }
        const Point3& a = vertices[triangles[i][0]];
        const Point3& b = vertices[triangles[i][1]];
        const Point3& c = vertices[triangles[i][2]];
        const Point3 ab = Minus(b, a);
        const Point3 ac = Minus(c, a);
        const Point3 bc = Minus(c, b);
        const Point3 area = Cross(ab, ac);
        const double longest = std::max({Dot(ab, ab), Dot(ac, ac), Dot(bc, bc)});
        if (!(Length(area) > kFlat * longest) || !Unit(area, normals[i])) {
            built.error = Describe("triangle", i, "is degenerate (zero area)");
            return built;
        }
    }
    static std::atomic<std::uint64_t> last_id{0};
    std::shared_ptr<TriangleMesh> mesh(new TriangleMesh());
    mesh->vertices_ = std::move(vertices);
    mesh->triangles_ = std::move(triangles);
    mesh->normals_ = std::move(normals);
    mesh->build_tree();
    mesh->id_ = last_id.fetch_add(1, std::memory_order_relaxed) + 1;
    built.mesh = std::move(mesh);
    return built;
}

namespace {

struct TreeBuilder {
    const std::vector<Point3>& vertices;
    const std::vector<MeshTriangle>& triangles;
    std::vector<Point3>& centres;
    std::vector<std::uint32_t>& order;

    template <typename Node>
    void bound(Node& node, std::uint32_t begin, std::uint32_t end) const {
        constexpr double kHuge = std::numeric_limits<double>::infinity();
        node.low = {kHuge, kHuge, kHuge};
        node.high = {-kHuge, -kHuge, -kHuge};
        for (std::uint32_t i = begin; i < end; ++i) {
            for (const std::uint32_t corner : triangles[order[i]]) {
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    node.low[axis] = std::min(node.low[axis], vertices[corner][axis]);
                    node.high[axis] = std::max(node.high[axis], vertices[corner][axis]);
                }
            }
        }
        // Grown by a hair more than the triangles' edge slack, so that no hit the triangle
        // test accepts falls outside its box.
        double extent = 0.0;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            extent = std::max(extent, node.high[axis] - node.low[axis]);
        }
        const double pad = 10.0 * kEdgeSlack * extent + 1e-15;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            node.low[axis] -= pad;
            node.high[axis] += pad;
        }
    }

    // Split at the median of the centres along the widest spread of them.
    template <typename Node>
    void split(std::vector<Node>& nodes, std::uint32_t index, std::uint32_t begin,
               std::uint32_t end) const {
        bound(nodes[index], begin, end);
        if (end - begin <= kLeafSize) {
            nodes[index].first = begin;
            nodes[index].count = end - begin;
            return;
        }
        Point3 low = centres[order[begin]];
        Point3 high = low;
        for (std::uint32_t i = begin + 1; i < end; ++i) {
            for (std::size_t axis = 0; axis < 3; ++axis) {
                low[axis] = std::min(low[axis], centres[order[i]][axis]);
                high[axis] = std::max(high[axis], centres[order[i]][axis]);
            }
        }
        std::size_t widest = 0;
        for (std::size_t axis = 1; axis < 3; ++axis) {
            if (high[axis] - low[axis] > high[widest] - low[widest]) widest = axis;
        }
        const std::uint32_t middle = begin + (end - begin) / 2;
        std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end,
                         [&](std::uint32_t a, std::uint32_t b) {
                             return centres[a][widest] < centres[b][widest];
                         });
        const auto left = static_cast<std::uint32_t>(nodes.size());
        nodes.emplace_back();
        split(nodes, left, begin, middle);
        const auto right = static_cast<std::uint32_t>(nodes.size());
        nodes.emplace_back();
        split(nodes, right, middle, end);
        nodes[index].first = right;
        nodes[index].count = 0;
    }
};

}  // namespace

void TriangleMesh::build_tree() {
    const auto count = static_cast<std::uint32_t>(triangles_.size());
    std::vector<Point3> centres(count);
    order_.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const MeshTriangle& t = triangles_[i];
        centres[i] = Times(Plus(Plus(vertices_[t[0]], vertices_[t[1]]), vertices_[t[2]]), 1.0 / 3);
        order_[i] = i;
    }
    nodes_.clear();
    nodes_.reserve(count / 2 + 2);
    nodes_.emplace_back();
    TreeBuilder{vertices_, triangles_, centres, order_}.split(nodes_, 0, 0, count);
}

bool TriangleMesh::crosses(std::uint32_t triangle, const Point3& from, const Point3& to,
                           double& t) const {
    // Möller and Trumbore's test; its determinant is -(to - from) . normal, so that only a
    // positive one enters through the front.
    const MeshTriangle& corners = triangles_[triangle];
    const Point3& a = vertices_[corners[0]];
    const Point3 e1 = Minus(vertices_[corners[1]], a);
    const Point3 e2 = Minus(vertices_[corners[2]], a);
    const Point3 direction = Minus(to, from);
    const Point3 p = Cross(direction, e2);
    const double det = Dot(e1, p);
    if (!(det > 0.0)) return false;
    const Point3 s = Minus(from, a);
    const double u = Dot(s, p);
    if (u < -kEdgeSlack * det || u > (1.0 + kEdgeSlack) * det) return false;
    const Point3 q = Cross(s, e1);
    const double v = Dot(direction, q);
    if (v < -kEdgeSlack * det || u + v > (1.0 + kEdgeSlack) * det) return false;
    const double along = Dot(e2, q);
    if (along < 0.0 || along > det) return false;
    t = along / det;
    return true;
}

bool TriangleMesh::first_hit(const Point3& from, const Point3& to, Hit& hit) const {
    const Point3 direction = Minus(to, from);
    Point3 inverse{};
    for (std::size_t axis = 0; axis < 3; ++axis) inverse[axis] = 1.0 / direction[axis];
    bool found = false;
    double best = 1.0;
    std::array<std::uint32_t, kStackSize> stack{};
    std::size_t size = 0;
    stack[size++] = 0;
    while (size > 0) {
        const std::uint32_t index = stack[--size];
        const Node& node = nodes_[index];
        // Where the segment is within the box, by slabs; nowhere past the best hit so far.
        double enter = 0.0;
        double leave = best;
        bool inside = true;
        for (std::size_t axis = 0; axis < 3 && inside; ++axis) {
            if (direction[axis] == 0.0) {
                inside = from[axis] >= node.low[axis] && from[axis] <= node.high[axis];
                continue;
            }
            double low = (node.low[axis] - from[axis]) * inverse[axis];
            double high = (node.high[axis] - from[axis]) * inverse[axis];
            if (low > high) std::swap(low, high);
            enter = std::max(enter, low);
            leave = std::min(leave, high);
            inside = enter <= leave;
        }
        if (!inside) continue;
        if (node.count > 0) {
            for (std::uint32_t i = node.first; i < node.first + node.count; ++i) {
                double t = 0.0;
                if (crosses(order_[i], from, to, t) && (!found || t < best)) {
                    found = true;
                    best = t;
                    hit = {order_[i], t};
                }
            }
        } else if (size + 2 <= kStackSize) {
            stack[size++] = node.first;
            stack[size++] = index + 1;
        }
    }
    return found;
}

namespace {

// The half-space in front of a face by the skin: normal . y >= level.
struct Face {
    Point3 normal{};
    double level = 0.0;
    std::uint32_t triangle = 0;
};

struct Faces {
    std::array<Face, MeshProxy::kMaxFaces> face{};
    std::size_t count = 0;

    bool holds(std::uint32_t triangle) const {
        for (std::size_t i = 0; i < count; ++i) {
            if (face[i].triangle == triangle) return true;
        }
        return false;
    }
    bool allows(const Point3& y) const {
        // Rounding in a projection leaves a point a hair short of the skin, never of the face.
        for (std::size_t i = 0; i < count; ++i) {
            if (Dot(face[i].normal, y) < face[i].level - 1e-12) return false;
        }
        return true;
    }
};

// The point nearest `goal` in front of every face: the projection of `goal` onto one, two
// or three of their planes, whichever is allowed and nearest (the nearest point of a convex
// set lies on one of its faces, edges or corners). False if none is.
bool Nearest(const Faces& faces, const Point3& goal, Point3& nearest) {
    if (faces.allows(goal)) {
        nearest = goal;
        return true;
    }
    double best = std::numeric_limits<double>::infinity();
    const auto consider = [&](const Point3& y) {
        const Point3 offset = Minus(y, goal);
        const double distance = Dot(offset, offset);
        if (distance < best && faces.allows(y)) {
            best = distance;
            nearest = y;
        }
    };
    const std::size_t n = faces.count;
    for (std::size_t i = 0; i < n; ++i) {
        const Face& a = faces.face[i];
        consider(Plus(goal, Times(a.normal, a.level - Dot(a.normal, goal))));
        for (std::size_t j = i + 1; j < n; ++j) {
            const Face& b = faces.face[j];
            const double cosine = Dot(a.normal, b.normal);
            const double det = 1.0 - cosine * cosine;
            // Parallel planes meet nowhere, or everywhere on one of them.
            if (det > 1e-12) {
                const double ra = a.level - Dot(a.normal, goal);
                const double rb = b.level - Dot(b.normal, goal);
                const double along_a = (ra - cosine * rb) / det;
                const double along_b = (rb - cosine * ra) / det;
                consider(Plus(goal, Plus(Times(a.normal, along_a), Times(b.normal, along_b))));
            }
            for (std::size_t k = j + 1; k < n; ++k) {
                const Face& c = faces.face[k];
                const Point3 bc = Cross(b.normal, c.normal);
                const double volume = Dot(a.normal, bc);
                if (std::fabs(volume) > 1e-9) {
                    const Point3 corner =
                        Plus(Plus(Times(bc, a.level), Times(Cross(c.normal, a.normal), b.level)),
                             Times(Cross(a.normal, b.normal), c.level));
                    consider(Times(corner, 1.0 / volume));
                }
            }
        }
    }
    return best < std::numeric_limits<double>::infinity();
}

// The point of the segment `from` to `to` where it comes within the skin of the face it
// hits, or `from` itself when that is already nearer.
Point3 BeforeHit(const TriangleMesh& mesh, const Point3& from, const Point3& to,
                 const TriangleMesh::Hit& hit) {
    const Point3& normal = mesh.normal(hit.triangle);
    const double surface = Dot(normal, mesh.vertex(mesh.triangle(hit.triangle)[0]));
    const double above_from = Dot(normal, from) - surface;
    const double above_to = Dot(normal, to) - surface;
    const double fall = above_from - above_to;  // positive: the hit enters through the front
    double t = fall > 0.0 ? (above_from - MeshProxy::kSkin) / fall : 0.0;
    t = std::clamp(t, 0.0, hit.t);
    return Plus(from, Times(Minus(to, from), t));
}

// The proxy's frictionless way from `from` towards `goal`: straight on until a face is
// hit, then on to the point nearest `goal` in front of every face hit so far, a few times.
// Where it stops is never behind a face it has crossed; `faces` are those it was held by,
// `touch` where it first met one.
Point3 Slide(const TriangleMesh& mesh, const Point3& from, const Point3& goal, Faces& faces,
             Point3& touch) {
    Point3 at = from;
    for (std::size_t step = 0; step <= MeshProxy::kMaxFaces; ++step) {
        Point3 target{};
        if (!Nearest(faces, goal, target)) break;
        TriangleMesh::Hit hit;
        if (!mesh.first_hit(at, target, hit)) return target;
        at = BeforeHit(mesh, at, target, hit);
        if (faces.count == 0) touch = at;
        if (faces.holds(hit.triangle) || faces.count == faces.face.size()) break;
        Face& face = faces.face[faces.count++];
        face.normal = mesh.normal(hit.triangle);
        face.level =
            Dot(face.normal, mesh.vertex(mesh.triangle(hit.triangle)[0])) + MeshProxy::kSkin;
        face.triangle = hit.triangle;
    }
    return at;
}

using Matrix = std::array<Point3, 3>;  // rows

Matrix Rotation(const std::array<double, 4>& q) {
    const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    if (!(length > 0.0) || !std::isfinite(length)) {
        return {Point3{1, 0, 0}, Point3{0, 1, 0}, Point3{0, 0, 1}};
    }
    const double w = q[0] / length;
    const double x = q[1] / length;
    const double y = q[2] / length;
    const double z = q[3] / length;
    return {Point3{1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y)},
            Point3{2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x)},
            Point3{2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y)}};
}

Point3 Apply(const Matrix& m, const Point3& v) {
    return {Dot(m[0], v), Dot(m[1], v), Dot(m[2], v)};
}
Point3 ApplyInverse(const Matrix& m, const Point3& v) {
    return Plus(Plus(Times(m[0], v[0]), Times(m[1], v[1])), Times(m[2], v[2]));
}

Point3 Wide(const Vec3& v) {
    return {v[0], v[1], v[2]};
}

// As the effects do: one beyond the float range scaled into it along its own direction.
Vec3 Narrow(const Point3& force) {
    constexpr double kMost = std::numeric_limits<float>::max();
    const double largest =
        std::max({std::fabs(force[0]), std::fabs(force[1]), std::fabs(force[2])});
    const double scale = largest > kMost ? kMost / largest : 1.0;
    Vec3 narrow{};
    for (std::size_t i = 0; i < 3; ++i) {
        narrow[i] = static_cast<float>(std::clamp(force[i] * scale, -kMost, kMost));
    }
    return narrow;
}

}  // namespace

std::size_t TriangleMesh::bytes() const {
    return sizeof(TriangleMesh) + vertices_.capacity() * sizeof(Point3) +
           triangles_.capacity() * sizeof(MeshTriangle) + normals_.capacity() * sizeof(Point3) +
           order_.capacity() * sizeof(std::uint32_t) + nodes_.capacity() * sizeof(Node);
}

Point3 InArmFrame(const Pose& pose, const Point3& point) {
    return Plus(Apply(Rotation(pose.rotation), point), pose.position);
}

Vec3 MeshProxy::update(const TriangleMesh& mesh, const Pose& pose, const Vec3& position,
                       const Vec3& velocity, double stiffness, double damping,
                       double static_friction, double dynamic_friction) {
    const Matrix rotation = Rotation(pose.rotation);
    const Point3 goal = ApplyInverse(rotation, Minus(Wide(position), pose.position));
    // Nowhere to go: the proxy stays for the next period that has a place.
    if (!Finite(goal)) return {};
    if (!placed_) {
        proxy_ = goal;
        placed_ = true;
        contact_ = false;
        return {};
    }

    Faces faces;
    Point3 touch = proxy_;
    const Point3 slid = Slide(mesh, proxy_, goal, faces, touch);
    const bool was_in_contact = contact_;
    contact_ = faces.count > 0;
    if (!contact_) {
        proxy_ = slid;
        return {};
    }

    // Friction, in the cone about the frictionless proxy's pull, from where the proxy was
    // held last period or met the surface in this one.
    // Slipping against more than held it would stick it again at once.
    dynamic_friction = std::min(dynamic_friction, static_friction);
    Point3 normal{};
    if ((static_friction > 0.0 || dynamic_friction > 0.0) && Unit(Minus(slid, goal), normal)) {
        const Point3 anchor = was_in_contact ? proxy_ : touch;
        const Point3 offset = Minus(anchor, goal);
        const double into = Dot(offset, normal);
        const double along = Length(Minus(offset, Times(normal, into)));
        Point3 target = anchor;
        if (along > static_friction * std::fabs(into)) {
            // Slid the share s of the way to the frictionless proxy, the force along the
            // surface falls as (1 - s) along and the one into it runs from `into` to the
            // frictionless one's: they meet at dynamic friction.
            const double slid_into = Length(Minus(slid, goal));
            const double under = along + dynamic_friction * (slid_into - into);
            const double share =
                under > 0.0 ? std::clamp((along - dynamic_friction * into) / under, 0.0, 1.0) : 1.0;
            target = Plus(anchor, Times(Minus(slid, anchor), share));
        }
        TriangleMesh::Hit hit;
        proxy_ =
            mesh.first_hit(anchor, target, hit) ? BeforeHit(mesh, anchor, target, hit) : target;
    } else {
        proxy_ = slid;
    }

    const Point3 offset = Minus(proxy_, goal);
    Point3 force = Times(offset, stiffness);
    Point3 direction{};
    if (Unit(offset, direction)) {
        const double speed = Dot(ApplyInverse(rotation, Wide(velocity)), direction);
        force = Minus(force, Times(direction, damping * speed));
    }
    const Point3 world = Apply(rotation, force);
    if (!Finite(world)) {
        return {static_cast<float>(world[0]), static_cast<float>(world[1]),
                static_cast<float>(world[2])};
    }
    return Narrow(world);
}

}  // namespace Brivane::HardwareAPI::Haptics
