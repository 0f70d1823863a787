#include "LineDevice.h"

#include "base/Wire.h"

namespace Brivane::HardwareAPI::Testing {

Bytes LineDevice::ReceiveAll(double quiet) const {
    Bytes all;
    for (;;) {
        const Bytes more = Receive(4096, quiet);
        if (more.empty()) return all;
        all.insert(all.end(), more.begin(), more.end());
    }
}

void LineDevice::Respond(std::size_t request_length, Bytes answer,
                         std::chrono::milliseconds delay) {
    Join();
    worker_ = std::thread([this, request_length, answer = std::move(answer), delay] {
        request_ = Receive(request_length, 10.0);
        std::this_thread::sleep_for(delay);
        Send(answer);
    });
}

void LineDevice::SendLater(Bytes bytes, std::chrono::milliseconds delay) {
    Join();
    worker_ = std::thread([this, bytes = std::move(bytes), delay] {
        std::this_thread::sleep_for(delay);
        Send(bytes);
    });
}

Bytes LineDevice::Join() {
    if (worker_.joinable()) worker_.join();
    return request_;
}

Bytes FloatBytes(std::initializer_list<float> values) {
    Bytes bytes(values.size() * 4);
    std::size_t at = 0;
    for (const float value : values) {
        Wire::StoreFloat(bytes.data() + at, value);
        at += 4;
    }
    return bytes;
}

}  // namespace Brivane::HardwareAPI::Testing
