// The simulated Handle: quiet until the host wakes it, then it answers with its handle
// information and streams status messages at a fixed rate until the port is closed.
#include <algorithm>
#include <cmath>

#include "Sim.h"
#include "base/Wire.h"
#include "devices/HandleMessages.h"

namespace Brivane::Sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

using namespace HardwareAPI::Devices::HandleMessages;

// Identity.
constexpr std::uint8_t kToolDataRemaining = 100;
constexpr std::uint8_t kModelNumber = 2;
constexpr std::uint8_t kHardwareVersion = 1;
constexpr std::uint8_t kFirmwareVersion = 9;
constexpr std::uint8_t kBattery = 180;  // 3.9 V

// Several status messages at a high rate travel together, as a USB link delivers them once
// per frame.
constexpr auto kBurstInterval = std::chrono::milliseconds(1);

void AppendU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::int16_t Q15(float value) {
    return static_cast<std::int16_t>(std::clamp(std::lround(value / kQ15Scale), -32768L, 32767L));
}

}  // namespace

GripModel::GripModel(std::uint16_t serial, StatusForm form, double rate, std::uint64_t count)
    : serial_(serial), form_(form), rate_(rate), count_(count) {}

long GripModel::FrameLength(const std::uint8_t* in, std::size_t n) const {
    switch (in[0]) {
        case kWakeup.code:
        case kStatusRequest.code:
            return 1;
        case kHandleState.code:
            return n < 1u + kHandleState.length ? 0 : 1 + kHandleState.length + in[3];
        default:
            return -1;
    }
}

void GripModel::Command(const std::uint8_t* frame, std::size_t n, Clock::time_point now,
                        std::vector<Bytes>& answers) {
    switch (frame[0]) {
        case kWakeup.code: {
            // The handle information message puts the identifier first, as the other messages do.
            Bytes info = {kInfo.code};
            AppendU16(info, serial_);
            info.insert(info.end(),
                        {kToolDataRemaining, kModelNumber, kHardwareVersion, kFirmwareVersion});
            answers.push_back(std::move(info));
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
            const std::uint16_t device_id = HardwareAPI::Wire::LoadU16(frame + 1);
            if (device_id != 0 && device_id != serial_) {  // 0 speaks to any grip
                Bytes error = {kError.code};
                AppendU16(error, serial_);
                error.push_back(kUnknownDevice);
                answers.push_back(std::move(error));
                return;
            }
            user_data_.assign(frame + 4, frame + n);
            return;
        }
    }
}

void GripModel::Unknown(std::uint8_t, std::vector<Bytes>& answers) {
    Bytes error = {kError.code};
    AppendU16(error, serial_);
    error.push_back(kUnknownCommand);
    answers.push_back(std::move(error));
}

Bytes GripModel::Status(Clock::time_point now) const {
    // The grip turns slowly about its vertical axis; the trigger is squeezed and let go.
    const double t = std::chrono::duration<double>(now - born_).count();
    const double turn = 2 * kPi * t / 10.0;
    const float quaternion[4] = {0.0f, 0.0f, static_cast<float>(std::sin(turn / 2)),
                                 static_cast<float>(std::cos(turn / 2))};
    const double phase = std::fmod(t / 2.0, 1.0);
    const auto hall = static_cast<std::uint8_t>(std::lround(31 * (1 - std::abs(2 * phase - 1))));

    Bytes message = {kStatus.code};
    if (form_ == StatusForm::Fixed) {
        AppendU16(message, serial_);
        message.push_back(0);  // error flag
        message.push_back(hall);
        for (const float component : quaternion) {
            const std::size_t at = message.size();
            message.resize(at + 4);
            HardwareAPI::Wire::StoreFloat(message.data() + at, component);
        }
        message.push_back(static_cast<std::uint8_t>(user_data_.size()));
        message.insert(message.end(), user_data_.begin(), user_data_.end());
        return message;
    }

    // The 18-byte status block, SLIP-stuffed and closed with END.
    std::uint8_t block[kBlockLength] = {};
    block[kBlockErrorFlag] = 0;
    const auto buttons = static_cast<std::uint8_t>(static_cast<long>(t) % 8);
    block[kBlockButtonsAndHall] = static_cast<std::uint8_t>((buttons << 5) | (hall & 0x1F));
    block[kBlockDeviceId] = static_cast<std::uint8_t>(serial_ & 0xFF);
    for (std::size_t k = 0; k < 4; ++k) {
        const auto raw = static_cast<std::uint16_t>(Q15(quaternion[k]));
        block[kBlockQuaternion + 2 * k] = static_cast<std::uint8_t>(raw & 0xFF);
        block[kBlockQuaternion + 1 + 2 * k] = static_cast<std::uint8_t>(raw >> 8);
    }
    block[kBlockBattery] = kBattery;
    std::uint8_t stuffed[kMostRawBytes];
    const std::size_t n = StuffStatusBlock(block, stuffed);
    for (std::size_t i = 0; i < n; ++i) message.push_back(stuffed[i]);
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
