#include "Effects.h"

#include <cmath>

namespace Brivane::HardwareAPI::Haptics {

namespace {

float Dot(const Vec3& a, const Vec3& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// A push of `depth` along the unit `direction`, stiffness per axis, damped along it.
Vec3 Push(const Vec3& direction, float depth, const Vec3& stiffness, float damping,
          const Vec3& velocity) {
    const float along = Dot(velocity, direction);
    Vec3 force{};
    for (std::size_t i = 0; i < 3; ++i) {
        force[i] = stiffness[i] * depth * direction[i] - damping * along * direction[i];
    }
    return force;
}

}  // namespace

Vec3 ForceOf(const ConstantForce& effect, const Vec3&, const Vec3&) {
    return effect.force;
}

Vec3 ForceOf(const Spring& effect, const Vec3& position, const Vec3& velocity) {
    Vec3 force{};
    for (std::size_t i = 0; i < 3; ++i) {
        force[i] =
            effect.stiffness[i] * (effect.anchor[i] - position[i]) - effect.damping * velocity[i];
    }
    return force;
}

Vec3 ForceOf(const Damper& effect, const Vec3&, const Vec3& velocity) {
    return {-effect.damping * velocity[0], -effect.damping * velocity[1],
            -effect.damping * velocity[2]};
}

Vec3 ForceOf(const Plane& effect, const Vec3& position, const Vec3& velocity) {
    const float length = std::sqrt(Dot(effect.normal, effect.normal));
    if (!(length > 0.0f)) return {};
    const Vec3 normal{effect.normal[0] / length, effect.normal[1] / length,
                      effect.normal[2] / length};
    const Vec3 offset{position[0] - effect.point[0], position[1] - effect.point[1],
                      position[2] - effect.point[2]};
    const float height = Dot(offset, normal);
    if (!(height < 0.0f)) return {};
    return Push(normal, -height, effect.stiffness, effect.damping, velocity);
}

Vec3 ForceOf(const Box& effect, const Vec3& position, const Vec3& velocity) {
    Vec3 force{};
    for (std::size_t i = 0; i < 3; ++i) {
        float past = 0.0f;  // towards the inside
        if (position[i] < effect.low[i]) {
            past = effect.low[i] - position[i];
        } else if (position[i] > effect.high[i]) {
            past = effect.high[i] - position[i];
        } else {
            continue;
        }
        force[i] = effect.stiffness[i] * past - effect.damping * velocity[i];
    }
    return force;
}

Vec3 ForceOf(const Sphere& effect, const Vec3& position, const Vec3& velocity) {
    const Vec3 offset{position[0] - effect.center[0], position[1] - effect.center[1],
                      position[2] - effect.center[2]};
    const float distance = std::sqrt(Dot(offset, offset));
    if (!(distance > 0.0f)) return {};
    const Vec3 outward{offset[0] / distance, offset[1] / distance, offset[2] / distance};
    if (!effect.inside && distance < effect.radius) {
        return Push(outward, effect.radius - distance, effect.stiffness, effect.damping, velocity);
    }
    if (effect.inside && distance > effect.radius) {
        const Vec3 inward{-outward[0], -outward[1], -outward[2]};
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
    }
    return {};
}

bool EffectSet::add(const Effect& effect) {
    if (size_ == kCapacity) return false;
    effects_[size_++] = effect;
    return true;
}

Vec3 EffectSet::force(const Vec3& position, const Vec3& velocity) const {
    Vec3 total{};
    for (const Effect& effect : *this) {
        const Vec3 force = effect.force(position, velocity);
        for (std::size_t i = 0; i < 3; ++i) total[i] += force[i];
    }
    return total;
}

}  // namespace Brivane::HardwareAPI::Haptics
