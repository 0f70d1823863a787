#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "LineDevice.h"
#include "devices/Device.h"
#include "io/SerialStream.h"
#include "platform/SystemError.h"

using namespace Brivane::HardwareAPI;
using Devices::Device;
using std::chrono::milliseconds;
using Testing::Bytes;
using Testing::DeviceErrorLines;
using Testing::FloatBytes;
using Testing::LineDevice;
using Testing::ProcessCpuSeconds;
using Testing::SecondsTaken;

namespace {

constexpr float kTimeout = 0.3f;

Bytes Frame(std::uint8_t code, const Bytes& payload) {
    Bytes frame(1 + payload.size(), code);
    std::copy(payload.begin(), payload.end(), frame.begin() + 1);
    return frame;
}

// A stream on a fresh line and a device on it.
struct Line {
    LineDevice far_end;
    IO::SerialStream stream{far_end.path().c_str(), true};
    Device device{&stream, kTimeout};
};

const char* kTimeoutText = "timeout waiting for header code";

}  // namespace

TEST(Device, BuiltWithZeroedBuffersAndNoTraffic) {
    Line line;
    EXPECT_EQ(line.device.stream, &line.stream);
    EXPECT_EQ(line.device.timeout, kTimeout);
    for (std::size_t i = 0; i < Device::kBufferSize; ++i) {
        ASSERT_EQ(line.device.read_buffer[i], 0) << i;
        ASSERT_EQ(line.device.write_buffer[i], 0) << i;
    }
    EXPECT_TRUE(line.far_end.ReceiveAll().empty());
}

TEST(Device, ReadsHeaderAndPayloadIntoTheReadBuffer) {
    Line line;
    const Bytes payload = FloatBytes({1.5f, -2.0f, 3.25f, 0.0f, 1e-3f, -7.0f});
    line.far_end.SendLater(Frame(0x2B, payload), milliseconds(50));
    const auto lines = DeviceErrorLines([&] {
        EXPECT_EQ(line.device.read_header(), 0x2B);
        EXPECT_EQ(line.device.read_bytes(24), 24);
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(Bytes(&line.device.read_buffer[0], &line.device.read_buffer[24]), payload);

    // The buffer holds the last read: a shorter one overwrites only its own bytes.
    line.far_end.Send({0xA1, 0xA2});
    EXPECT_EQ(line.device.read_bytes(2), 2);
    EXPECT_EQ(line.device.read_buffer[0], 0xA1);
    EXPECT_EQ(line.device.read_buffer[1], 0xA2);
    EXPECT_EQ(line.device.read_buffer[2], payload[2]);
}

TEST(Device, TimeoutsEndOnTimeWithOneLineEach) {
    Line line;
    std::vector<Testing::ErrorLine> lines;
    std::uint8_t code = 0xFF;
    double seconds = 0;
    lines = DeviceErrorLines(
        [&] { seconds = SecondsTaken([&] { code = line.device.read_header(); }); });
    EXPECT_EQ(code, 0);
    EXPECT_GE(seconds, kTimeout);
    EXPECT_LT(seconds, 2 * kTimeout);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, kTimeoutText);
    EXPECT_EQ(lines[0].error, Platform::TimedOutError())
        << "the cause, not what an unrelated call left";
    EXPECT_EQ(lines[0].line, 58u);

    // The header came, the payload never does: the same description, its own line number.
    line.far_end.Send({0x2B, 1, 2, 3});
    std::int32_t count = -1;
    lines = DeviceErrorLines([&] {
        EXPECT_EQ(line.device.read_header(), 0x2B);
        seconds = SecondsTaken([&] { count = line.device.read_bytes(24); });
    });
    EXPECT_EQ(count, 0);
    EXPECT_GE(seconds, kTimeout);
    EXPECT_LT(seconds, 2 * kTimeout);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, kTimeoutText);
    EXPECT_EQ(lines[0].line, 87u);
}

TEST(Device, WaitingCostsNoProcessorTime) {
    Line line;
    line.device.timeout = 1.0f;
    double cpu = ProcessCpuSeconds();
    DeviceErrorLines([&] { EXPECT_EQ(line.device.read_header(), 0); });
    EXPECT_LT(ProcessCpuSeconds() - cpu, 0.1) << "silent line";

    // Part of an answer came and the rest is late: napping, not spinning on the count.
    line.device.timeout = 0.5f;
    line.far_end.Send({1, 2, 3});
    cpu = ProcessCpuSeconds();
    DeviceErrorLines([&] { EXPECT_EQ(line.device.read_bytes(4), 0); });
    EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05) << "one byte missing";
}

TEST(Device, NoLimitWaitsUntilTheBytesCome) {
    for (const float limit : {0.0f, -1.0f}) {
        Line line;
        line.device.timeout = limit;
        line.far_end.SendLater({0x42}, milliseconds(500));
        std::uint8_t code = 0;
        const auto lines = DeviceErrorLines([&] { code = line.device.read_header(); });
        EXPECT_EQ(code, 0x42) << limit;
        EXPECT_TRUE(lines.empty());
    }
}

TEST(Device, ExchangeSendsTheRequestAndReadsTheAnswer) {
    Line line;
    for (std::uint8_t i = 0; i < 13; ++i)
        line.device.write_buffer[i] = static_cast<std::uint8_t>(42 + i);
    const Bytes payload = FloatBytes({1, 2, 3, 4, 5, 6});
    line.far_end.Respond(13, Frame(0x2B, payload), milliseconds(20));
    EXPECT_TRUE(line.device.exchange(13, {0x2B}, 24));
    EXPECT_EQ(line.far_end.Join(), (Bytes{42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54}));
    EXPECT_EQ(Bytes(&line.device.read_buffer[0], &line.device.read_buffer[24]), payload);

    // Two header codes: both are read, then compared.
    line.far_end.Respond(1, {0x0D, 0xD1, 7, 8});
    EXPECT_TRUE(line.device.exchange(1, {0x0D, 0xD1}, 2));
    EXPECT_EQ(line.device.read_buffer[1], 8);
    line.far_end.Join();

    line.far_end.Respond(1, {0x0D, 0xD2, 7, 8});
    DeviceErrorLines([&] { EXPECT_FALSE(line.device.exchange(1, {0x0D, 0xD1}, 2)); });
    EXPECT_EQ(line.stream.Available(), 0) << "the wrong answer was drained";
}

TEST(Device, WrongHeaderDrainsTheLine) {
    Line line;
    line.device.timeout = 2.0f;

    // A full buffer's worth queued: the drain ends at once, quietly.
    Bytes flood(1 + 1024 + 5, 0x55);
    flood[0] = 0x99;
    line.far_end.Send(flood);
    ASSERT_EQ(line.stream.WaitForBytes(flood.size(), Deadline::After(1.0)).status,
              Platform::IoStatus::Done);
    std::vector<Testing::ErrorLine> lines;
    double seconds = SecondsTaken([&] {
        lines = DeviceErrorLines([&] { EXPECT_FALSE(line.device.receive_answer({0x2B}, 24)); });
    });
    EXPECT_LT(seconds, 1.0) << "the drain waited for the limit";
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(line.stream.Available(), 5);
    EXPECT_EQ(line.device.read_bytes(5), 5);

    // Header code 0 is no answer; what follows it goes too, once the limit has passed.
    line.device.timeout = kTimeout;
    line.far_end.Send(Frame(0x00, FloatBytes({1, 2, 3, 4, 5, 6})));
    seconds = SecondsTaken([&] {
        lines = DeviceErrorLines([&] { EXPECT_FALSE(line.device.receive_answer({0x2B}, 24)); });
    });
    EXPECT_GE(seconds, kTimeout);
    EXPECT_LT(seconds, 2 * kTimeout) << "the limit was waited for twice";
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, kTimeoutText);
    EXPECT_EQ(line.stream.Available(), 0);

    // So the next answer is read whole.
    line.far_end.Respond(13, Frame(0x2B, FloatBytes({9, 9, 9, 9, 9, 9})));
    EXPECT_TRUE(line.device.exchange(13, {0x2B}, 24));
}

// A stream whose owner reports faults in its own way writes no line for them, nor do the
// devices on it; other streams in the process still do.
TEST(Device, AQuietStreamAndItsDevicesWriteNoLines) {
    Line quiet, loud;
    quiet.stream.SetErrorOutput(ErrorOutput::Quiet);
    EXPECT_TRUE(DeviceErrorLines([&] { EXPECT_EQ(quiet.device.read_header(), 0); }).empty());
    EXPECT_EQ(DeviceErrorLines([&] { EXPECT_EQ(loud.device.read_header(), 0); }).size(), 1u);

    IO::SerialStream missing("/nonexistent/port", false);
    missing.SetErrorOutput(ErrorOutput::Quiet);
    const auto lines = Testing::ErrorLinesFrom("SerialStream.cpp", [&] {
        EXPECT_LT(missing.Open(), 0);
        missing.Write("x", 1);
    });
    EXPECT_TRUE(lines.empty());
}
