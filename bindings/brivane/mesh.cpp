// brivane._brivane.TriangleMesh: a mesh built once, in its bounding-box tree, and shared by
// every Mesh effect made from it (brivane.Mesh and its poses) and every servo rendering one.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mesh.h"
#include "native.h"

namespace Brivane::HardwareAPI::Package {

namespace py = pybind11;
namespace H = Haptics;

namespace {

// The rows of a C-contiguous buffer of `count` x 3 items of T, as brivane.Mesh hands them.
template <typename T>
const T* Rows(const py::buffer& buffer, const char* name, std::size_t& count) {
    const py::buffer_info info = buffer.request();
    if (info.ndim != 2 || info.shape[1] != 3 || info.itemsize != sizeof(T) ||
        info.strides[1] != static_cast<py::ssize_t>(sizeof(T)) ||
        info.strides[0] != static_cast<py::ssize_t>(3 * sizeof(T))) {
        throw py::value_error(std::string(name) + " must be a C-contiguous N x 3 array of " +
                              std::to_string(sizeof(T)) + "-byte items");
    }
    count = static_cast<std::size_t>(info.shape[0]);
    return static_cast<const T*>(info.ptr);
}

std::shared_ptr<NativeMesh> Build(const py::buffer& vertex_rows, const py::buffer& triangle_rows) {
    std::size_t vertex_count = 0;
    std::size_t triangle_count = 0;
    const double* points = Rows<double>(vertex_rows, "vertices", vertex_count);
    const std::int64_t* corners = Rows<std::int64_t>(triangle_rows, "triangles", triangle_count);
    std::vector<H::Point3> vertices(vertex_count);
    for (std::size_t i = 0; i < vertex_count; ++i) {
        vertices[i] = {points[3 * i], points[3 * i + 1], points[3 * i + 2]};
    }
    std::vector<H::MeshTriangle> triangles(triangle_count);
    for (std::size_t i = 0; i < triangle_count; ++i) {
        for (std::size_t corner = 0; corner < 3; ++corner) {
            const std::int64_t index = corners[3 * i + corner];
            // One no 32-bit index can hold; the build itself names the others out of range.
            if (index < 0 || index > 0xFFFFFFFF) {
                throw py::value_error("triangle " + std::to_string(i) + " corner " +
                                      std::to_string(corner) + ": index " + std::to_string(index) +
                                      " is out of range (" + std::to_string(vertex_count) +
                                      " vertices)");
            }
            triangles[i][corner] = static_cast<std::uint32_t>(index);
        }
    }
    H::MeshBuild built;
    {
        // A million triangles take a good part of a second: other threads go on meanwhile.
        py::gil_scoped_release unlocked;
        built = H::TriangleMesh::Build(std::move(vertices), std::move(triangles));
    }
    if (!built.ok()) throw py::value_error(built.error);
    return std::make_shared<NativeMesh>(NativeMesh{std::move(built.mesh)});
}

}  // namespace

void RegisterMesh(py::module_& m) {
    py::class_<NativeMesh, std::shared_ptr<NativeMesh>> mesh(m, "TriangleMesh");
    mesh.def(py::init(&Build));
    mesh.def_property_readonly("vertex_count",
                               [](const NativeMesh& self) { return self.mesh->vertex_count(); });
    mesh.def_property_readonly("triangle_count",
                               [](const NativeMesh& self) { return self.mesh->triangle_count(); });
    mesh.def_property_readonly("bytes", [](const NativeMesh& self) { return self.mesh->bytes(); });
}

}  // namespace Brivane::HardwareAPI::Package
