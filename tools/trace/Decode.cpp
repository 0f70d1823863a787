#include "Decode.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "devices/HandleMessages.h"
#include "devices/KalvarMessages.h"

namespace Brivane::Trace {

namespace {

namespace Arm = HardwareAPI::Devices::KalvarMessages;
namespace Grip = HardwareAPI::Devices::HandleMessages;
constexpr std::uint8_t kNoAnswer = HardwareAPI::Devices::kNoAnswer.code;

using Arm::FindAnswer;
using Arm::FindExchange;

// The whole length of the frame at `at` (n bytes left): 0 when it starts none, -1 when the
// stream ends inside it.
long FrameLength(Device device, Direction direction, const std::uint8_t* at, std::size_t n) {
    const auto fixed = [&](std::size_t length) -> long {
        return length <= n ? static_cast<long>(length) : -1;
    };
    if (device == Device::Arm) {
        if (direction == Direction::ToDevice) {
            const Arm::Exchange* exchange = FindExchange(at[0]);
            return exchange ? fixed(1u + exchange->request.length) : 0;
        }
        const Arm::Answer* answer = FindAnswer(at[0]);
        return answer ? fixed(1u + answer->frame.length) : 0;
    }
    if (direction == Direction::ToDevice) {
        const Grip::Exchange* exchange = Grip::FindExchange(at[0]);
        if (exchange == nullptr) return 0;
        if (exchange->request.code != Grip::kHandleState.code)
            return fixed(1u + exchange->request.length);
        if (n < 1u + Grip::kHandleState.length) return -1;
        return fixed(1u + Grip::kHandleState.length +
                     Grip::UserDataLength(Grip::kHandleState, at + 1));
    }
    const Grip::Answer* answer = Grip::FindAnswer(at[0]);
    if (answer == nullptr) return 0;
    if (answer->frame.code != Grip::kStatus.code) return fixed(1u + answer->frame.length);
    // The stuffed block when the bytes make one, else the fixed form with its user data.
    std::uint8_t block[Grip::kBlockLength];
    const long stuffed = Grip::UnstuffStatusBlock(at + 1, n - 1, block);
    if (stuffed > 0 && at[stuffed] == Grip::kSlipEnd) return 1 + stuffed;
    if (n < 1u + Grip::kStatus.length) return -1;
    return fixed(1u + Grip::kStatus.length + Grip::UserDataLength(Grip::kStatus, at + 1));
}

bool IsStuffedStatus(const Frame& frame, const std::uint8_t* at) {
    if (frame.code != Grip::kStatus.code || frame.direction != Direction::FromDevice) {
        return false;
    }
    std::uint8_t block[Grip::kBlockLength];
    const long stuffed = Grip::UnstuffStatusBlock(at + 1, frame.length - 1, block);
    return stuffed > 0 && static_cast<std::size_t>(stuffed) + 1 == frame.length &&
           at[stuffed] == Grip::kSlipEnd;
}

// Cuts the bytes of one direction into frames; consecutive junk bytes make one frame.
void Cut(const Trace& trace, Device device, Direction direction, Session& session,
         std::vector<Frame>& frames) {
    std::vector<std::uint8_t>& stream =
        direction == Direction::ToDevice ? session.to_device : session.from_device;
    std::vector<std::size_t> chunk_of;  // the first byte of each chunk, and its index
    std::vector<std::size_t> starts;
    std::size_t chunks = 0, bytes = 0;
    for (const Chunk& chunk : trace.chunks) {
        if (chunk.direction != direction) continue;
        ++chunks;
        bytes += chunk.length;
    }
    stream.reserve(bytes);
    chunk_of.reserve(chunks);
    starts.reserve(chunks);
    for (std::size_t i = 0; i < trace.chunks.size(); ++i) {
        const Chunk& chunk = trace.chunks[i];
        if (chunk.direction != direction) continue;
        starts.push_back(stream.size());
        chunk_of.push_back(i);
        stream.insert(stream.end(), trace.Data(chunk), trace.Data(chunk) + chunk.length);
    }
    std::size_t c = 0;  // the chunk of `at`
    const auto chunk_at = [&](std::size_t offset) {
        while (c + 1 < starts.size() && starts[c + 1] <= offset) ++c;
        return c;
    };
    std::size_t at = 0;
    while (at < stream.size()) {
        const long length = FrameLength(device, direction, stream.data() + at, stream.size() - at);
        Frame frame;
        frame.direction = direction;
        frame.offset = at;
        frame.code = stream[at];
        if (length > 0) {
            frame.kind = direction == Direction::ToDevice ? Kind::Request : Kind::Message;
            frame.length = static_cast<std::size_t>(length);
        } else if (length < 0) {
            frame.length = stream.size() - at;  // cut short by the end of the trace
        } else {
            std::size_t end = at + 1;
            while (end < stream.size() &&
                   FrameLength(device, direction, stream.data() + end, stream.size() - end) == 0) {
                ++end;
            }
            frame.length = end - at;
        }
        const std::size_t first = chunk_at(at);
        frame.chunk = chunk_of[first];
        frame.time_us = trace.chunks[frame.chunk].time_us;
        frame.last_chunk = chunk_of[chunk_at(at + frame.length - 1)];
        c = first;
        frames.push_back(frame);
        at += frame.length;
    }
}

// The answer code a request waits for, kNoAnswer for none.
std::uint8_t ExpectedAnswer(Device device, const Frame& request) {
    const HardwareAPI::Devices::Exchange* known =
        device == Device::Arm ? FindExchange(request.code) : Grip::FindExchange(request.code);
    return known ? known->answer.code : kNoAnswer;
}

template <std::size_t N>
std::string Floats(const std::array<float, N>& values, const char* format = "%+.4f") {
    std::string text = "[";
    for (std::size_t i = 0; i < N; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, format, static_cast<double>(values[i]));
        if (i) text += ", ";
        text += number;
    }
    return text + "]";
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    return text;
}

std::string DescribeArm(const Frame& frame, const std::uint8_t* at) {
    const std::uint8_t* payload = at + 1;
    if (frame.direction == Direction::ToDevice) {
        const Arm::Exchange* request = FindExchange(frame.code);
        if (frame.code == Arm::kIdentifierRequest.code) {
            const auto query = Arm::Decode<Arm::IdentifierQuery>(payload);
            if (query.sub_code == Arm::kDeviceIdentifier) return "get_device_id";
            if (query.sub_code == Arm::kFirmwareIdentifier) return "get_firmware_version";
            return Printf("identifier request 0x%02x", query.sub_code);
        }
        if (request->request.length == 12)
            return std::string(request->method) + " " +
                   Floats(Arm::Decode<Arm::Vector>(payload).values);
        return request->method;
    }
    const Arm::Answer* answer = FindAnswer(frame.code);
    const std::string name = answer->name;
    switch (frame.code) {
        case Arm::kDeviceInfo.code: {
            const auto info = Arm::Decode<HardwareAPI::DeviceInfo>(payload);
            return name +
                   Printf(" device_id %u, model %u, hardware %u, firmware %u, id ", info.device_id,
                          info.device_model_number, info.hardware_version, info.firmware_version) +
                   Hex(info.device_id_ext.bytes.data(), info.device_id_ext.bytes.size());
        }
        case Arm::kOrientation.code:
            return name + " " + Floats(Arm::Decode<Arm::Orientation>(payload).quaternion);
        case Arm::kIdentifier.code: {
            const auto identifier = Arm::Decode<Arm::Identifier>(payload);
            return name + Printf(" 0x%02x, ", identifier.sub_code) +
                   Hex(identifier.bytes.data(), identifier.bytes.size());
        }
        case Arm::kJointState.code: {
            const auto state = Arm::Decode<Arm::State>(payload);
            return name + " angles " + Floats(state.first, "%+.3f") + " velocities " +
                   Floats(state.second, "%+.3f");
        }
        case Arm::kEndEffectorState.code: {
            const auto state = Arm::Decode<Arm::State>(payload);
            return name + " position " + Floats(state.first, "%+.6f") + " velocity " +
                   Floats(state.second, "%+.6f");
        }
        case Arm::kTemperature.code:
            return name + Printf(" %.2f", static_cast<double>(
                                              Arm::Decode<Arm::Temperature>(payload).degrees));
        case Arm::kCurrent.code:
            return name + " " + Floats(Arm::Decode<Arm::Vector>(payload).values);
        default:
            return name + Printf(" %u", Arm::Decode<Arm::PowerStatus>(payload).powered);
    }
}

std::string DescribeGrip(const Frame& frame, const std::uint8_t* at) {
    const std::uint8_t* payload = at + 1;
    if (frame.direction == Direction::ToDevice) {
        if (frame.code != Grip::kHandleState.code) return Grip::FindExchange(frame.code)->method;
        const auto state = Grip::Decode<HardwareAPI::Devices::HandleState>(payload);
        return Printf("SendHandleState device_id %u, data ", state.device_id) +
               (state.user_data_length ? Hex(state.user_data, state.user_data_length) : "none");
    }
    if (frame.code == Grip::kInfo.code) {
        const auto info = Grip::Decode<HardwareAPI::Devices::HandleInfoResponse>(payload);
        return Printf(
            "handle info device_id %u, tool_data_remaining %u, model %u, hardware %u, "
            "firmware %u",
            info.device_id, info.tool_data_remaining, info.device_model_number,
            info.hardware_version, info.firmware_version);
    }
    if (frame.code == Grip::kError.code) {
        const auto error = Grip::Decode<HardwareAPI::Devices::HandleErrorResponse>(payload);
        const char* what = error.error_code == Grip::kUnknownDevice    ? " (unknown device)"
                           : error.error_code == Grip::kUnknownCommand ? " (unknown command)"
                                                                       : "";
        return Printf("error device_id %u, code %u%s", error.device_id, error.error_code, what);
    }
    if (IsStuffedStatus(frame, at)) {
        std::uint8_t block[Grip::kBlockLength];
        Grip::UnstuffStatusBlock(at + 1, frame.length - 1, block);
        const auto status = Grip::Decode<HardwareAPI::Devices::StavrinStatus>(block);
        return Printf(
            "status block device_id %u, error_flag %u, hall %u, buttons %u, quaternion "
            "[%+.4f, %+.4f, %+.4f, %+.4f], battery %.3f V",
            status.device_id, status.error_flag, status.hall_effect_sensor_level, status.buttons,
            static_cast<double>(status.quaternion[0]), static_cast<double>(status.quaternion[1]),
            static_cast<double>(status.quaternion[2]), static_cast<double>(status.quaternion[3]),
            static_cast<double>(status.battery_level));
    }
    const auto status = Grip::Decode<HardwareAPI::Devices::HandleStatusMessage>(payload);
    std::array<float, 4> quaternion;
    std::copy(std::begin(status.quaternion), std::end(status.quaternion), quaternion.begin());
    return Printf("status device_id %u, error_flag %u, hall %u, quaternion ", status.device_id,
                  status.error_flag, status.hall_effect_sensor_level) +
           Floats(quaternion) + ", user data " +
           (status.user_data_length ? Hex(status.user_data, status.user_data_length) : "none");
}

}  // namespace

std::string Hex(const std::uint8_t* data, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i) text += ' ';
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
    }
    return text;
}

Device Guess(const Trace& trace) {
    for (const Direction direction : {Direction::FromDevice, Direction::ToDevice}) {
        for (const Chunk& chunk : trace.chunks) {
            if (chunk.direction != direction) continue;
            const std::uint8_t code = trace.Data(chunk)[0];
            const bool arm = direction == Direction::ToDevice ? FindExchange(code) != nullptr
                                                              : FindAnswer(code) != nullptr;
            // The wake-up is both devices'.
            const bool grip =
                direction == Direction::ToDevice
                    ? Grip::FindExchange(code) != nullptr && code != Grip::kWakeup.code
                    : Grip::FindAnswer(code) != nullptr;
            if (grip) return Device::Grip;
            if (arm && code != Arm::kWakeup.code) return Device::Arm;
        }
    }
    return Device::Arm;
}

const char* DeviceName(Device device) {
    return device == Device::Grip ? "grip" : "arm";
}

Session Decode(const Trace& trace, Device device) {
    Session session;
    session.device = device == Device::Unknown ? Guess(trace) : device;
    session.frames.reserve(trace.chunks.size());  // most chunks hold one frame
    Cut(trace, session.device, Direction::ToDevice, session, session.frames);
    const auto sent = static_cast<std::ptrdiff_t>(session.frames.size());
    Cut(trace, session.device, Direction::FromDevice, session, session.frames);

    // Merged in the order of their chunks, which is the order they were read in.
    std::inplace_merge(session.frames.begin(), session.frames.begin() + sent, session.frames.end(),
                       [](const Frame& a, const Frame& b) { return a.chunk < b.chunk; });

    // Each answer to the request still waiting; the library asks one thing at a time, so a
    // request that waits when the next one goes out has timed out.
    long waiting = -1;
    std::uint8_t expected = kNoAnswer;
    for (std::size_t i = 0; i < session.frames.size(); ++i) {
        Frame& frame = session.frames[i];
        if (frame.kind == Kind::Request) {
            const std::uint8_t answer = ExpectedAnswer(session.device, frame);
            if (answer == kNoAnswer) continue;
            if (waiting >= 0) session.frames[static_cast<std::size_t>(waiting)].timed_out = true;
            waiting = static_cast<long>(i);
            expected = answer;
        } else if (frame.kind == Kind::Message && waiting >= 0 && frame.code == expected) {
            Frame& request = session.frames[static_cast<std::size_t>(waiting)];
            frame.kind = Kind::Answer;
            frame.partner = waiting;
            request.partner = static_cast<long>(i);
            const std::uint64_t sent_at = trace.chunks[request.last_chunk].time_us;
            frame.answer_us = frame.time_us > sent_at ? frame.time_us - sent_at : 0;
            waiting = -1;
        }
    }
    if (waiting >= 0) session.frames[static_cast<std::size_t>(waiting)].timed_out = true;
    return session;
}

std::string Describe(const Session& session, const Frame& frame) {
    const std::uint8_t* at = session.Data(frame);
    if (frame.kind == Kind::Junk) {
        constexpr std::size_t kShown = 48;
        std::string text =
            frame.length > 0 && FrameLength(session.device, frame.direction, at, frame.length) < 0
                ? "cut short: "
                : "junk: ";
        text += Hex(at, frame.length < kShown ? frame.length : kShown);
        if (frame.length > kShown) text += Printf(" ... (%zu bytes)", frame.length);
        return text;
    }
    return session.device == Device::Arm ? DescribeArm(frame, at) : DescribeGrip(frame, at);
}

std::string Name(const Session& session, const Frame& frame) {
    if (frame.kind == Kind::Junk) return "junk";
    const std::uint8_t* at = session.Data(frame);
    if (session.device == Device::Arm) {
        if (frame.direction == Direction::FromDevice) return FindAnswer(frame.code)->name;
        if (frame.code == Arm::kIdentifierRequest.code) return DescribeArm(frame, at);
        return FindExchange(frame.code)->method;
    }
    if (frame.direction == Direction::ToDevice) return Grip::FindExchange(frame.code)->method;
    return IsStuffedStatus(frame, at) ? "status block" : Grip::FindAnswer(frame.code)->name;
}

bool ArmPosition(const Session& session, const Frame& frame, float (&position)[3]) {
    if (session.device != Device::Arm || frame.direction != Direction::FromDevice ||
        frame.kind == Kind::Junk || frame.code != Arm::kEndEffectorState.code) {
        return false;
    }
    const auto state = Arm::Decode<Arm::State>(session.Data(frame) + 1);
    std::copy(state.first.begin(), state.first.end(), position);
    return true;
}

}  // namespace Brivane::Trace
