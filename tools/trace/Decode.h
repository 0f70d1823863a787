#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Trace.h"

// A trace cut into the devices' frames, with each answer matched to its request. The frames
// come from the library's message tables (KalvarMessages, HandleMessages).
namespace Brivane::Trace {

enum class Device { Unknown, Arm, Grip };

enum class Kind : std::uint8_t {
    Junk,     // bytes that start no frame of the device, or a frame the trace cuts short
    Request,  // to the device
    Answer,   // from the device, in answer to a request
    Message,  // from the device on its own (the grip's stream), or an answer nobody asked for
};

struct Frame {
    Direction direction = Direction::ToDevice;
    Kind kind = Kind::Junk;
    std::uint8_t code = 0;
    bool timed_out = false;  // a request that expected an answer and got none
    std::size_t offset = 0;  // into the stream of its direction
    std::size_t length = 0;
    std::size_t chunk = 0;       // the chunk that holds its first byte
    std::size_t last_chunk = 0;  // and its last
    std::uint64_t time_us = 0;   // of its first chunk
    // A request: the frame that answered it, or -1; an answer: the request.
    long partner = -1;
    std::uint64_t answer_us = 0;  // an answer: from its request's last chunk to its first
};

struct Session {
    Device device = Device::Unknown;
    std::vector<std::uint8_t> to_device;  // the bytes of each direction, in order
    std::vector<std::uint8_t> from_device;
    std::vector<Frame> frames;  // in the order they went over the line

    const std::uint8_t* Data(const Frame& frame) const {
        return (frame.direction == Direction::ToDevice ? to_device : from_device).data() +
               frame.offset;
    }
};

// Which device a trace is of, by the first bytes that only one of them sends; Arm when none.
Device Guess(const Trace& trace);
const char* DeviceName(Device device);

Session Decode(const Trace& trace, Device device = Device::Unknown);

// What the frame is: the module method that sends such a request with its arguments, an
// answer's or message's fields, or the junk's bytes.
std::string Describe(const Session& session, const Frame& frame);
// A short name for counting: the method, or the answer's name.
std::string Name(const Session& session, const Frame& frame);
// An arm answer with the end effector's position: true and the position.
bool ArmPosition(const Session& session, const Frame& frame, float (&position)[3]);

std::string Hex(const std::uint8_t* data, std::size_t n);

}  // namespace Brivane::Trace
