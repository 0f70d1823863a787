#include "PtyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "Wire.h"

namespace Brivane::HardwareAPI::Testing {

PtyDevice::PtyDevice() {
    termios raw{};
    cfmakeraw(&raw);
    char name[128] = {};
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    path_ = name;
}

PtyDevice::~PtyDevice() {
    Join();
    ::close(master_);
    ::close(slave_);
}

void PtyDevice::Send(const Bytes& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) throw std::runtime_error("pty write failed");
        sent += static_cast<std::size_t>(n);
    }
}

Bytes PtyDevice::Receive(std::size_t n, double seconds) const {
    Bytes bytes;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (bytes.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{master_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
        std::uint8_t chunk[1024];
        const ssize_t got = ::read(master_, chunk, std::min(sizeof chunk, n - bytes.size()));
        if (got <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

Bytes PtyDevice::ReceiveAll(double quiet) const {
    Bytes all;
    for (;;) {
        const Bytes more = Receive(4096, quiet);
        if (more.empty()) return all;
        all.insert(all.end(), more.begin(), more.end());
    }
}

void PtyDevice::Respond(std::size_t request_length, Bytes answer,
                        std::chrono::milliseconds delay) {
    Join();
    worker_ = std::thread([this, request_length, answer = std::move(answer), delay] {
        request_ = Receive(request_length, 10.0);
        std::this_thread::sleep_for(delay);
        Send(answer);
    });
}

void PtyDevice::SendLater(Bytes bytes, std::chrono::milliseconds delay) {
    Join();
    worker_ = std::thread([this, bytes = std::move(bytes), delay] {
        std::this_thread::sleep_for(delay);
        Send(bytes);
    });
}

Bytes PtyDevice::Join() {
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
