// The grip's messages as Receive reads them, through callbacks that look at every value
// and every user-data byte they are given, so that a read past what arrived shows.
#include <cstddef>
#include <cstdint>

#include "FuzzLine.h"
#include "devices/Handle.h"

using namespace Brivane::HardwareAPI;

namespace {

class TouchingHandle : public Devices::Handle {
  public:
    using Handle::Handle;
    unsigned sum = 0;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t model, std::uint8_t hardware,
                             std::uint8_t firmware) override {
        sum += tool_data_remaining + device_id + model + hardware + firmware;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag, std::uint8_t hall,
                                      std::uint8_t length, const std::uint8_t* data) override {
        sum += device_id + error_flag + hall + (quaternion[0] < quaternion[3] ? 1u : 0u);
        for (std::uint8_t i = 0; i < length; ++i) sum += data[i];
    }
    void OnHandleStatusMessage(const Devices::HandleStatusMessage& message) override {
        for (const std::uint8_t byte : message.user_data) sum += byte;
    }
    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t code) override {
        sum += device_id + code;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzzing::FuzzLine& line = Fuzzing::FuzzLine::Get();
    line.Load(data, size);
    TouchingHandle grip(&line.stream(), Fuzzing::kTimeout);
    // Message after message, while the line holds any.
    for (int message = 0; message < 64 && line.stream().Available() > 0; ++message) {
        std::uint8_t code = 0;
        grip.Receive(&code);
    }
    return 0;
}
