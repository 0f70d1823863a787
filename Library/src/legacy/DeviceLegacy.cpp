// The legacy reads: the device's timeout for each read, zeros for a failure.
#include <algorithm>

#include "../devices/Device.h"

namespace Brivane::HardwareAPI::Devices {

std::uint8_t Device::read_header() {
    std::uint8_t code = 0;
    read_code(code, Deadline::After(timeout));
    return code;
}

std::int32_t Device::read_bytes(std::size_t n) {
    n = std::min(n, kBufferSize);
    if (n == 0 || !read_payload(n, Deadline::After(timeout)).answered()) return 0;
    return static_cast<std::int32_t>(n);
}

bool Device::receive_answer(std::initializer_list<std::uint8_t> codes, std::size_t payload_length) {
    return receive_answer(codes, payload_length, Limits::PerRead()).answered();
}

}  // namespace Brivane::HardwareAPI::Devices
