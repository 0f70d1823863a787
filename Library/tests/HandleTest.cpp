#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ErrorLines.h"
#include "LineDevice.h"
#include "devices/Handle.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using Devices::GripIdentity;
using Devices::HandleErrorResponse;
using Devices::HandleInfoResponse;
using Devices::HandleStatusMessage;
using Devices::Limits;
using Devices::Outcome;
using Devices::StavrinStatus;
using Testing::Bytes;
using Testing::LineDevice;

namespace {

constexpr float kTimeout = 0.2f;

// Records every callback, in the order they came, with the values they were given.
class RecordingHandle : public Devices::Handle {
  public:
    using Handle::Handle;

    std::vector<std::string> calls;
    HandleInfoResponse info{};
    HandleInfoResponse info_record{};
    std::uint16_t status_id = 0;
    float status_quaternion[4] = {};
    std::uint8_t status_flag = 0, status_hall = 0;
    Bytes status_data;
    HandleStatusMessage status_record{};
    HandleErrorResponse error{};
    HandleErrorResponse error_record{};
    bool throw_in_field_callbacks = false;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t model, std::uint8_t hardware,
                             std::uint8_t firmware) override {
        calls.push_back("info");
        info = {device_id, tool_data_remaining, model, hardware, firmware};
        if (throw_in_field_callbacks) throw std::runtime_error("from the callback");
    }
    void OnHandleInfoResponse(const HandleInfoResponse& response) override {
        calls.push_back("info record");
        info_record = response;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag, std::uint8_t hall,
                                      std::uint8_t length, const std::uint8_t* data) override {
        calls.push_back("status");
        status_id = device_id;
        std::memcpy(status_quaternion, quaternion, sizeof status_quaternion);
        status_flag = error_flag;
        status_hall = hall;
        status_data.assign(data, data + length);
    }
    void OnHandleStatusMessage(const HandleStatusMessage& message) override {
        calls.push_back("status record");
        status_record = message;
    }
    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t code) override {
        calls.push_back("error");
        error = {device_id, code};
    }
    void OnHandleErrorResponse(const HandleErrorResponse& response) override {
        calls.push_back("error record");
        error_record = response;
    }
};

struct Grip {
    explicit Grip(float timeout = kTimeout) : handle(&stream, timeout) {}
    LineDevice device;
    IO::SerialStream stream{device.path().c_str(), true};
    RecordingHandle handle;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A status message for Receive: id 0x0102, flag 3, hall 4, the quaternion, then user data.
Bytes StatusMessage(const Bytes& user_data) {
    return Concat({{0xDA, 0x02, 0x01, 0x03, 0x04},
                   Testing::FloatBytes({0.5f, -0.25f, 1.0f, -1.0f}),
                   {static_cast<std::uint8_t>(user_data.size())},
                   user_data});
}

// The 18-byte status block laid out as the grip sends it.
using Block = std::array<std::uint8_t, 18>;

Block MakeBlock(std::uint8_t flag, std::uint8_t byte3, std::uint8_t id,
                std::array<std::uint16_t, 4> quaternion, std::uint8_t battery) {
    Block block{};
    block[0] = 0x11;
    block[1] = 0x22;
    block[2] = flag;
    block[3] = byte3;
    block[4] = id;
    for (int k = 0; k < 4; ++k) {
        block[8 + 2 * k] = static_cast<std::uint8_t>(quaternion[k] & 0xFF);
        block[9 + 2 * k] = static_cast<std::uint8_t>(quaternion[k] >> 8);
    }
    block[16] = battery;
    block[17] = 0x33;
    return block;
}

// DA, the SLIP-stuffed block, then the END byte that closes the frame.
Bytes StatusFrame(const Block& block) {
    Bytes frame{0xDA};
    for (const std::uint8_t byte : block) {
        if (byte == 0xC0) {
            frame.insert(frame.end(), {0xDB, 0xDC});
        } else if (byte == 0xDB) {
            frame.insert(frame.end(), {0xDB, 0xDD});
        } else {
            frame.push_back(byte);
        }
    }
    frame.push_back(0xC0);
    return frame;
}

void ExpectSameStatus(const StavrinStatus& actual, const StavrinStatus& expected) {
    EXPECT_EQ(actual.error_flag, expected.error_flag);
    EXPECT_EQ(actual.device_id, expected.device_id);
    EXPECT_EQ(actual.hall_effect_sensor_level, expected.hall_effect_sensor_level);
    EXPECT_EQ(actual.buttons, expected.buttons);
    EXPECT_EQ(actual.battery_level, expected.battery_level);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(actual.quaternion[k], expected.quaternion[k]);
}

void ExpectFailedStatus(const StavrinStatus& status, std::uint8_t flag) {
    EXPECT_EQ(status.error_flag, flag);
    EXPECT_EQ(status.device_id, 0);
    EXPECT_EQ(status.hall_effect_sensor_level, 0);
    EXPECT_EQ(status.buttons, 0);
    EXPECT_EQ(status.battery_level, 0.0f);
    for (const float component : status.quaternion) EXPECT_EQ(component, 0.0f);
}

}  // namespace

TEST(Handle, CommandsAreSentByteExact) {
    Grip grip;
    grip.handle.SendDeviceWakeup();
    grip.handle.RequestStatus();
    const std::uint8_t data[] = {0xAA, 0xBB};
    grip.handle.SendHandleState(300, 2, data);
    grip.handle.SendHandleState(7, 0, nullptr);
    // Announced bytes that are not there are never sent.
    grip.handle.SendHandleState(9, 3, nullptr);
    EXPECT_EQ(grip.device.ReceiveAll(),
              (Bytes{0x0A, 0xDA, 0xDB, 0x2C, 0x01, 0x02, 0xAA, 0xBB, 0xDB, 0x07, 0x00, 0x00}));

    Bytes full(255);
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i);
    grip.handle.SendHandleState(0xFFFF, 255, full.data());
    EXPECT_EQ(grip.device.ReceiveAll(), Concat({{0xDB, 0xFF, 0xFF, 0xFF}, full}));
}

TEST(Handle, ReceiveDispatchesEachMessageToBothCallbacksInOrder) {
    Grip grip;
    RecordingHandle& handle = grip.handle;
    std::uint8_t code = 0;

    // The identifier comes first in the information payload, then tool data remaining.
    grip.device.Send({0xD0, 0x2C, 0x01, 0x05, 0x06, 0x07, 0x08});
    EXPECT_EQ(handle.Receive(&code), 6);
    EXPECT_EQ(code, 0xD0);
    EXPECT_EQ(handle.info.device_id, 300);
    EXPECT_EQ(handle.info.tool_data_remaining, 5);
    EXPECT_EQ(handle.info.device_model_number, 6);
    EXPECT_EQ(handle.info.hardware_version, 7);
    EXPECT_EQ(handle.info.firmware_version, 8);
    EXPECT_EQ(std::memcmp(&handle.info, &handle.info_record, sizeof handle.info), 0);

    grip.device.Send({0xDF, 0x34, 0x12, 0x09});
    EXPECT_EQ(handle.Receive(&code), 3);
    EXPECT_EQ(code, 0xDF);
    EXPECT_EQ(handle.error.device_id, 0x1234);
    EXPECT_EQ(handle.error.error_code, 9);
    EXPECT_EQ(handle.error_record.device_id, 0x1234);
    EXPECT_EQ(handle.error_record.error_code, 9);

    grip.device.Send(StatusMessage({}));
    EXPECT_EQ(handle.Receive(), 21);
    EXPECT_EQ(handle.status_id, 0x0102);
    EXPECT_EQ(handle.status_flag, 3);
    EXPECT_EQ(handle.status_hall, 4);
    const float quaternion[4] = {0.5f, -0.25f, 1.0f, -1.0f};
    EXPECT_EQ(std::memcmp(handle.status_quaternion, quaternion, sizeof quaternion), 0);
    EXPECT_TRUE(handle.status_data.empty());
    EXPECT_EQ(handle.status_record.user_data_length, 0);
    for (const std::uint8_t byte : handle.status_record.user_data) EXPECT_EQ(byte, 0);

    EXPECT_EQ(handle.calls, (std::vector<std::string>{"info", "info record", "error",
                                                      "error record", "status", "status record"}));
}

TEST(Handle, ReceiveTakesUserDataOfFullLength) {
    Grip grip;
    Bytes data(255);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(255 - i);
    grip.device.Send(StatusMessage(data));
    EXPECT_EQ(grip.handle.Receive(), 276);
    EXPECT_EQ(grip.handle.status_data, data);
    EXPECT_EQ(grip.handle.status_record.user_data_length, 255);
    EXPECT_EQ(Bytes(grip.handle.status_record.user_data, grip.handle.status_record.user_data + 255),
              data);
    // The fixed fields were taken before the user data overwrote them in the read buffer.
    EXPECT_EQ(grip.handle.status_record.device_id, 0x0102);
    EXPECT_EQ(grip.handle.status_record.quaternion[3], -1.0f);
}

TEST(Handle, UnknownHeaderAndSilenceCallNothing) {
    Grip grip;
    std::uint8_t code = 0xFF;
    // The bytes after an unknown header are left for the next read.
    grip.device.Send({0x0B, 0xDF, 0x07, 0x00, 0x02});
    EXPECT_EQ(grip.handle.Receive(&code), -1);
    EXPECT_EQ(code, 0x0B);
    EXPECT_TRUE(grip.handle.calls.empty());
    EXPECT_EQ(grip.handle.Receive(&code), 3);
    EXPECT_EQ(grip.handle.error.device_id, 7);

    grip.handle.calls.clear();
    EXPECT_EQ(grip.handle.Receive(&code), -1);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(grip.handle.calls.empty());
}

TEST(Handle, ShortPayloadCallsNoCallbackAndReturnsTheShortCount) {
    Grip grip;
    // A whole message first, so the read buffer holds something that could be replayed.
    grip.device.Send({0xD0, 0x2C, 0x01, 0x05, 0x06, 0x07, 0x08});
    ASSERT_EQ(grip.handle.Receive(), 6);
    grip.handle.calls.clear();

    grip.device.Send({0xD0, 0x01, 0x02});
    EXPECT_EQ(grip.handle.Receive(), 0);
    EXPECT_TRUE(grip.handle.calls.empty());
}

TEST(Handle, ShortUserDataCallsNoCallback) {
    Grip grip;
    Bytes message = StatusMessage({1, 2, 3, 4, 5});
    message.resize(message.size() - 3);
    grip.device.Send(message);
    EXPECT_EQ(grip.handle.Receive(), 21);
    EXPECT_TRUE(grip.handle.calls.empty());
}

TEST(Handle, ExceptionFromCallbackLeavesReceiveBeforeTheRecordCallback) {
    Grip grip;
    grip.handle.throw_in_field_callbacks = true;
    grip.device.Send({0xD0, 0x2C, 0x01, 0x05, 0x06, 0x07, 0x08});
    EXPECT_THROW(grip.handle.Receive(), std::runtime_error);
    EXPECT_EQ(grip.handle.calls, std::vector<std::string>{"info"});
}

TEST(Handle, StavrinStatusDecodesQuaternionBatteryAndButtons) {
    Grip grip;
    grip.device.Send(Concat({
        {0x01, 0x02},  // junk before the header is skipped
        StatusFrame(MakeBlock(0, 0xE5, 42, {0x8000, 0x7FFF, 0x0000, 0xC000}, 0)),
        StatusFrame(MakeBlock(4, 0x00, 0, {}, 200)),
        StatusFrame(MakeBlock(0, 0x1F, 255, {}, 255)),
    }));

    StavrinStatus status = grip.handle.GetStavrinStatus();
    EXPECT_EQ(status.error_flag, 0);
    EXPECT_EQ(status.hall_effect_sensor_level, 5);
    EXPECT_EQ(status.buttons, 7);
    EXPECT_EQ(status.device_id, 42);
    EXPECT_EQ(status.quaternion[0], -1.0f);
    EXPECT_EQ(status.quaternion[1], 0.999969482421875f);
    EXPECT_EQ(status.quaternion[2], 0.0f);
    EXPECT_EQ(status.quaternion[3], -0.5f);
    EXPECT_EQ(status.battery_level, 3.0f);

    status = grip.handle.GetStavrinStatus();
    EXPECT_EQ(status.error_flag, 4);
    EXPECT_EQ(status.battery_level, 4.0f);

    status = grip.handle.GetStavrinStatus();
    EXPECT_EQ(status.hall_effect_sensor_level, 31);
    EXPECT_EQ(status.buttons, 0);
    EXPECT_EQ(status.device_id, 255);
    EXPECT_EQ(status.battery_level, static_cast<float>(4.275));
}

TEST(Handle, StavrinStatusDecodesStuffedBytesAtEveryOffset) {
    Grip grip;
    const Block plain = MakeBlock(1, 0x25, 9, {0x1234, 0x0101, 0xFEDC, 0x4000}, 100);
    const StavrinStatus expected_plain = [&] {
        grip.device.Send(StatusFrame(plain));
        return grip.handle.GetStavrinStatus();
    }();
    ASSERT_EQ(expected_plain.device_id, 9);

    for (std::size_t offset = 0; offset < 18; ++offset) {
        for (const std::uint8_t stuffed_value : {std::uint8_t{0xC0}, std::uint8_t{0xDB}}) {
            SCOPED_TRACE("offset " + std::to_string(offset) + " byte " +
                         std::to_string(stuffed_value));
            Block block = plain;
            block[offset] = stuffed_value;
            // The stuffed frame and a plain one back to back: both decode, in turn.
            grip.device.Send(Concat({StatusFrame(block), StatusFrame(plain)}));
            const StavrinStatus status = grip.handle.GetStavrinStatus();

            StavrinStatus expected = expected_plain;
            switch (offset) {
                case 2:
                    expected.error_flag = stuffed_value;
                    break;
                case 3:
                    expected.hall_effect_sensor_level = stuffed_value & 0x1F;
                    expected.buttons = stuffed_value >> 5;
                    break;
                case 4:
                    expected.device_id = stuffed_value;
                    break;
                case 16:
                    expected.battery_level = static_cast<float>(stuffed_value * 0.005 + 3.0);
                    break;
                default:
                    if (offset >= 8 && offset < 16) {
                        const std::size_t k = (offset - 8) / 2;
                        const std::uint16_t raw = static_cast<std::uint16_t>(
                            offset % 2 == 0 ? (plain[offset + 1] << 8) | stuffed_value
                                            : (stuffed_value << 8) | plain[offset - 1]);
                        expected.quaternion[k] =
                            static_cast<float>(static_cast<std::int16_t>(raw) * 0.000030517578125);
                    }
            }
            ExpectSameStatus(status, expected);
            ExpectSameStatus(grip.handle.GetStavrinStatus(), expected_plain);
        }
    }
}

TEST(Handle, StavrinStatusDecodesABlockMadeOfStuffedBytes) {
    Grip grip;
    Block heavy{};
    for (std::size_t i = 0; i < heavy.size(); ++i) heavy[i] = i % 2 == 0 ? 0xDB : 0xC0;
    heavy[8] = heavy[9] = 0xC0;    // component 0: 0xC0C0
    heavy[10] = heavy[11] = 0xDB;  // component 1: 0xDBDB
    const Block plain = MakeBlock(5, 0x21, 77, {0x4000, 0, 0, 0}, 20);
    grip.device.Send(Concat({StatusFrame(heavy), StatusFrame(plain)}));

    const StavrinStatus status = grip.handle.GetStavrinStatus();
    EXPECT_EQ(status.error_flag, 0xDB);
    EXPECT_EQ(status.hall_effect_sensor_level, 0);
    EXPECT_EQ(status.buttons, 6);
    EXPECT_EQ(status.device_id, 0xDB);
    EXPECT_EQ(status.quaternion[0], static_cast<float>(-16192 / 32768.0));
    EXPECT_EQ(status.quaternion[1], static_cast<float>(-9253 / 32768.0));
    EXPECT_EQ(status.quaternion[2], static_cast<float>(-16165 / 32768.0));  // 0xC0DB
    EXPECT_EQ(status.quaternion[3], static_cast<float>(-16165 / 32768.0));
    EXPECT_EQ(status.battery_level, static_cast<float>(0xDB * 0.005 + 3.0));

    const StavrinStatus next = grip.handle.GetStavrinStatus();
    EXPECT_EQ(next.error_flag, 5);
    EXPECT_EQ(next.device_id, 77);
    EXPECT_EQ(next.quaternion[0], 0.5f);
}

TEST(Handle, StavrinStatusFailures) {
    Grip grip;
    // An END inside the block ends the frame; the plain frame after it still decodes.
    Block ended = MakeBlock(3, 0x25, 9, {0x1234, 0, 0, 0}, 100);
    Bytes frame = StatusFrame(ended);
    frame[1 + 5] = 0xC0;
    grip.device.Send(Concat({frame, StatusFrame(ended)}));
    ExpectFailedStatus(grip.handle.GetStavrinStatus(), 1);
    EXPECT_EQ(grip.handle.GetStavrinStatus().error_flag, 3);

    // The frame stops short: within the first 19 bytes (which stay queued, to be skipped as
    // junk by the next read), or after them while escapes still need more.
    grip.device.Send({0xDA, 1, 2, 3, 4, 5});
    ExpectFailedStatus(grip.handle.GetStavrinStatus(), 1);
    Block stuffed = ended;
    stuffed[10] = 0xC0;
    stuffed[12] = 0xDB;
    Bytes cut = StatusFrame(stuffed);
    cut.resize(cut.size() - 2);
    grip.device.Send(cut);
    ExpectFailedStatus(grip.handle.GetStavrinStatus(), 1);

    // Nothing at all, or only junk, a 0x00 among it.
    ExpectFailedStatus(grip.handle.GetStavrinStatus(), 2);
    grip.device.Send({0x01, 0x00, 0x03});
    ExpectFailedStatus(grip.handle.GetStavrinStatus(), 2);
}

// The block is read to its last byte and no further, and a 0x00 before it is junk.
TEST(Handle, StavrinStatusReadsNoByteBeyondTheBlock) {
    Grip grip;
    Block last_stuffed = MakeBlock(4, 0x25, 9, {0x1234, 0, 0, 0}, 100);
    last_stuffed[17] = 0xC0;  // sent as DB DC: the 19th raw byte
    Bytes unterminated = StatusFrame(last_stuffed);
    unterminated.pop_back();
    const Block plain = MakeBlock(5, 0x21, 77, {0x4000, 0, 0, 0}, 20);
    grip.device.Send(Concat({{0x00, 0x01}, unterminated, StatusFrame(plain)}));

    std::vector<StavrinStatus> statuses;
    const auto lines = Testing::ErrorLinesFrom("Device.cpp", [&] {
        statuses.push_back(grip.handle.GetStavrinStatus());
        statuses.push_back(grip.handle.GetStavrinStatus());
    });
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(statuses[0].error_flag, 4);
    EXPECT_EQ(statuses[0].device_id, 9);
    EXPECT_EQ(statuses[1].error_flag, 5);
    EXPECT_EQ(statuses[1].device_id, 77);
}

// Whatever the line sends, the call ends at its deadline: a run of escapes after the header
// is no block (flag 1, at once), junk without a header is no message (flag 2, one line).
TEST(Handle, StavrinStatusEndsOnTimeWhateverTheLineSends) {
    struct Case {
        Bytes first, flood;
        std::uint8_t flag;
        std::size_t lines;
    };
    for (const Case& c : {Case{{0xDA}, Bytes(8, 0xDB), 1, 0}, Case{{}, Bytes(8, 0x01), 2, 1}}) {
        Grip grip;
        grip.device.Send(c.first);
        std::atomic<bool> stop{false};
        std::thread flood([&] {  // for three timeouts, more than any call may take
            for (int i = 0; i < 600 && !stop; ++i) {
                grip.device.Send(c.flood);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        StavrinStatus status{};
        std::vector<Testing::ErrorLine> lines;
        const double seconds = Testing::SecondsTaken([&] {
            lines = Testing::ErrorLinesFrom("Device.cpp",
                                            [&] { status = grip.handle.GetStavrinStatus(); });
        });
        stop = true;
        flood.join();
        ExpectFailedStatus(status, c.flag);
        EXPECT_EQ(lines.size(), c.lines);
        EXPECT_LT(seconds, kTimeout + 0.15);
    }
}

// The late rest of a cut message, whose bytes look like headers, is waited for and dropped,
// whether it lands before the next Receive or while it waits; only the next whole message
// calls back. The user data's length, the fixed part's last byte, is owed with it.
struct CutMessage {
    const char* name;
    std::size_t first;               // bytes of the message sent before Receive gives up
    std::chrono::milliseconds late;  // the rest, this long after
    std::int32_t count;              // what the cut Receive returns: the whole reads' bytes
};

class LateRest : public testing::TestWithParam<CutMessage> {};

TEST_P(LateRest, IsDroppedBeforeTheNextMessage) {
    const CutMessage& c = GetParam();
    Grip grip;
    const Bytes status = StatusMessage({0x0A, 0xDF, 0xD0});
    grip.device.Send(Bytes(status.begin(), status.begin() + static_cast<long>(c.first)));
    testing::internal::CaptureStderr();
    EXPECT_EQ(grip.handle.Receive(), c.count);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(grip.handle.calls.empty());

    Bytes rest(status.begin() + static_cast<long>(c.first), status.end());
    rest.insert(rest.end(), {0xDF, 0x34, 0x12, 0x09});
    grip.device.SendLater(rest, c.late);
    EXPECT_EQ(grip.handle.Receive(), 3);
    EXPECT_EQ(grip.handle.calls, (std::vector<std::string>{"error", "error record"}));
    EXPECT_EQ(grip.handle.error.device_id, 0x1234);
}

INSTANTIATE_TEST_SUITE_P(
    Handle, LateRest,
    testing::Values(CutMessage{"fixed_part_rest_lands_early", 11, std::chrono::milliseconds(0), 0},
                    CutMessage{"fixed_part_rest_lands_late", 11, std::chrono::milliseconds(100), 0},
                    CutMessage{"user_data_rest_lands_late", 23, std::chrono::milliseconds(100),
                               21}),
    [](const testing::TestParamInfo<CutMessage>& param) { return std::string(param.param.name); });

// A stuffed block's closing END is taken with it, so that a message after it is read at
// once; a block left unclosed leaves the next message's header where it is.
TEST(Handle, StavrinStatusTakesTheEndThatClosesAStuffedBlock) {
    Block stuffed = MakeBlock(4, 0x25, 9, {0x1234, 0, 0, 0}, 100);
    stuffed[6] = 0xC0;
    for (const bool closed : {true, false}) {
        SCOPED_TRACE(closed ? "closed" : "unclosed");
        Grip grip;
        Bytes frame = StatusFrame(stuffed);
        if (!closed) frame.pop_back();
        grip.device.Send(Concat({frame, {0xDF, 0x34, 0x12, 0x09}}));
        EXPECT_EQ(grip.handle.GetStavrinStatus().device_id, 9);
        EXPECT_EQ(grip.handle.Receive(), 3);
    }
}

// A block whose last byte comes stuffed (DB DC) is whole before its END: the status read
// returns without waiting for the END, whether it came with the block, comes later or never
// does. A late END is taken before the next message, and only an END is: the next Receive
// finds its message either way.
struct ClosingEnd {
    const char* name;
    bool with_block;                  // the END is sent with the block
    bool late;                        // the END comes after the call, ahead of the message
    std::chrono::milliseconds delay;  // the message (and a late END) this long after the call
};

class StuffedLastByte : public testing::TestWithParam<ClosingEnd> {};

TEST_P(StuffedLastByte, StavrinStatusReturnsWithoutWaitingForTheEnd) {
    const ClosingEnd& c = GetParam();
    constexpr float kLongTimeout = 2.0f;
    Grip grip(kLongTimeout);
    Block block = MakeBlock(4, 0x25, 9, {0x1234, 0, 0, 0}, 100);
    block[17] = 0xC0;  // raw bytes 18 and 19
    Bytes frame = StatusFrame(block);
    if (!c.with_block) frame.pop_back();
    grip.device.Send(frame);

    StavrinStatus status{};
    const double seconds = Testing::SecondsTaken([&] { status = grip.handle.GetStavrinStatus(); });
    EXPECT_LT(seconds, kLongTimeout / 2);
    EXPECT_EQ(status.error_flag, 4);
    EXPECT_EQ(status.device_id, 9);

    const Bytes message = Concat({c.late ? Bytes{0xC0} : Bytes{}, {0xDF, 0x34, 0x12, 0x09}});
    if (c.delay.count() == 0) {
        grip.device.Send(message);
    } else {
        grip.device.SendLater(message, c.delay);
    }
    EXPECT_EQ(grip.handle.Receive(), 3);
    EXPECT_EQ(grip.handle.calls, (std::vector<std::string>{"error", "error record"}));
}

INSTANTIATE_TEST_SUITE_P(
    Handle, StuffedLastByte,
    testing::Values(
        ClosingEnd{"end_with_the_block", true, false, std::chrono::milliseconds(0)},
        ClosingEnd{"end_before_the_next_read", false, true, std::chrono::milliseconds(0)},
        ClosingEnd{"end_while_the_next_read_waits", false, true, std::chrono::milliseconds(10)},
        ClosingEnd{"no_end_message_queued", false, false, std::chrono::milliseconds(0)},
        ClosingEnd{"no_end_message_later", false, false, std::chrono::milliseconds(10)}),
    [](const testing::TestParamInfo<ClosingEnd>& param) { return std::string(param.param.name); });

// receive() tells how each read ended and calls no callback; its message is whole or none.
TEST(Handle, ReceiveTellsHowTheReadEnded) {
    using Kind = Devices::HandleMessage::Kind;
    struct Case {
        const char* name;
        Bytes sent;
        Outcome::Kind outcome;
        Kind message;
        Bytes received;
    };
    const Bytes info = {0xD0, 0x2C, 0x01, 5, 6, 7, 8};
    const Bytes status = StatusMessage({0xAB, 0xCD});
    const std::vector<Case> cases = {
        {"info", info, Outcome::Kind::Answered, Kind::Info, {0xD0}},
        {"status", status, Outcome::Kind::Answered, Kind::Status, {0xDA}},
        {"error", {0xDF, 0x34, 0x12, 9}, Outcome::Kind::Answered, Kind::Error, {0xDF}},
        {"nothing", {}, Outcome::Kind::NoAnswer, Kind::None, {}},
        {"cut",
         Bytes(status.begin(), status.begin() + 12),
         Outcome::Kind::NoAnswer,
         Kind::None,
         {0xDA}},
        {"junk", {0x55, 0xD0}, Outcome::Kind::BadAnswer, Kind::None, {0x55}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Grip grip;
        grip.device.Send(c.sent);
        Devices::HandleMessage message;
        testing::internal::CaptureStderr();
        const Outcome outcome = grip.handle.receive(message, Deadline::After(0.1));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(outcome.kind, c.outcome);
        EXPECT_EQ(message.kind, c.message);
        EXPECT_EQ(Bytes(outcome.received.begin(),
                        outcome.received.begin() + static_cast<long>(outcome.received_length)),
                  c.received);
        EXPECT_TRUE(grip.handle.calls.empty());
    }
    Grip grip;
    grip.device.Send(status);
    Devices::HandleMessage message;
    ASSERT_TRUE(grip.handle.receive(message, Deadline::After(0.1)).answered());
    EXPECT_EQ(message.status.device_id, 0x0102);
    EXPECT_EQ(message.status.quaternion[1], -0.25f);
    EXPECT_EQ(Bytes(message.status.user_data, message.status.user_data + 2), (Bytes{0xAB, 0xCD}));
}

// A message that a caller's deadline cuts in its middle is not lost: the next receive()
// finishes it, in the fixed part and in the user data alike.
TEST(Handle, ReceiveFinishesAMessageADeadlineCut) {
    const Bytes status = StatusMessage({0xAB, 0xCD, 0xEF});
    for (const long cut : {1L, 12L, 23L}) {
        SCOPED_TRACE(cut);
        Grip grip;
        grip.device.Send(Bytes(status.begin(), status.begin() + cut));
        Devices::HandleMessage message;
        testing::internal::CaptureStderr();
        EXPECT_EQ(grip.handle.receive(message, Deadline::After(0.05)).kind,
                  Outcome::Kind::NoAnswer);
        testing::internal::GetCapturedStderr();
        grip.device.Send(
            Concat({Bytes(status.begin() + cut, status.end()), {0xDF, 0x34, 0x12, 9}}));
        ASSERT_TRUE(grip.handle.receive(message, Deadline::After(0.1)).answered());
        EXPECT_EQ(message.kind, Devices::HandleMessage::Kind::Status);
        EXPECT_EQ(message.status.device_id, 0x0102);
        EXPECT_EQ(Bytes(message.status.user_data, message.status.user_data + 3),
                  (Bytes{0xAB, 0xCD, 0xEF}));
        ASSERT_TRUE(grip.handle.receive(message, Deadline::After(0.1)).answered());
        EXPECT_EQ(message.kind, Devices::HandleMessage::Kind::Error);
    }
}

// status() takes only a block closed by END: a grip sending plain status messages answers
// with bytes that make none, and that is a bad answer carrying them, never a decoded block.
TEST(Handle, StatusRefusesWhatIsNoClosedBlock) {
    struct Case {
        const char* name;
        Bytes sent;
        Outcome::Kind kind;
    };
    const Block block = MakeBlock(4, 0x25, 9, {0x1234, 0, 0, 0}, 100);
    Bytes unclosed = StatusFrame(block);
    unclosed.back() = 0x55;
    const std::vector<Case> cases = {
        {"closed block", StatusFrame(block), Outcome::Kind::Answered},
        {"plain status message", StatusMessage({}), Outcome::Kind::BadAnswer},
        {"block closed by another byte", unclosed, Outcome::Kind::BadAnswer},
        {"nothing", {}, Outcome::Kind::NoAnswer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Grip grip;
        grip.device.Send(c.sent);
        StavrinStatus status{};
        const Deadline deadline = Deadline::After(0.1);
        testing::internal::CaptureStderr();
        const Outcome outcome = grip.handle.status(status, deadline);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(status.device_id, c.kind == Outcome::Kind::Answered ? 9 : 0);
        if (c.kind == Outcome::Kind::BadAnswer) {
            ASSERT_EQ(outcome.received_length, 20u);
            EXPECT_TRUE(std::equal(c.sent.begin(), c.sent.begin() + 20, outcome.received.begin()));
        }
    }
}

// Once identify() has heard the grip, a status block that names another grip is none of
// its own: most often another grip on a shared line answered.
TEST(Handle, StatusOfAnIdentifiedGripIsOnlyItsOwnBlock) {
    struct Case {
        const char* name;
        std::uint8_t block_id;
        Outcome::Kind kind;
    };
    for (const Case& c : {Case{"its own block", 9, Outcome::Kind::Answered},
                          Case{"another grip's block", 7, Outcome::Kind::BadAnswer}}) {
        SCOPED_TRACE(c.name);
        Grip grip;
        grip.device.Send({0xD0, 0x09, 0x01, 5, 6, 7, 8});  // device id 0x0109
        GripIdentity identity;
        const Deadline wake = Deadline::After(1.0);
        ASSERT_TRUE(grip.handle.identify(identity, Limits::By(wake)).answered());
        ASSERT_EQ(identity.info.device_id, 0x0109);

        grip.device.Send(StatusFrame(MakeBlock(4, 0x25, c.block_id, {0x1234, 0, 0, 0}, 100)));
        StavrinStatus status{};
        const Outcome outcome = grip.handle.status(status, Deadline::After(1.0));
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(status.device_id, c.kind == Outcome::Kind::Answered ? 9 : 0);
    }
}

// The grip may receive on one thread while another sends: the two share no mutable state
// below the device (checked under ThreadSanitizer too).
TEST(Handle, ReceivesOnOneThreadWhileAnotherSends) {
    Grip grip;
    constexpr int kMessages = 200;
    Bytes messages;
    for (int i = 0; i < kMessages; ++i) {
        const Bytes message = StatusMessage({static_cast<std::uint8_t>(i)});
        messages.insert(messages.end(), message.begin(), message.end());
    }
    grip.device.Send(messages);

    int received = 0;
    std::thread receiver([&] {
        for (int i = 0; i < kMessages; ++i) received += grip.handle.Receive() == 22 ? 1 : 0;
    });
    for (int i = 0; i < kMessages; ++i) {
        const std::uint8_t data = static_cast<std::uint8_t>(i);
        grip.handle.SendHandleState(7, 1, &data);
    }
    receiver.join();
    EXPECT_EQ(received, kMessages);
    const Bytes sent = grip.device.ReceiveAll();
    ASSERT_EQ(sent.size(), 5u * kMessages);
    for (int i = 0; i < kMessages; ++i) {
        EXPECT_EQ(Bytes(sent.begin() + 5 * i, sent.begin() + 5 * (i + 1)),
                  (Bytes{0xDB, 7, 0, 1, static_cast<std::uint8_t>(i)}));
    }
}
