// The identity answers: device information and the two 16-byte identifiers, current and
// legacy forms. The first byte picks the query, the rest is what the arm sends.
#include <cstddef>
#include <cstdint>

#include "FuzzLine.h"
#include "devices/Kalvar.h"

using namespace Brivane::HardwareAPI;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Fuzzing::FuzzLine& line = Fuzzing::FuzzLine::Get();
    line.Load(data + 1, size - 1);
    Devices::Kalvar arm(&line.stream(), Fuzzing::kTimeout);
    DeviceInfo info;
    switch (data[0] % 4) {
        case 0: arm.device_wakeup(); break;
        case 1: arm.get_device_id(); break;
        case 2: arm.get_firmware_version(); break;
        case 3:
            arm.ReceiveDeviceInfo(info.device_id, info.device_model_number, info.hardware_version,
                                  info.firmware_version, info.device_id_ext);
            break;
    }
    return 0;
}
