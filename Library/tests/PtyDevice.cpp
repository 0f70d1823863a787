#include "PtyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace Brivane::HardwareAPI::Testing {

LineDevice::LineDevice() {
    termios raw{};
    cfmakeraw(&raw);
    char name[128] = {};
    int master = -1, slave = -1;
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    end_ = master;
    held_ = slave;  // held open so that the line never hangs up between openers
    path_ = name;
}

LineDevice::~LineDevice() {
    Join();
    ::close(static_cast<int>(end_));
    ::close(static_cast<int>(held_));
}

void LineDevice::Send(const Bytes& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::write(static_cast<int>(end_), bytes.data() + sent, bytes.size() - sent);
        if (n <= 0) throw std::runtime_error("pty write failed");
        sent += static_cast<std::size_t>(n);
    }
}

Bytes LineDevice::Receive(std::size_t n, double seconds) const {
    Bytes bytes;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (bytes.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{static_cast<int>(end_), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) break;
        std::uint8_t chunk[1024];
        const ssize_t got =
            ::read(static_cast<int>(end_), chunk, std::min(sizeof chunk, n - bytes.size()));
        if (got <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

double ProcessCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace Brivane::HardwareAPI::Testing
