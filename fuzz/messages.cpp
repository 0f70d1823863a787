// The message tables alone: the first byte picks a message of either device, the rest is its
// payload. Whatever the bytes, encoding the record they decode to gives them back, and a
// status block's record comes back from the block it encodes to.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "devices/HandleMessages.h"
#include "devices/KalvarMessages.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
namespace Arm = KalvarMessages;
namespace Grip = HandleMessages;

namespace {

constexpr std::size_t kMostPayload = Grip::kStatus.length + 255;

template <typename Record>
void CheckReencodes(Record (*decode)(const std::uint8_t*),
                    std::size_t (*encode)(const Record&, std::uint8_t*),
                    const std::uint8_t* payload, std::size_t length) {
    std::uint8_t out[kMostPayload];
    if (encode(decode(payload), out) != length || std::memcmp(out, payload, length) != 0)
        __builtin_trap();
}

// Only the block's fields come back: the bytes it does not read are encoded as zeros.
void CheckStatusBlock(const std::uint8_t* raw, std::size_t n) {
    std::uint8_t block[Grip::kBlockLength];
    if (Grip::UnstuffStatusBlock(raw, n, block) <= 0) return;
    const StavrinStatus status = Grip::Decode<StavrinStatus>(block);
    std::uint8_t again[Grip::kBlockLength];
    Grip::Encode(status, again);
    const StavrinStatus back = Grip::Decode<StavrinStatus>(again);
    if (back.device_id != status.device_id || back.error_flag != status.error_flag ||
        back.buttons != status.buttons ||
        back.hall_effect_sensor_level != status.hall_effect_sensor_level ||
        back.battery_level != status.battery_level ||
        std::memcmp(back.quaternion, status.quaternion, sizeof status.quaternion) != 0) {
        __builtin_trap();
    }
}

// The payload's length by its row: a message that ends with user data counts it.
std::size_t LengthOf(const Frame& frame, bool variable, const std::uint8_t* payload,
                     std::size_t n) {
    if (n < frame.length) return 0;
    if (!variable) return frame.length;
    return frame.length + std::size_t{Grip::UserDataLength(frame, payload)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t* payload = data + 1;
    const std::size_t n = size - 1;
    const std::size_t arm_rows = std::size(Arm::kExchanges) + std::size(Arm::kAnswers);
    const std::size_t grip_rows = std::size(Grip::kExchanges) + std::size(Grip::kAnswers);
    std::size_t row = data[0] % (arm_rows + grip_rows + 1);
    if (row == arm_rows + grip_rows) {
        CheckStatusBlock(payload, n);
        return 0;
    }
    const bool arm = row < arm_rows;
    if (!arm) row -= arm_rows;
    const std::size_t requests = arm ? std::size(Arm::kExchanges) : std::size(Grip::kExchanges);
    const bool request = row < requests;
    const Frame frame = request ? (arm ? Arm::kExchanges : Grip::kExchanges)[row].request
                                : (arm ? Arm::kAnswers : Grip::kAnswers)[row - requests].frame;
    const bool variable =
        !arm && (frame.code == (request ? Grip::kHandleState.code : Grip::kStatus.code));
    const std::size_t length = LengthOf(frame, variable, payload, n);
    if (length == 0 && frame.length != 0) return 0;
    if (length > n) return 0;
    // The row's record decodes and encodes it.
    if (arm) {
        Arm::VisitRecord(request, frame.code, [&](auto record) {
            CheckReencodes(&Arm::Decode<decltype(record)>, &Arm::Encode, payload, length);
        });
    } else {
        Grip::VisitRecord(request, frame.code, [&](auto record) {
            CheckReencodes(&Grip::Decode<decltype(record)>, &Grip::Encode, payload, length);
        });
    }
    return 0;
}
