// Module entry: the registration order and the version functions.
#include <pybind11/pybind11.h>

#include "base/Version.h"
#include "conversions.h"
#include "registration.h"

namespace py = pybind11;

PYBIND11_MODULE(BrivaneHardwareAPI, m) {
    m.doc() = "Python Implementation of the Brivane Hardware API";
    RegisterClasses(m);
    m.def(
        "get_cpp_version", [] { return std::string(Brivane::HardwareAPI::GetLibraryVersion()); },
        "Get the version of the CPP library");
    m.def(
        "print_cpp_version", [] { Brivane::HardwareAPI::PrintLibraryVersion(); },
        "Print the version of the CPP library");
    RegisterDetection(m);
    // detect_* functions, then Kalvar, then Handle
    RegisterKalvar(m);
    RegisterHandle(m);
    m.attr("__version__") = "dev";
}
