#pragma once

#include <cstdint>

#include "../io/SerialStream.h"
#include "Device.h"
#include "HandleMessages.h"

namespace Brivane::HardwareAPI::Devices {

// The hand-held grip. Commands are one-way; Receive reads whatever message the grip sends
// next and reports it through the callbacks below, on the calling thread. Each message has
// a field-wise callback and a whole-record callback, called in that order; the pointers and
// records they get are valid only during the call. All callbacks do nothing here. The named
// operations that return an Outcome are the protocol core (Handle.cpp); the callbacks,
// Receive() and GetStavrinStatus() are adapters over it (legacy/HandleLegacy.cpp).
class Handle : public Device {
  public:
    Handle(IO::SerialStream* stream, float timeout);
    virtual ~Handle();

    virtual void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                                     std::uint8_t device_model_number,
                                     std::uint8_t hardware_version, std::uint8_t firmware_version);
    virtual void OnHandleInfoResponse(const HandleInfoResponse& response);
    virtual void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                              std::uint8_t error_flag,
                                              std::uint8_t hall_effect_sensor_level,
                                              std::uint8_t user_data_length,
                                              const std::uint8_t* user_data);
    virtual void OnHandleStatusMessage(const HandleStatusMessage& message);
    virtual void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code);
    virtual void OnHandleErrorResponse(const HandleErrorResponse& response);

    void SendDeviceWakeup();
    // `user_data` must hold data_length bytes; it may be null only when data_length is 0.
    void SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                         const std::uint8_t* user_data);
    void RequestStatus();

    // The grip's commands by name, each telling how its send ended (Device::send_frame):
    // the handle state (user data of data_length bytes; Refused, sending nothing, when it
    // is null with a length) and the status request.
    Outcome send_state(std::uint16_t device_id, const std::uint8_t* user_data,
                       std::uint8_t data_length);
    Outcome request_status();

    // Reads one message and calls its callbacks. Stores the header code read (0 when none
    // came) and returns the payload bytes read, or -1 for a missing or unknown header. A
    // payload that does not fully arrive calls no callback: the short count tells.
    std::int32_t Receive(std::uint8_t* header_code);
    std::int32_t Receive();

    // Waits for the next status message and decodes its byte-stuffed block, all within the
    // device's timeout. Sends nothing. error_flag 2: no status message came; 1: what followed
    // its header is no block, also when a lost line cut it short.
    StavrinStatus GetStavrinStatus();
    // The same until `deadline`, telling how it ended: NoAnswer when no status message came,
    // or its block was cut short; BadAnswer when the bytes after its header make no block
    // closed by END (a grip that sends plain status messages answers so), with those bytes,
    // or, once identify() has heard this grip, when the block names another grip. `status`
    // is written only when this grip's block came whole.
    Outcome status(StavrinStatus& status, const Deadline& deadline);

    // The one identification of a grip: wakes it and reads what it sends until its
    // information message (status messages before it passed over, bytes that start no
    // message skipped) or the deadline; without one (the module's probe), only the first
    // message, with the device's timeout. Answered: a grip answered, with its information
    // message or only with status messages; BadAnswer: only bytes that start no grip
    // message came (another device), the first of them in `received`; NoAnswer; LineLost;
    // Stopped.
    Outcome identify(GripIdentity& identity, const Limits& limits);

    // Reads the next message into `message` by `deadline`: Answered; NoAnswer when none
    // came, or one was cut short (`received` holds its header; its rest is owed); BadAnswer
    // for a byte that starts no grip message (in `received`: the next call reads on after
    // it); LineLost; Stopped. Calls no callback.
    Outcome receive(HandleMessage& message, const Deadline& deadline);

  private:
    // What receive() and Receive() share: Receive's count of payload bytes, -1 for none.
    Outcome read_message(HandleMessage& message, const Limits& limits, std::int32_t& count);
    // A message under way that will not be finished: its rest is owed.
    void abandon_arriving(const Limits& limits);

    // A message being read: its header, the payload bytes that came so far, and how many
    // it has (a status message's grow by its user data once its fixed part is in). A
    // deadline that passes in its middle leaves it here, and the next receive() goes on
    // with it, so that a grip's message is never lost to a caller's deadline.
    struct Arriving {
        std::uint8_t code = 0;
        std::size_t have = 0;
        std::size_t want = 0;
        std::uint8_t payload[HandleMessages::kStatus.length + 255] = {};
    };
    Arriving arriving_;
    // The low byte of the device id identify() heard, which a status block names; -1 before.
    int own_id_ = -1;
    // What both status reads share: finds the header and unstuffs the block. `closing`: the
    // byte after it when the block's last read brought that too, -1 when it is still to come.
    Outcome read_status_block(std::uint8_t (&block)[HandleMessages::kBlockLength], int& closing,
                              const Deadline& deadline);
    // The byte after a block, waited for until `until` and taken only when it is the END;
    // an END that has not come by then is owed. `closing` stays -1 when none came.
    Outcome take_closing(int& closing, const Deadline& until);
};

}  // namespace Brivane::HardwareAPI::Devices
