// The trace reader, and the decoder and its tables over whatever it accepts, for both
// devices.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "Decode.h"
#include "Table.h"

using namespace Brivane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Trace::Trace trace;
    Trace::Error error;
    if (!Trace::Parse(reinterpret_cast<const char*>(data), size, trace, error)) {
        if (error.line == 0 || error.what.empty()) __builtin_trap();
        return 0;
    }
    for (const Trace::Device device : {Trace::Device::Arm, Trace::Device::Grip}) {
        const Trace::Session session = Trace::Decode(trace, device);
        std::size_t bytes = 0;
        for (const Trace::Frame& frame : session.frames) {
            if (Trace::Describe(session, frame).empty() || Trace::Name(session, frame).empty()) {
                __builtin_trap();
            }
            bytes += frame.length;
        }
        // Every byte of the trace is in one frame.
        if (bytes != session.to_device.size() + session.from_device.size()) __builtin_trap();

        // A row for each request, and for each of a grip's messages.
        const Trace::Tables tables = Trace::Tabulate(session);
        std::size_t requests = 0, received = 0;
        for (const Trace::Frame& frame : session.frames) {
            requests += frame.kind == Trace::Kind::Request;
            received += frame.kind == Trace::Kind::Answer || frame.kind == Trace::Kind::Message;
        }
        if (tables.exchanges.size() != requests ||
            tables.messages.size() != (device == Trace::Device::Grip ? received : 0)) {
            __builtin_trap();
        }
        static std::FILE* const none = std::fopen("/dev/null", "w");
        if (none != nullptr && !Trace::WriteCsv(tables, none)) __builtin_trap();
    }
    return 0;
}
