// The simulated Handle: quiet until the host wakes it, then it answers with its handle
// information and streams status messages at a fixed rate until the port is closed.
#include <algorithm>
#include <cmath>

#include "Sim.h"
#include "devices/HandleMessages.h"

namespace Brivane::Sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

using namespace HardwareAPI::Devices::HandleMessages;
using HardwareAPI::Devices::HandleErrorResponse;
using HardwareAPI::Devices::HandleInfoResponse;
using HardwareAPI::Devices::HandleState;
using HardwareAPI::Devices::HandleStatusMessage;
using HardwareAPI::Devices::StavrinStatus;

// Identity.
constexpr std::uint8_t kToolDataRemaining = 100;
constexpr std::uint8_t kModelNumber = 2;
constexpr std::uint8_t kHardwareVersion = 1;
constexpr std::uint8_t kFirmwareVersion = 9;
constexpr float kBatteryVolts = 3.9f;

// Several status messages at a high rate travel together, as a USB link delivers them once
// per frame.
constexpr auto kBurstInterval = std::chrono::milliseconds(1);

// A message: its header, then the record's fields.
template <typename Record>
Bytes Message(const Frame& frame, const Record& record) {
    std::uint8_t payload[kStatus.length + 255];
    const std::size_t n = Encode(record, payload);
    Bytes message = {frame.code};
    message.insert(message.end(), payload, payload + n);
    return message;
}

}  // namespace

GripModel::GripModel(std::uint16_t serial, StatusForm form, double rate, std::uint64_t count)
    : serial_(serial), form_(form), rate_(rate), count_(count) {}

long GripModel::FrameLength(const std::uint8_t* in, std::size_t n) const {
    const Exchange* exchange = FindExchange(in[0]);
    if (exchange == nullptr) return -1;
    const Frame& request = exchange->request;
    if (request.code != kHandleState.code) return 1 + request.length;
    return n < 1u + request.length ? 0 : 1 + request.length + UserDataLength(request, in + 1);
}

void GripModel::Command(const std::uint8_t* frame, std::size_t, Clock::time_point now,
                        std::vector<Bytes>& answers) {
    switch (frame[0]) {
        case kWakeup.code: {
            HandleInfoResponse info;
            info.device_id = serial_;
            info.tool_data_remaining = kToolDataRemaining;
            info.device_model_number = kModelNumber;
            info.hardware_version = kHardwareVersion;
            info.firmware_version = kFirmwareVersion;
            answers.push_back(Message(AnswerTo(kWakeup), info));
            if (!awake_) {
                awake_ = true;
                stream_start_ = last_burst_ = now;
                streamed_ = 0;
            }
            return;
        }
        case kStatusRequest.code:
            answers.push_back(Status(now));
            return;
        default: {
            const HandleState state = Decode<HandleState>(frame + 1);
            if (state.device_id != 0 && state.device_id != serial_) {  // 0 speaks to any grip
                answers.push_back(Message(kError, HandleErrorResponse{serial_, kUnknownDevice}));
                return;
            }
            user_data_.assign(state.user_data, state.user_data + state.user_data_length);
            return;
        }
    }
}

void GripModel::Unknown(std::uint8_t, std::vector<Bytes>& answers) {
    answers.push_back(Message(kError, HandleErrorResponse{serial_, kUnknownCommand}));
}

Bytes GripModel::Status(Clock::time_point now) const {
    // The grip turns slowly about its vertical axis; the trigger is squeezed and let go.
    const double t = std::chrono::duration<double>(now - born_).count();
    const double turn = 2 * kPi * t / 10.0;
    const float quaternion[4] = {0.0f, 0.0f, static_cast<float>(std::sin(turn / 2)),
                                 static_cast<float>(std::cos(turn / 2))};
    const double phase = std::fmod(t / 2.0, 1.0);
    const auto hall = static_cast<std::uint8_t>(std::lround(31 * (1 - std::abs(2 * phase - 1))));

    if (form_ == StatusForm::Fixed) {
        HandleStatusMessage status;
        status.device_id = serial_;
        status.error_flag = 0;
        status.hall_effect_sensor_level = hall;
        std::copy(std::begin(quaternion), std::end(quaternion), status.quaternion);
        status.user_data_length = static_cast<std::uint8_t>(user_data_.size());
        std::copy(user_data_.begin(), user_data_.end(), status.user_data);
        return Message(kStatus, status);
    }

    // The 18-byte status block, SLIP-stuffed and closed with END.
    StavrinStatus status;
    status.error_flag = 0;
    status.buttons = static_cast<std::uint8_t>(static_cast<long>(t) % 8);
    status.hall_effect_sensor_level = hall;
    status.device_id = static_cast<std::uint8_t>(serial_ & 0xFF);
    std::copy(std::begin(quaternion), std::end(quaternion), status.quaternion);
    status.battery_level = kBatteryVolts;
    std::uint8_t block[kBlockLength];
    Encode(status, block);
    std::uint8_t stuffed[kMostRawBytes];
    const std::size_t n = StuffStatusBlock(block, stuffed);
    Bytes message = {kStatus.code};
    message.insert(message.end(), stuffed, stuffed + n);
    return message;
}

void GripModel::Stream(Clock::time_point now, std::vector<Bytes>& messages) {
    if (!awake_ || rate_ <= 0) return;
    const double elapsed = std::chrono::duration<double>(now - stream_start_).count();
    auto due = static_cast<std::uint64_t>(elapsed * rate_);
    if (count_ != 0) due = std::min(due, count_);
    if (due <= streamed_) return;
    for (; streamed_ < due; ++streamed_) messages.push_back(Status(now));
    last_burst_ = now;
}

std::optional<Clock::time_point> GripModel::NextStream() const {
    if (!awake_ || rate_ <= 0 || (count_ != 0 && streamed_ >= count_)) return std::nullopt;
    const auto next = stream_start_ + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>((streamed_ + 1) / rate_));
    return std::max(next, last_burst_ + kBurstInterval);
}

void GripModel::Reset() {
    awake_ = false;
    user_data_.clear();
}

}  // namespace Brivane::Sim
