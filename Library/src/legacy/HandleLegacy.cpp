// The grip's legacy calls: the callbacks' defaults, the commands that tell nothing, Receive()
// with its callbacks and GetStavrinStatus(), each a thin call of the protocol core in
// devices/Handle.cpp with the per-read limits (each read waits the grip's time-out; a
// failure gives zeros, flags or a short count, and its error lines).
#include <chrono>

#include "../devices/Handle.h"

namespace Brivane::HardwareAPI::Devices {

namespace {

using namespace HandleMessages;

// How long the legacy status read looks for the END after a block that came whole without
// it: a few byte times at 115200 baud. A later END is owed, never waited for.
constexpr std::chrono::microseconds kClosingWait{4 * 87};

StavrinStatus FailedStatus(std::uint8_t error_flag) {
    StavrinStatus status{};
    status.error_flag = error_flag;
    return status;
}

}  // namespace

void Handle::OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                                 std::uint8_t) {}
void Handle::OnHandleInfoResponse(const HandleInfoResponse&) {}
void Handle::OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t,
                                          std::uint8_t, const std::uint8_t*) {}
void Handle::OnHandleStatusMessage(const HandleStatusMessage&) {}
void Handle::OnReceiveHandleErrorResponse(std::uint16_t, std::uint8_t) {}
void Handle::OnHandleErrorResponse(const HandleErrorResponse&) {}

void Handle::SendDeviceWakeup() {
    write_buffer[0] = kWakeup.code;
    send_request(1);
}

void Handle::RequestStatus() {
    request_status();
}

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
    send_state(device_id, user_data, data_length);
}

std::int32_t Handle::Receive() {
    std::uint8_t header_code = 0;
    return Receive(&header_code);
}

// A payload that does not fully arrive calls no callback: the read buffer would still hold
// an earlier message. The short count is the caller's sign of it, and the message's late
// rest is waited for and dropped before the next one is read, so that no byte of it is
// taken for a header.
std::int32_t Handle::Receive(std::uint8_t* header_code) {
    HandleMessage message;
    std::int32_t count = -1;
    const Outcome outcome = read_message(message, Limits::PerRead(), count);
    if (header_code != nullptr)
        *header_code = outcome.received_length > 0 ? outcome.received[0] : 0;
    switch (message.kind) {
        case HandleMessage::Kind::Info: {
            const HandleInfoResponse& info = message.info;
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            OnHandleInfoResponse(info);
            break;
        }
        case HandleMessage::Kind::Status: {
            const HandleStatusMessage& status = message.status;
            OnReceiveHandleStatusMessage(status.device_id, status.quaternion, status.error_flag,
                                         status.hall_effect_sensor_level, status.user_data_length,
                                         status.user_data);
            OnHandleStatusMessage(status);
            break;
        }
        case HandleMessage::Kind::Error:
            OnReceiveHandleErrorResponse(message.error.device_id, message.error.error_code);
            OnHandleErrorResponse(message.error);
            break;
        case HandleMessage::Kind::None:
            break;
    }
    return count;
}

StavrinStatus Handle::GetStavrinStatus() {
    abandon_arriving(Limits::PerRead());
    if (!settle(Limits::PerRead()).answered()) return FailedStatus(2);
    std::uint8_t block[kBlockLength] = {};
    int closing = -1;
    const Deadline deadline = Deadline::After(timeout);
    const Outcome outcome = read_status_block(block, closing, deadline);
    switch (outcome.kind) {
        case Outcome::Kind::Answered:
            // The block is whole without its END: the END is taken when it is here or lands
            // within a few byte times, and owed when later, never waited for. A line lost
            // meanwhile is met by the next read.
            if (closing < 0) {
                const Deadline soon =
                    Deadline::After(std::chrono::duration<double>(kClosingWait).count());
                take_closing(closing, !deadline.IsNever() && deadline.When() < soon.When()
                                          ? deadline
                                          : soon);
            }
            return Decode<StavrinStatus>(block);
        case Outcome::Kind::BadAnswer:
            return FailedStatus(1);
        case Outcome::Kind::NoAnswer:
        case Outcome::Kind::LineLost:
        case Outcome::Kind::Stopped:
        case Outcome::Kind::Refused:
            break;
    }
    // After its header, a block that stopped short is a bad one, whatever stopped it.
    return FailedStatus(outcome.received_length == 0 ? 2 : 1);
}

}  // namespace Brivane::HardwareAPI::Devices
