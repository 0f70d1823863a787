#include <gtest/gtest.h>

#include "PtyDevice.h"
#include "SerialStream.h"

using namespace Brivane::HardwareAPI;
using Testing::Bytes;
using Testing::PtyDevice;

TEST(SerialStream, BytesCrossBothWaysUnchanged) {
    PtyDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    stream.Write(reinterpret_cast<const char*>(all.data()), all.size());
    EXPECT_EQ(device.Receive(256), all);
    device.Send(all);
    char back[256];
    ASSERT_EQ(stream.WaitForBytes(256, Deadline::After(1.0)), Platform::WaitResult::Ready);
    stream.read(back, 256);
    EXPECT_EQ(Bytes(back, back + 256), all);
}
