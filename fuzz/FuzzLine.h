// One pseudo-terminal line for a whole fuzzing run. Each input is what the device sends:
// it is queued on the line before the decoder under test reads it through the real stream,
// serialib and termios port, with a device time-out of a millisecond for what is missing.
#pragma once

#include <termios.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "PtyDevice.h"
#include "io/SerialStream.h"

namespace Brivane::HardwareAPI::Fuzzing {

constexpr float kTimeout = 0.001f;

class FuzzLine {
  public:
    static FuzzLine& Get() {
        static FuzzLine line;
        return line;
    }

    IO::SerialStream& stream() { return stream_; }

    // Empties the line both ways, then queues `data` for the library to read.
    void Load(const std::uint8_t* data, std::size_t size) {
        ::tcflush(device_.master(), TCIFLUSH);  // what the library wrote last time
        char rest[1024];
        for (int left; (left = stream_.Available()) > 0;) {
            stream_.read(rest, std::min<int>(left, sizeof rest));
        }
        stream_.clear();
        device_.Send(Testing::Bytes(data, data + size));
        stream_.WaitForBytes(size, Deadline::After(1.0));
    }

  private:
    FuzzLine() = default;

    Testing::PtyDevice device_;
    IO::SerialStream stream_{device_.path().c_str(), true};
};

}  // namespace Brivane::HardwareAPI::Fuzzing
