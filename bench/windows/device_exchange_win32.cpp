// One arm-sized exchange (13-byte request, 1-byte header and 24-byte answer) through Device
// on a COM port, against a device played by a child process on the partner port, compared
// with two floors of plain Win32 calls doing the same exchange: WriteFile, then a wait that
// counts the queue with ClearCommError and naps 1 ms on a high-resolution timer, and one
// ReadFile; or WriteFile, then one blocking ReadFile that returns when the 25 bytes are there.
// Run twice: a device that answers at once, and one that takes about 1 ms, as a USB serial
// adapter does. CPU is the host process's own (GetProcessTimes) and, under Wine, the
// wineserver's. A third floor opens the port for overlapped I/O as the library does, and
// waits for one overlapped ReadFile of the answer. Then the wait alone: from a byte written at the
// far end to the wait's return, and from Interrupt::Wake on another thread to the interrupted
// wait's return.
//
//   device_exchange_win32 LIBRARY_PORT DEVICE_PORT [exchanges, default 5000; a tenth of
//   that for the 1 ms device]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "DevicePort.h"
#include "base/Interrupt.h"
#include "devices/Device.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;

namespace {

constexpr DWORD kRequest = 13;
constexpr DWORD kPayload = 24;
constexpr std::uint8_t kAnswerCode = 0x2B;

double CpuSeconds() {
    FILETIME created{}, exited{}, kernel{}, user{};
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        ULARGE_INTEGER ticks{};
        ticks.LowPart = time.dwLowDateTime;
        ticks.HighPart = time.dwHighDateTime;
        return static_cast<double>(ticks.QuadPart) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
}

// Under Wine, much of the work of a call is the wineserver's, which GetProcessTimes does not
// count. With BRIVANE_WINESERVER_PID set, its processor time too, from Linux's /proc through
// Wine's Z: drive (the whole server's, so the device process's calls are in it as well).
double ServerCpuSeconds() {
    const char* pid = std::getenv("BRIVANE_WINESERVER_PID");
    if (pid == nullptr) return -1;
    const std::string path = std::string("Z:\\proc\\") + pid + "\\stat";
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return -1;
    char line[1024] = {};
    const std::size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = '\0';
    const char* rest = std::strrchr(line, ')');  // past the command name
    unsigned long long user = 0, system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user,
                    &system) != 2) {
        return -1;
    }
    return static_cast<double>(user + system) / 100.0;  // USER_HZ
}

double WallSeconds() {
    LARGE_INTEGER frequency{}, now{};
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// A handle closed when it goes.
struct Owned {
    HANDLE handle = INVALID_HANDLE_VALUE;
    explicit Owned(HANDLE h) : handle(h) {}
    ~Owned() {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr) ::CloseHandle(handle);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    bool ok() const { return handle != INVALID_HANDLE_VALUE && handle != nullptr; }
};

HANDLE OpenRaw(const char* name, const COMMTIMEOUTS& timeouts, DWORD flags = 0) {
    const HANDLE port = Brivane::HardwareAPI::Testing::OpenDevicePort(name, flags);
    if (port == INVALID_HANDLE_VALUE) return port;
    COMMTIMEOUTS copy = timeouts;
    ::SetCommTimeouts(port, &copy);
    ::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return port;
}

// The device: answers every 13-byte request with the header and 24 bytes after `delay_ms`,
// until its port fails or it is ended.
int Answer(const char* port, DWORD delay_ms) {
    const Owned line(OpenRaw(port, COMMTIMEOUTS{}));  // all zero: a read waits for its bytes
    if (!line.ok()) return 1;
    std::uint8_t request[kRequest];
    std::uint8_t answer[1 + kPayload] = {kAnswerCode};
    for (DWORD i = 1; i <= kPayload; ++i) answer[i] = static_cast<std::uint8_t>(i);
    for (;;) {
        for (DWORD got = 0; got < kRequest;) {
            DWORD n = 0;
            if (!::ReadFile(line.handle, request + got, kRequest - got, &n, nullptr)) return 0;
            got += n;
        }
        if (delay_ms > 0) ::Sleep(delay_ms);
        DWORD written = 0;
        if (!::WriteFile(line.handle, answer, sizeof answer, &written, nullptr)) return 0;
    }
}

bool LibraryExchange(Devices::Device& device) {
    return device.exchange(kRequest, {kAnswerCode}, kPayload);
}

struct Floor {
    HANDLE port;
    bool operator()() const {
        static const std::uint8_t request[kRequest] = {};
        std::uint8_t answer[1 + kPayload];
        DWORD n = 0;
        if (!::WriteFile(port, request, kRequest, &n, nullptr) || n != kRequest) return false;
        if (!::ReadFile(port, answer, sizeof answer, &n, nullptr)) return false;
        return n == sizeof answer && answer[0] == kAnswerCode;
    }
};

// The exchange on a handle opened for overlapped I/O, as the library opens it: an overlapped
// WriteFile and one overlapped ReadFile of the whole answer, each waited for on its event.
struct OverlappedFloor {
    HANDLE port;
    HANDLE event;
    bool Complete(BOOL started, OVERLAPPED& overlapped, DWORD& n) const {
        if (!started && ::GetLastError() != ERROR_IO_PENDING) return false;
        return ::GetOverlappedResult(port, &overlapped, &n, TRUE) != FALSE;
    }
    bool operator()() const {
        static const std::uint8_t request[kRequest] = {};
        std::uint8_t answer[1 + kPayload];
        DWORD n = 0;
        OVERLAPPED write{};
        write.hEvent = event;
        if (!Complete(::WriteFile(port, request, kRequest, nullptr, &write), write, n) ||
            n != kRequest) {
            return false;
        }
        OVERLAPPED read{};
        read.hEvent = event;
        if (!Complete(::ReadFile(port, answer, sizeof answer, nullptr, &read), read, n)) {
            return false;
        }
        return n == sizeof answer && answer[0] == kAnswerCode;
    }
};

// The same wait as the library's, in plain calls: count the queue, nap 1 ms on the
// high-resolution timer until the answer is there, then read it.
struct PollFloor {
    HANDLE port;
    HANDLE timer;
    bool operator()() const {
        static const std::uint8_t request[kRequest] = {};
        std::uint8_t answer[1 + kPayload];
        DWORD n = 0;
        if (!::WriteFile(port, request, kRequest, &n, nullptr) || n != kRequest) return false;
        for (int naps = 0;; ++naps) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!::ClearCommError(port, &errors, &status)) return false;
            if (status.cbInQue >= sizeof answer) break;
            if (naps > 2000) return false;
            LARGE_INTEGER due{};
            due.QuadPart = -10000;  // 1 ms
            ::SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
            ::WaitForSingleObject(timer, INFINITE);
        }
        if (!::ReadFile(port, answer, sizeof answer, &n, nullptr)) return false;
        return n == sizeof answer && answer[0] == kAnswerCode;
    }
};

struct Result {
    double per_second;
    double cpu_us;
    double wall_us;
    double server_us;  // negative when not known
    int failed;
};

template <typename Exchange>
Result Run(int count, Exchange&& exchange) {
    for (int i = 0; i < count / 20; ++i) exchange();  // warm up
    int failed = 0;
    const double wall = WallSeconds();
    const double cpu = CpuSeconds();
    const double server = ServerCpuSeconds();
    for (int i = 0; i < count; ++i) failed += exchange() ? 0 : 1;
    const double cpu_taken = CpuSeconds() - cpu;
    const double wall_taken = WallSeconds() - wall;
    const double server_taken = server < 0 ? -1 : ServerCpuSeconds() - server;
    return {count / wall_taken, cpu_taken / count * 1e6, wall_taken / count * 1e6,
            server_taken < 0 ? -1 : server_taken / count * 1e6, failed};
}

void PrintRow(const char* wait, DWORD delay_ms, const Result& result) {
    std::printf("%-30s %8lu %13.0f %13.2f %13.2f %7d", wait, static_cast<unsigned long>(delay_ms),
                result.per_second, result.cpu_us, result.wall_us, result.failed);
    if (result.server_us >= 0) std::printf(" %15.2f", result.server_us);
    std::printf("\n");
}

// The device as a child process: this program again, with --device.
struct Child {
    PROCESS_INFORMATION process{};
    bool started = false;
    Child(const char* port, DWORD delay_ms) {
        char self[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string command =
            std::string("\"") + self + "\" --device " + port + " " + std::to_string(delay_ms);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        started = ::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &startup, &process) != FALSE;
    }
    ~Child() {
        if (!started) return;
        ::TerminateProcess(process.hProcess, 0);
        ::WaitForSingleObject(process.hProcess, 5000);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
};

bool Scenario(const char* library_port, const char* device_port, DWORD delay_ms, int count) {
    const Child device(device_port, delay_ms);
    if (!device.started) {
        std::fprintf(stderr, "cannot start the device\n");
        return false;
    }
    ::Sleep(300);  // the device opens its port
    Result library{}, floor{}, poll_floor{}, overlapped_floor{};
    {
        IO::SerialStream stream(library_port, true);
        if (!stream.good()) return false;
        Devices::Device arm(&stream, 1.0f);
        library = Run(count, [&arm] { return LibraryExchange(arm); });
    }
    {
        // The floor runs under the library's own time-outs, but for the read constant, which
        // the library sets to 1000 ms.
        const Owned port(OpenRaw(library_port, COMMTIMEOUTS{1000, 8, 1000, 8, 8}));
        if (!port.ok()) return false;
        floor = Run(count, Floor{port.handle});
        const Owned timer(::CreateWaitableTimerExW(nullptr, nullptr, 0x2, TIMER_ALL_ACCESS));
        if (!timer.ok()) return false;
        poll_floor = Run(count, PollFloor{port.handle, timer.handle});
    }
    {
        // All read time-outs zero: the read waits for the whole answer, as the library's do.
        const Owned port(OpenRaw(library_port, COMMTIMEOUTS{0, 0, 0, 8, 8}, FILE_FLAG_OVERLAPPED));
        const Owned event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!port.ok() || !event.ok()) return false;
        overlapped_floor = Run(count, OverlappedFloor{port.handle, event.handle});
    }
    PrintRow("library (Device)", delay_ms, library);
    PrintRow("floor: poll + 1 ms timer nap", delay_ms, poll_floor);
    PrintRow("floor: overlapped ReadFile", delay_ms, overlapped_floor);
    PrintRow("floor: blocking ReadFile", delay_ms, floor);
    const auto cpu = [](const Result& r) { return r.cpu_us + std::max(0.0, r.server_us); };
    for (const auto& [name, against] :
         {std::pair<const char*, const Result*>{"library / overlapped floor", &overlapped_floor},
          {"library / blocking floor", &floor}}) {
        std::printf("%-30s %8lu   rate %.2fx, CPU (process + wineserver) %.2fx\n", name,
                    static_cast<unsigned long>(delay_ms), library.per_second / against->per_second,
                    cpu(library) / cpu(*against));
    }
    return library.failed + floor.failed + poll_floor.failed + overlapped_floor.failed == 0;
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()))];
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The wait alone: a byte written at the far end after a pause, and the time until the wait
// for it returns; then waits ended by Interrupt::Wake from another thread.
bool WaitLatencies(const char* library_port, const char* device_port, int count) {
    static std::atomic<bool> stop{false};
    const Owned far_end(OpenRaw(device_port, COMMTIMEOUTS{}));
    IO::SerialStream stream(library_port, true);
    if (!far_end.ok() || !stream.good()) return false;
    std::vector<double> arrival, interrupted;
    for (int i = 0; i < count; ++i) {
        std::atomic<double> sent{0};
        std::thread sender([&] {
            ::Sleep(1 + i % 3);
            sent = Now();
            DWORD n = 0;
            ::WriteFile(far_end.handle, "x", 1, &n, nullptr);
        });
        const bool ready = stream.WaitForBytes(1, Deadline::After(1.0)).done();
        const double returned = Now();
        sender.join();
        if (!ready) return false;
        arrival.push_back(returned - sent.load());
        char byte;
        stream.read(&byte, 1);
    }
    stream.SetInterruptCheck([] { return stop.load(); });
    for (int i = 0; i < 50; ++i) {
        stop = false;
        std::atomic<double> raised{0};
        std::thread raiser([&] {
            ::Sleep(5 + i % 7);
            raised = Now();
            stop = true;
            Interrupt::Wake();
        });
        const bool ended =
            stream.WaitForBytes(1, Deadline::After(2.0)).status == Platform::IoStatus::Interrupted;
        const double returned = Now();
        raiser.join();
        Interrupt::Take();
        if (!ended) return false;
        interrupted.push_back(returned - raised.load());
    }
    stream.SetInterruptCheck(nullptr);
    std::printf("\nwait, from the far end's write to the return (%d): p50 %.0f us, p99 %.0f us\n",
                count, Percentile(arrival, 0.5) * 1e6, Percentile(arrival, 0.99) * 1e6);
    std::printf("wait, from Interrupt::Wake to the return (50): p50 %.0f us, max %.0f us\n",
                Percentile(interrupted, 0.5) * 1e6, Percentile(interrupted, 1.0) * 1e6);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::string(argv[1]) == "--device") {
        return Answer(argv[2], static_cast<DWORD>(std::atoi(argv[3])));
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY_PORT DEVICE_PORT [exchanges, at least 100]\n",
                     argv[0]);
        return 2;
    }
    const int count = argc > 3 ? std::atoi(argv[3]) : 5000;
    if (count < 100) return 2;
    std::printf("exchange: %lu-byte request, %lu-byte answer; CPU time of the host process\n",
                static_cast<unsigned long>(kRequest), static_cast<unsigned long>(1 + kPayload));
    std::printf("%-30s %8s %13s %13s %13s %7s\n", "wait", "answer ms", "exchanges/s", "CPU us/exch",
                "wall us/exch", "failed");
    const bool at_once = Scenario(argv[1], argv[2], 0, count);
    const bool late = Scenario(argv[1], argv[2], 1, count / 10);
    const bool waits = WaitLatencies(argv[1], argv[2], 500);
    return at_once && late && waits ? 0 : 1;
}
