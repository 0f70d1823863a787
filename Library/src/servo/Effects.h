#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "../devices/Kalvar.h"
#include "Mesh.h"

namespace Brivane::HardwareAPI::Haptics {

// The effects: each a force from the end effector's position and velocity, computed with
// no state of its own, so that the servo may swap them at any period. Stiffness is in N/m
// (per axis where it is a Vec3), damping in N·s/m. Each computes in double: for finite
// parameters and state its force is finite, one beyond the float range scaled into it along
// its own direction (the servo then holds its length to max_force). A parameter that is not
// finite may make a force that is not, which the servo commands as none.

// The same force everywhere.
struct ConstantForce {
    Vec3 force{};
};

// Pulls towards `anchor`, per axis, and damps the whole velocity.
struct Spring {
    Vec3 anchor{};
    Vec3 stiffness{};
    float damping = 0.0f;
};

// Resists every motion.
struct Damper {
    float damping = 0.0f;
};

// A one-sided wall through `point`, facing along `normal`: behind it (dot(p - point, normal)
// < 0) it pushes out along the normal by stiffness times the depth, and damps the velocity
// along the normal. In front of it, nothing. A normal that is not of unit length is scaled
// to one, however long or short; a zero one, or one that is not finite, gives no wall.
struct Plane {
    Vec3 point{};
    Vec3 normal{0.0f, 0.0f, 1.0f};
    Vec3 stiffness{};
    float damping = 0.0f;
};

// Walls that keep the end effector within [low, high]: per axis, past a wall it pushes back
// by stiffness times the distance and damps that axis's velocity.
struct Box {
    Vec3 low{};
    Vec3 high{};
    Vec3 stiffness{};
    float damping = 0.0f;
};

// A solid ball (inside = false) pushes the end effector out while it is within `radius` of
// `center`; a hollow one (inside = true) pushes it back in while it is beyond. The push is
// along the radius, by stiffness times the depth, damped along the radius. At the very
// centre of a solid ball there is no direction out, and no force.
struct Sphere {
    Vec3 center{};
    float radius = 0.0f;
    Vec3 stiffness{};
    float damping = 0.0f;
    bool inside = false;
};

// A triangle mesh where `pose` puts it, felt through a proxy (MeshProxy): the end effector
// is held on the faces' front sides, never taken through one however fast or deep it goes,
// by stiffness (N/m) times the proxy's offset from it, damped (N·s/m) along that offset,
// with friction on the proxy: it sticks while the force along the surface is within
// static_friction times the force into it, and once it slips, slides until the force along
// is dynamic_friction times it (dynamic friction above static is taken as static). The
// proxy is a servo's (MeshProxies): the mesh has a force only from it, and none where it
// is not set.
struct Mesh {
    std::shared_ptr<const TriangleMesh> mesh;
    Pose pose{};
    float stiffness = 0.0f;
    float damping = 0.0f;
    float static_friction = 0.0f;
    float dynamic_friction = 0.0f;
};

Vec3 ForceOf(const ConstantForce& effect, const Vec3& position, const Vec3& velocity);
Vec3 ForceOf(const Spring& effect, const Vec3& position, const Vec3& velocity);
Vec3 ForceOf(const Damper& effect, const Vec3& position, const Vec3& velocity);
Vec3 ForceOf(const Plane& effect, const Vec3& position, const Vec3& velocity);
Vec3 ForceOf(const Box& effect, const Vec3& position, const Vec3& velocity);
Vec3 ForceOf(const Sphere& effect, const Vec3& position, const Vec3& velocity);

// One effect of any kind, held by value: fixed size, copied without allocating.
class Effect {
  public:
    enum class Kind : std::uint8_t {
        None,
        ConstantForce,
        Spring,
        Damper,
        Plane,
        Box,
        Sphere,
        Mesh,
    };

    Effect() = default;
    Effect(const ConstantForce& effect) : shape_(effect) {}
    Effect(const Spring& effect) : shape_(effect) {}
    Effect(const Damper& effect) : shape_(effect) {}
    Effect(const Plane& effect) : shape_(effect) {}
    Effect(const Box& effect) : shape_(effect) {}
    Effect(const Sphere& effect) : shape_(effect) {}
    Effect(const Mesh& effect) : shape_(effect) {}

    Kind kind() const { return static_cast<Kind>(shape_.index()); }
    // The effect's parameters when it is a T; null otherwise.
    template <typename T>
    const T* get() const {
        return std::get_if<T>(&shape_);
    }
    // Its force at `position` moving at `velocity`; zero for None, and for a Mesh, whose
    // force is its proxy's (EffectSet::force with MeshProxies).
    Vec3 force(const Vec3& position, const Vec3& velocity) const;

  private:
    // In the order of Kind.
    std::variant<std::monostate, ConstantForce, Spring, Damper, Plane, Box, Sphere, Mesh> shape_;
};

// The most effects a set holds.
constexpr std::size_t kMaxEffects = 16;

// The proxies of a set's meshes for one servo, one for each place in the set: a proxy lasts
// while the same mesh is in its place, whatever its pose, and starts afresh for another.
class MeshProxies {
  public:
    // The proxy of the mesh in place `index`.
    MeshProxy& at(std::size_t index, const TriangleMesh& mesh);
    const MeshProxy& at(std::size_t index) const { return proxies_[index]; }
    // Every proxy afresh.
    void reset();

  private:
    std::array<MeshProxy, kMaxEffects> proxies_{};
    std::array<std::uint64_t, kMaxEffects> meshes_{};  // TriangleMesh::id(); 0 for none
};

// Where a mesh's proxy is, in the arm's frame, and whether the surface holds it.
struct ProxyPlace {
    Vec3 position{};
    bool touching = false;
};

// Up to kCapacity effects, held in place; their force is the sum of theirs, summed in double
// and held within the float range as each one's is.
class EffectSet {
  public:
    static constexpr std::size_t kCapacity = kMaxEffects;

    EffectSet() = default;
    // False, adding nothing, when the set is full.
    bool add(const Effect& effect);
    void clear() { size_ = 0; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const Effect& operator[](std::size_t index) const { return effects_[index]; }
    const Effect* begin() const { return effects_.data(); }
    const Effect* end() const { return effects_.data() + size_; }

    Vec3 force(const Vec3& position, const Vec3& velocity) const;
    // The same, the meshes felt through their proxies, which move on to this period.
    Vec3 force(const Vec3& position, const Vec3& velocity, MeshProxies& proxies) const;
    // The proxy of the set's first mesh, as the last force with `proxies` left it; none
    // without a mesh.
    std::optional<ProxyPlace> first_proxy(const MeshProxies& proxies) const;

  private:
    std::array<Effect, kCapacity> effects_{};
    std::size_t size_ = 0;
};

// Whether `to` holds the same effects as `from`, in the same order (each ball on the same
// side of its surface, each mesh the same one), so that the one may glide into the other.
bool SameShape(const EffectSet& from, const EffectSet& to);
// Every number of `from` moved `share` (0 to 1) of the way to the one of `to`, a set of the
// same shape (SameShape), in double; `to` itself at 1. A plane's normal moves as a vector,
// so that one turned half round passes through no wall at all on the way; a mesh's rotation
// turns the shorter way round, at an even pace.
EffectSet Between(const EffectSet& from, const EffectSet& to, double share);

}  // namespace Brivane::HardwareAPI::Haptics
