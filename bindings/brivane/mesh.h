// A built mesh as the package holds it: shared by its Mesh effects and the servos.
#pragma once

#include <memory>

#include "servo/Mesh.h"

namespace Brivane::HardwareAPI::Package {

struct NativeMesh {
    std::shared_ptr<const Haptics::TriangleMesh> mesh;
};

}  // namespace Brivane::HardwareAPI::Package
