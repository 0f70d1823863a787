#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace Brivane::HardwareAPI::Testing {

using Bytes = std::vector<std::uint8_t>;

// A device played at the far end of a serial line. The library opens path(); the test reads
// what the library wrote and answers from the other end, byte by byte, through the real
// line: a pseudo-terminal on POSIX (PtyDevice.cpp), the partner port of a pair of linked COM
// ports on Windows (windows/ComPortDevice.cpp).
class LineDevice {
  public:
    LineDevice();  // raw mode, as a device's own end of the line would be
    ~LineDevice();
    LineDevice(const LineDevice&) = delete;
    LineDevice& operator=(const LineDevice&) = delete;

    const std::string& path() const { return path_; }

    // Writes bytes to the library's side.
    void Send(const Bytes& bytes) const;
    // Reads exactly n bytes the library wrote; fewer when `seconds` pass first.
    Bytes Receive(std::size_t n, double seconds = 1.0) const;
    // Everything the library wrote until the line stayed quiet for `quiet` seconds.
    Bytes ReceiveAll(double quiet = 0.05) const;

    // In the background: reads a request of `request_length` bytes, waits `delay`, then
    // answers. The request is kept for Request(); the thread is joined by Join() or the
    // destructor.
    void Respond(std::size_t request_length, Bytes answer,
                 std::chrono::milliseconds delay = std::chrono::milliseconds(0));
    // Sends `bytes` after `delay`, in the background.
    void SendLater(Bytes bytes, std::chrono::milliseconds delay);
    Bytes Join();

  protected:
    std::intptr_t end_ = -1;   // the device's own end: a pseudo-terminal master, a port handle
    std::intptr_t held_ = -1;  // what keeps the line up between openers, or the pair taken
    std::string path_;

  private:
    std::thread worker_;
    Bytes request_;
};

// Seconds taken by `call`, on the monotonic clock.
template <typename Call>
double SecondsTaken(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The processor time this process has used so far, in seconds.
double ProcessCpuSeconds();

Bytes FloatBytes(std::initializer_list<float> values);

}  // namespace Brivane::HardwareAPI::Testing
