#include "ComPortDevice.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "LineDevice.h"

namespace Brivane::HardwareAPI::Testing {

namespace {

std::vector<ComPair> PairsFrom(const char* variable) {
    std::vector<ComPair> pairs;
    const char* text = std::getenv(variable);
    std::string rest = text != nullptr ? text : "";
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string item = rest.substr(0, comma);
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
        const std::size_t colon = item.find(':');
        if (colon != std::string::npos)
            pairs.push_back({item.substr(0, colon), item.substr(colon + 1)});
    }
    return pairs;
}

// The pairs, each used by one device at a time.
struct Pool {
    std::mutex mutex;
    std::vector<ComPair> pairs = PairsFrom("BRIVANE_COM_PAIRS");
    std::vector<bool> taken = std::vector<bool>(pairs.size(), false);
};
Pool& ThePool() {
    static Pool pool;
    return pool;
}

HANDLE AsHandle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

std::string UnplugPort() {
    const char* port = std::getenv("BRIVANE_UNPLUG_PORT");
    return port != nullptr ? port : "";
}

LineDevice::LineDevice() {
    Pool& pool = ThePool();
    {
        const std::lock_guard<std::mutex> lock(pool.mutex);
        const auto free = std::find(pool.taken.begin(), pool.taken.end(), false);
        if (free == pool.taken.end()) {
            throw std::runtime_error("no free COM port pair in BRIVANE_COM_PAIRS");
        }
        *free = true;
        held_ = free - pool.taken.begin();
    }
    const ComPair& pair = pool.pairs[static_cast<std::size_t>(held_)];
    const HANDLE device = OpenDevicePort(pair.device);
    if (device == INVALID_HANDLE_VALUE) {
        const std::lock_guard<std::mutex> lock(pool.mutex);
        pool.taken[static_cast<std::size_t>(held_)] = false;
        throw std::runtime_error("cannot open the device port " + pair.device);
    }
    end_ = reinterpret_cast<std::intptr_t>(device);
    path_ = pair.library;

    // What an earlier test left on the line, in either direction, is no part of this one.
    ::Sleep(5);
    ::PurgeComm(device, PURGE_RXCLEAR | PURGE_TXCLEAR);
    const HANDLE library = OpenDevicePort(pair.library);
    if (library != INVALID_HANDLE_VALUE) {
        ::PurgeComm(library, PURGE_RXCLEAR | PURGE_TXCLEAR);
        ::CloseHandle(library);
    }
}

LineDevice::~LineDevice() {
    Join();
    ::CloseHandle(AsHandle(end_));
    Pool& pool = ThePool();
    const std::lock_guard<std::mutex> lock(pool.mutex);
    pool.taken[static_cast<std::size_t>(held_)] = false;
}

void LineDevice::Send(const Bytes& bytes) const {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        DWORD count = 0;
        if (!::WriteFile(AsHandle(end_), bytes.data() + sent,
                         static_cast<DWORD>(bytes.size() - sent), &count, nullptr)) {
            throw std::runtime_error("device port write failed");
        }
        sent += count;
    }
}

Bytes LineDevice::Receive(std::size_t n, double seconds) const {
    Bytes bytes;
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (bytes.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        // Returns with n bytes, or with what came when the time is up.
        COMMTIMEOUTS timeouts{0, 0, static_cast<DWORD>(left.count()), 0, 0};
        std::uint8_t chunk[1024];
        DWORD got = 0;
        if (!::SetCommTimeouts(AsHandle(end_), &timeouts) ||
            !::ReadFile(AsHandle(end_), chunk,
                        static_cast<DWORD>(std::min(sizeof chunk, n - bytes.size())), &got,
                        nullptr) ||
            got == 0) {
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    return bytes;
}

double ProcessCpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        ULARGE_INTEGER ticks{};
        ticks.LowPart = time.dwLowDateTime;
        ticks.HighPart = time.dwHighDateTime;
        return static_cast<double>(ticks.QuadPart) * 1e-7;  // 100 ns units
    };
    return seconds(kernel) + seconds(user);
}

}  // namespace Brivane::HardwareAPI::Testing
