// The grip's byte-stuffed status block as GetStavrinStatus searches for and decodes it.
#include <cstddef>
#include <cstdint>

#include "FuzzLine.h"
#include "devices/Handle.h"

using namespace Brivane::HardwareAPI;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzzing::FuzzLine& line = Fuzzing::FuzzLine::Get();
    line.Load(data, size);
    Devices::Handle grip(&line.stream(), Fuzzing::kTimeout);
    for (int status = 0; status < 16 && line.stream().Available() > 0; ++status) {
        const Devices::StavrinStatus decoded = grip.GetStavrinStatus();
        if (decoded.error_flag == 0 && decoded.battery_level < 3.0f) __builtin_trap();
    }
    return 0;
}
