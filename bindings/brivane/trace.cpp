// brivane.trace's native part: a trace file decoded by the tools' own decoder into the rows
// of its tables, which brivane.trace lays over numpy arrays.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Decode.h"
#include "Follow.h"
#include "Table.h"
#include "native.h"

namespace Brivane::HardwareAPI::Package {

namespace py = pybind11;

namespace {

// A table's rows where the decoder made them, read by numpy through the buffer protocol
// without a copy.
template <typename Row>
struct Rows {
    std::vector<Row> rows;
};

template <typename Row>
void RegisterRows(py::module_& m, const char* name) {
    py::class_<Rows<Row>>(m, name, py::buffer_protocol()).def_buffer([](Rows<Row>& table) {
        // An empty table's data() may be null, which no buffer may be.
        void* rows = table.rows.empty() ? static_cast<void*>(&table) : table.rows.data();
        return py::buffer_info(rows, 1, py::format_descriptor<std::uint8_t>::format(), 1,
                               {table.rows.size() * sizeof(Row)}, {1}, true);
    });
}

template <typename Row>
py::object Bytes(std::vector<Row>& rows) {
    return py::cast(Rows<Row>{std::move(rows)});
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
    RegisterRows<Trace::ExchangeRow>(m, "_ExchangeRows");
    RegisterRows<Trace::MessageRow>(m, "_MessageRows");
    m.def("read_trace", &ReadTrace, py::arg("path"), py::arg("device"));
    m.def("trace_layout", &Trace::LayoutJson);
    // The file a running proxy writes for a target, or None.
    m.def("trace_being_written", [](const std::string& target) -> py::object {
        const Trace::Writing writing = Trace::BeingWritten(target);
        if (writing.path.empty()) return py::none();
        return py::str(writing.path);
    });
}

}  // namespace Brivane::HardwareAPI::Package
