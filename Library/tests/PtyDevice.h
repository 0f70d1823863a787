#pragma once

#include "LineDevice.h"

namespace Brivane::HardwareAPI::Testing {

// The device on a pseudo-terminal, whose master also reaches the line's own settings.
class PtyDevice : public LineDevice {
  public:
    int master() const { return static_cast<int>(end_); }
};

}  // namespace Brivane::HardwareAPI::Testing
