// brivane.trace's native part: a trace file decoded by the tools' own decoder into the rows
// of its tables, which brivane.trace lays over numpy arrays.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "Decode.h"
#include "Table.h"
#include "native.h"

namespace Brivane::HardwareAPI::Package {

namespace py = pybind11;

namespace {

template <typename Row>
py::bytes Bytes(const std::vector<Row>& rows) {
    return py::bytes(reinterpret_cast<const char*>(rows.data()), rows.size() * sizeof(Row));
}

// (device, frames, exchanges, messages, counts, comments), or (None, line, what) for a file
// that is no trace: brivane.trace raises with them.
py::tuple ReadTrace(const std::string& path, const std::string& device) {
    Trace::Trace trace;
    Trace::Error error;
    Trace::Tables tables;
    std::vector<std::string> comments;
    bool read = false;
    {
        py::gil_scoped_release unlocked;
        read = Trace::ReadFile(path, trace, error);
        if (read) {
            const Trace::Device told = device == "arm"    ? Trace::Device::Arm
                                       : device == "grip" ? Trace::Device::Grip
                                                          : Trace::Device::Unknown;
            const Trace::Session session = Trace::Decode(trace, told);
            comments = std::move(trace.comments);
            trace = Trace::Trace{};  // freed before the rows are made
            tables = Trace::Tabulate(session);
        }
    }
    if (!read) return py::make_tuple(py::none(), error.line, error.what);
    py::dict counts;
    counts["junk_frames"] = tables.junk_frames;
    counts["junk_bytes"] = tables.junk_bytes;
    counts["unanswered"] = tables.unanswered;
    counts["unmatched"] = tables.unmatched;
    return py::make_tuple(Trace::DeviceName(tables.device), tables.frames, Bytes(tables.exchanges),
                          Bytes(tables.messages), counts, py::cast(comments));
}

}  // namespace

void RegisterTrace(py::module_& m) {
    m.def("read_trace", &ReadTrace, py::arg("path"), py::arg("device"));
    m.def("trace_layout", &Trace::LayoutJson);
}

}  // namespace Brivane::HardwareAPI::Package
