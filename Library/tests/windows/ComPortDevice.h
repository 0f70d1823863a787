#pragma once

#include <windows.h>

#include <string>

#include "DevicePort.h"

namespace Brivane::HardwareAPI::Testing {

// A pair of linked COM ports (a null-modem emulator on Windows, a socat pseudo-terminal pair
// under Wine): what one port writes, the other reads. BRIVANE_COM_PAIRS names them, as in
// "COM11:COM12,COM13:COM14"; the library opens the first port of a pair, the device plays on
// the second. BRIVANE_UNPLUG_PORT names one more port, whose line goes down as soon as the
// device behind it receives a byte, the way a device does when it is unplugged.
struct ComPair {
    std::string library;
    std::string device;
};
std::string UnplugPort();  // empty when there is none

}  // namespace Brivane::HardwareAPI::Testing
