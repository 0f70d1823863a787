#include <gtest/gtest.h>

#include <type_traits>

#include "LineDevice.h"
#include "base/UUID.h"
#include "devices/Device.h"
#include "devices/DeviceInfo.h"
#include "devices/KalvarMessages.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using Testing::Bytes;
using Testing::LineDevice;

static_assert(sizeof(UUID) == 16 && alignof(UUID) == 1, "an identifier is its 16 bytes");
static_assert(std::is_trivially_copyable_v<UUID>, "copying an identifier copies its bytes");

namespace {

// The device-info answer: header 0x0B and the 21-byte record.
Bytes InfoAnswer() {
    Bytes answer{0x0B, 0x2C, 0x01, 4, 7, 9};
    for (std::uint8_t i = 0; i < 16; ++i) answer.push_back(static_cast<std::uint8_t>(0xF0 + i));
    return answer;
}

}  // namespace

TEST(Identity, DefaultsAreZero) {
    const DeviceInfo info;
    EXPECT_EQ(info.device_id, 0);
    EXPECT_EQ(info.device_model_number, 0);
    EXPECT_EQ(info.hardware_version, 0);
    EXPECT_EQ(info.firmware_version, 0);
    for (const std::uint8_t byte : info.device_id_ext.bytes) EXPECT_EQ(byte, 0);
}

TEST(Identity, RecordDecodesFromItsWireLayout) {
    LineDevice far_end;
    IO::SerialStream stream(far_end.path().c_str(), true);
    Devices::Device device(&stream, 0.3f);
    device.write_buffer[0] = 0x0A;

    far_end.Respond(1, InfoAnswer());
    ASSERT_TRUE(device.exchange(1, {0x0B}, DeviceInfo::kWireSize));
    const DeviceInfo info = Devices::KalvarMessages::Decode<DeviceInfo>(device.read_buffer.get());
    EXPECT_EQ(info.device_id, 300);  // 0x2C 0x01, little-endian
    EXPECT_EQ(info.device_model_number, 4);
    EXPECT_EQ(info.hardware_version, 7);
    EXPECT_EQ(info.firmware_version, 9);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(info.device_id_ext.bytes[i], 0xF0 + i) << i;

    // A high byte in the number is not sign-extended.
    const std::uint8_t high[DeviceInfo::kWireSize] = {0xFF, 0xFF};
    EXPECT_EQ(Devices::KalvarMessages::Decode<DeviceInfo>(high).device_id, 0xFFFF);
}

TEST(Identity, AFailedReadLeavesNothingOfAnEarlierOne) {
    LineDevice far_end;
    IO::SerialStream stream(far_end.path().c_str(), true);
    Devices::Device device(&stream, 0.1f);

    auto receive = [&device] {
        DeviceInfo info;
        if (device.exchange(1, {0x0B}, DeviceInfo::kWireSize)) {
            info = Devices::KalvarMessages::Decode<DeviceInfo>(device.read_buffer.get());
        }
        return info;
    };
    far_end.Respond(1, InfoAnswer());
    EXPECT_EQ(receive().device_id, 300);
    far_end.Join();

    // The answer stops short: the read buffer still holds the earlier record, the result not.
    Bytes short_answer = InfoAnswer();
    short_answer.resize(10);
    far_end.Respond(1, short_answer);
    testing::internal::CaptureStderr();
    const DeviceInfo info = receive();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(device.read_buffer[4], 9);
    EXPECT_EQ(info.device_id, 0);
    EXPECT_EQ(info.device_model_number, 0);
    for (const std::uint8_t byte : info.device_id_ext.bytes) EXPECT_EQ(byte, 0);
}
