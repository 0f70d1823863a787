#include "Effects.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Brivane::HardwareAPI::Haptics {

namespace {

// The effects compute in double, where no product or sum of floats overflows or underflows,
// and hand back a float force: one beyond the float range is scaled into it along its own
// direction, since an infinite part would make the servo drop the whole force.
using Vec3d = std::array<double, 3>;

Vec3d Wide(const Vec3& v) {
    return {v[0], v[1], v[2]};
}

Vec3d Minus(const Vec3& a, const Vec3& b) {
    return {static_cast<double>(a[0]) - b[0], static_cast<double>(a[1]) - b[1],
            static_cast<double>(a[2]) - b[2]};
}

double Dot(const Vec3d& a, const Vec3d& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

bool Finite(const Vec3d& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

double Largest(const Vec3d& v) {
    return std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
}

// `v` made of unit length, scaled by its largest part first so that nothing overflows or
// underflows on the way; false for one of no direction (zero, or not finite).
bool Unit(const Vec3d& v, Vec3d& unit) {
    const double largest = Largest(v);
    if (!Finite(v) || !(largest > 0.0)) return false;
    const Vec3d scaled{v[0] / largest, v[1] / largest, v[2] / largest};
    const double length = std::sqrt(Dot(scaled, scaled));
    unit = {scaled[0] / length, scaled[1] / length, scaled[2] / length};
    return true;
}

Vec3 Narrow(const Vec3d& force) {
    // Not finite only from parameters or a state that are not: left so, and the servo
    // commands nothing.
    if (!Finite(force)) {
        return {static_cast<float>(force[0]), static_cast<float>(force[1]),
                static_cast<float>(force[2])};
    }
    constexpr double kMost = std::numeric_limits<float>::max();
    const double largest = Largest(force);
    const double scale = largest > kMost ? kMost / largest : 1.0;
    Vec3 narrow{};
    // Clamped too: the scaled largest part may round a hair past the float range.
    for (std::size_t i = 0; i < 3; ++i) {
        narrow[i] = static_cast<float>(std::clamp(force[i] * scale, -kMost, kMost));
    }
    return narrow;
}

// A push of `depth` along the unit `direction`, stiffness per axis, damped along it.
Vec3 Push(const Vec3d& direction, double depth, const Vec3& stiffness, float damping,
          const Vec3& velocity) {
    const double along = Dot(Wide(velocity), direction);
    Vec3d force{};
    for (std::size_t i = 0; i < 3; ++i) {
        force[i] = stiffness[i] * depth * direction[i] - damping * along * direction[i];
    }
    return Narrow(force);
}

}  // namespace

Vec3 ForceOf(const ConstantForce& effect, const Vec3&, const Vec3&) {
    return effect.force;
}

Vec3 ForceOf(const Spring& effect, const Vec3& position, const Vec3& velocity) {
    const Vec3d offset = Minus(effect.anchor, position);
    Vec3d force{};
    for (std::size_t i = 0; i < 3; ++i) {
        force[i] =
            effect.stiffness[i] * offset[i] - static_cast<double>(effect.damping) * velocity[i];
    }
    return Narrow(force);
}

Vec3 ForceOf(const Damper& effect, const Vec3&, const Vec3& velocity) {
    const double damping = effect.damping;
    return Narrow({-damping * velocity[0], -damping * velocity[1], -damping * velocity[2]});
}

Vec3 ForceOf(const Plane& effect, const Vec3& position, const Vec3& velocity) {
    Vec3d normal{};
    if (!Unit(Wide(effect.normal), normal)) return {};
    const double height = Dot(Minus(position, effect.point), normal);
    if (!(height < 0.0)) return {};
    return Push(normal, -height, effect.stiffness, effect.damping, velocity);
}

Vec3 ForceOf(const Box& effect, const Vec3& position, const Vec3& velocity) {
    Vec3d force{};
    for (std::size_t i = 0; i < 3; ++i) {
        double past = 0.0;  // towards the inside
        if (position[i] < effect.low[i]) {
            past = static_cast<double>(effect.low[i]) - position[i];
        } else if (position[i] > effect.high[i]) {
            past = static_cast<double>(effect.high[i]) - position[i];
        } else {
            continue;
        }
        force[i] = effect.stiffness[i] * past - static_cast<double>(effect.damping) * velocity[i];
    }
    return Narrow(force);
}

Vec3 ForceOf(const Sphere& effect, const Vec3& position, const Vec3& velocity) {
    const Vec3d offset = Minus(position, effect.center);
    const double distance = std::sqrt(Dot(offset, offset));
    if (!(distance > 0.0)) return {};
    const Vec3d outward{offset[0] / distance, offset[1] / distance, offset[2] / distance};
    if (!effect.inside && distance < effect.radius) {
        return Push(outward, effect.radius - distance, effect.stiffness, effect.damping, velocity);
    }
    if (effect.inside && distance > effect.radius) {
        const Vec3d inward{-outward[0], -outward[1], -outward[2]};
        return Push(inward, distance - effect.radius, effect.stiffness, effect.damping, velocity);
    }
    return {};
}

Vec3 Effect::force(const Vec3& position, const Vec3& velocity) const {
    // By index rather than std::visit, which may throw.
    switch (kind()) {
        case Kind::None:
            return {};
        case Kind::ConstantForce:
            return ForceOf(*std::get_if<ConstantForce>(&shape_), position, velocity);
        case Kind::Spring:
            return ForceOf(*std::get_if<Spring>(&shape_), position, velocity);
        case Kind::Damper:
            return ForceOf(*std::get_if<Damper>(&shape_), position, velocity);
        case Kind::Plane:
            return ForceOf(*std::get_if<Plane>(&shape_), position, velocity);
        case Kind::Box:
            return ForceOf(*std::get_if<Box>(&shape_), position, velocity);
        case Kind::Sphere:
            return ForceOf(*std::get_if<Sphere>(&shape_), position, velocity);
        case Kind::Mesh:
            return {};
    }
    return {};
}

MeshProxy& MeshProxies::at(std::size_t index, const TriangleMesh& mesh) {
    if (meshes_[index] != mesh.id()) {
        meshes_[index] = mesh.id();
        proxies_[index].reset();
    }
    return proxies_[index];
}

void MeshProxies::reset() {
    for (MeshProxy& proxy : proxies_) proxy.reset();
    meshes_.fill(0);
}

bool EffectSet::add(const Effect& effect) {
    if (size_ == kCapacity) return false;
    effects_[size_++] = effect;
    return true;
}

Vec3 EffectSet::force(const Vec3& position, const Vec3& velocity) const {
    Vec3d total{};
    for (const Effect& effect : *this) {
        const Vec3 force = effect.force(position, velocity);
        for (std::size_t i = 0; i < 3; ++i) total[i] += force[i];
    }
    return Narrow(total);
}

Vec3 EffectSet::force(const Vec3& position, const Vec3& velocity, MeshProxies& proxies) const {
    Vec3d total{};
    for (std::size_t index = 0; index < size_; ++index) {
        const Mesh* mesh = effects_[index].get<Mesh>();
        const Vec3 force =
            mesh == nullptr ? effects_[index].force(position, velocity)
            : mesh->mesh == nullptr
                ? Vec3{}
                : proxies.at(index, *mesh->mesh)
                      .update(*mesh->mesh, mesh->pose, position, velocity, mesh->stiffness,
                              mesh->damping, mesh->static_friction, mesh->dynamic_friction);
        for (std::size_t i = 0; i < 3; ++i) total[i] += force[i];
    }
    return Narrow(total);
}

std::optional<ProxyPlace> EffectSet::first_proxy(const MeshProxies& proxies) const {
    for (std::size_t index = 0; index < size_; ++index) {
        const Mesh* mesh = effects_[index].get<Mesh>();
        if (mesh == nullptr || mesh->mesh == nullptr) continue;
        const MeshProxy& proxy = proxies.at(index);
        const Point3 where = InArmFrame(mesh->pose, proxy.proxy());
        return ProxyPlace{{static_cast<float>(where[0]), static_cast<float>(where[1]),
                           static_cast<float>(where[2])},
                          proxy.in_contact()};
    }
    return std::nullopt;
}

namespace {

float Toward(float from, float to, double share) {
    return static_cast<float>(from + (static_cast<double>(to) - from) * share);
}

Vec3 Toward(const Vec3& from, const Vec3& to, double share) {
    return {Toward(from[0], to[0], share), Toward(from[1], to[1], share),
            Toward(from[2], to[2], share)};
}

ConstantForce Toward(const ConstantForce& from, const ConstantForce& to, double share) {
    return {Toward(from.force, to.force, share)};
}
Spring Toward(const Spring& from, const Spring& to, double share) {
    return {Toward(from.anchor, to.anchor, share), Toward(from.stiffness, to.stiffness, share),
            Toward(from.damping, to.damping, share)};
}
Damper Toward(const Damper& from, const Damper& to, double share) {
    return {Toward(from.damping, to.damping, share)};
}
Plane Toward(const Plane& from, const Plane& to, double share) {
    return {Toward(from.point, to.point, share), Toward(from.normal, to.normal, share),
            Toward(from.stiffness, to.stiffness, share), Toward(from.damping, to.damping, share)};
}
Box Toward(const Box& from, const Box& to, double share) {
    return {Toward(from.low, to.low, share), Toward(from.high, to.high, share),
            Toward(from.stiffness, to.stiffness, share), Toward(from.damping, to.damping, share)};
}
Sphere Toward(const Sphere& from, const Sphere& to, double share) {
    return {Toward(from.center, to.center, share), Toward(from.radius, to.radius, share),
            Toward(from.stiffness, to.stiffness, share), Toward(from.damping, to.damping, share),
            to.inside};
}

// The shorter way round from one rotation to the other, at an even pace (slerp); either
// made of unit length first, as the proxy takes them.
std::array<double, 4> Toward(std::array<double, 4> from, std::array<double, 4> to, double share) {
    const auto unit = [](std::array<double, 4>& q) {
        const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
        if (!(length > 0.0) || !std::isfinite(length)) {
            q = {1.0, 0.0, 0.0, 0.0};
        } else {
            for (double& part : q) part /= length;
        }
    };
    unit(from);
    unit(to);
    double cosine = from[0] * to[0] + from[1] * to[1] + from[2] * to[2] + from[3] * to[3];
    if (cosine < 0.0) {  // q and -q are one rotation: turn towards the nearer
        for (double& part : to) part = -part;
        cosine = -cosine;
    }
    double a = 1.0 - share;
    double b = share;
    if (cosine < 0.9995) {  // else nearly one rotation, where the straight line is as good
        const double angle = std::acos(std::min(cosine, 1.0));
        a = std::sin((1.0 - share) * angle) / std::sin(angle);
        b = std::sin(share * angle) / std::sin(angle);
    }
    std::array<double, 4> between{};
    for (std::size_t i = 0; i < 4; ++i) between[i] = a * from[i] + b * to[i];
    unit(between);
    return between;
}

Mesh Toward(const Mesh& from, const Mesh& to, double share) {
    Mesh between = to;
    for (std::size_t i = 0; i < 3; ++i) {
        between.pose.position[i] =
            from.pose.position[i] + (to.pose.position[i] - from.pose.position[i]) * share;
    }
    between.pose.rotation = Toward(from.pose.rotation, to.pose.rotation, share);
    between.stiffness = Toward(from.stiffness, to.stiffness, share);
    between.damping = Toward(from.damping, to.damping, share);
    between.static_friction = Toward(from.static_friction, to.static_friction, share);
    between.dynamic_friction = Toward(from.dynamic_friction, to.dynamic_friction, share);
    return between;
}

template <typename T>
Effect TowardAs(const Effect& from, const Effect& to, double share) {
    return Effect(Toward(*from.get<T>(), *to.get<T>(), share));
}

}  // namespace

bool SameShape(const EffectSet& from, const EffectSet& to) {
    if (from.size() != to.size()) return false;
    for (std::size_t i = 0; i < from.size(); ++i) {
        if (from[i].kind() != to[i].kind()) return false;
        const Sphere* ball = from[i].get<Sphere>();
        if (ball != nullptr && ball->inside != to[i].get<Sphere>()->inside) return false;
        const Mesh* mesh = from[i].get<Mesh>();
        if (mesh != nullptr && mesh->mesh != to[i].get<Mesh>()->mesh) return false;
    }
    return true;
}

EffectSet Between(const EffectSet& from, const EffectSet& to, double share) {
    if (!(share < 1.0) || !SameShape(from, to)) return to;
    share = std::max(share, 0.0);
    EffectSet between;
    for (std::size_t i = 0; i < from.size(); ++i) {
        using Kind = Effect::Kind;
        switch (from[i].kind()) {
            case Kind::None:
                between.add(Effect());
                break;
            case Kind::ConstantForce:
                between.add(TowardAs<ConstantForce>(from[i], to[i], share));
                break;
            case Kind::Spring:
                between.add(TowardAs<Spring>(from[i], to[i], share));
                break;
            case Kind::Damper:
                between.add(TowardAs<Damper>(from[i], to[i], share));
                break;
            case Kind::Plane:
                between.add(TowardAs<Plane>(from[i], to[i], share));
                break;
            case Kind::Box:
                between.add(TowardAs<Box>(from[i], to[i], share));
                break;
            case Kind::Sphere:
                between.add(TowardAs<Sphere>(from[i], to[i], share));
                break;
            case Kind::Mesh:
                between.add(TowardAs<Mesh>(from[i], to[i], share));
                break;
        }
    }
    return between;
}

}  // namespace Brivane::HardwareAPI::Haptics
