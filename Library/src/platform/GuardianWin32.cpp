// No guardian on Windows yet. There is no fork(): a guardian would be a helper program started
// with CreateProcess, inheriting the port's handle (and a section for the ledger, and a handle
// to this process to wait on), which the library does not ship. Until it does, a watch
// watches nothing and says so through Supported().
#include "Guardian.h"

namespace Brivane::HardwareAPI::Platform {

bool Guardian::Supported() {
    return false;
}

int Guardian::Watch(SerialPort&, const std::uint8_t*, std::size_t) {
    return 0;
}

void Guardian::Dismiss() {}

bool Guardian::Watching() const {
    return false;
}

void Guardian::Detach() {}

void Guardian::Forget() {}

}  // namespace Brivane::HardwareAPI::Platform
