#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "devices/HandleMessages.h"
#include "devices/KalvarMessages.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
namespace Arm = KalvarMessages;
namespace Grip = HandleMessages;

namespace {

using Bytes = std::vector<std::uint8_t>;

// The longest payload of either device: a status message with all its user data.
constexpr std::size_t kMostPayload = Grip::kStatus.length + 255;
// The user data the rows' variable messages carry.
constexpr std::uint8_t kUserData = 5;

// One message of a table: a request (with its method) or an answer (with its name).
struct Row {
    Frame frame;
    bool request;
    std::string name;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

std::string RowName(const testing::TestParamInfo<Row>& info) {
    std::string name = (info.param.request ? "request_" : "answer_") + info.param.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

template <std::size_t M, std::size_t N>
std::vector<Row> RowsOf(const Exchange (&exchanges)[M], const Answer (&answers)[N]) {
    std::vector<Row> rows;
    for (const Exchange& exchange : exchanges)
        rows.push_back({exchange.request, true, exchange.method});
    for (const Answer& answer : answers) rows.push_back({answer.frame, false, answer.name});
    return rows;
}

// Bytes 0x10, 0x11...: whatever record they make, no float among them is a NaN.
Bytes Pattern(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(0x10 + i);
    return bytes;
}

// Decodes `payload` and encodes the record again; then decodes and encodes that, which must
// give the same bytes. Returns the bytes the first encoding wrote.
template <typename Record>
Bytes Reencode(Record (*decode)(const std::uint8_t*),
               std::size_t (*encode)(const Record&, std::uint8_t*), const Bytes& payload) {
    std::uint8_t first[kMostPayload] = {};
    std::uint8_t second[kMostPayload] = {};
    const std::size_t n = encode(decode(payload.data()), first);
    const std::size_t again = encode(decode(first), second);
    EXPECT_EQ(again, n);
    EXPECT_EQ(Bytes(second, second + again), Bytes(first, first + n));
    return Bytes(first, first + n);
}

// The row's record decodes and encodes it.
Bytes ArmReencode(const Row& row, const Bytes& payload) {
    Bytes out;
    const bool known = Arm::VisitRecord(row.request, row.frame.code, [&](auto record) {
        out = Reencode(&Arm::Decode<decltype(record)>, &Arm::Encode, payload);
    });
    EXPECT_TRUE(known) << "no record for " << row.name;
    return out;
}

Bytes GripReencode(const Row& row, const Bytes& payload) {
    Bytes out;
    const bool known = Grip::VisitRecord(row.request, row.frame.code, [&](auto record) {
        out = Reencode(&Grip::Decode<decltype(record)>, &Grip::Encode, payload);
    });
    EXPECT_TRUE(known) << "no record for " << row.name;
    return out;
}

class ArmTable : public testing::TestWithParam<Row> {};
class GripTable : public testing::TestWithParam<Row> {};

Bytes Float(float value) {
    Bytes bytes(4);
    Wire::StoreFloat(bytes.data(), value);
    return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

// Every row's payload comes back byte for byte from its record, at the row's length.
TEST_P(ArmTable, EncodesTheBytesItDecoded) {
    const Row& row = GetParam();
    const Bytes payload = Pattern(row.frame.length);
    EXPECT_EQ(ArmReencode(row, payload), payload);
}

INSTANTIATE_TEST_SUITE_P(Messages, ArmTable,
                         testing::ValuesIn(RowsOf(Arm::kExchanges, Arm::kAnswers)), RowName);

// The variable messages carry user data after their fixed part, whose last byte counts it.
TEST_P(GripTable, EncodesTheBytesItDecoded) {
    const Row& row = GetParam();
    const bool variable =
        row.frame.code == (row.request ? Grip::kHandleState.code : Grip::kStatus.code);
    Bytes payload = Pattern(row.frame.length + (variable ? kUserData : 0u));
    if (variable) payload[row.frame.length - 1] = kUserData;
    EXPECT_EQ(GripReencode(row, payload), payload);
}

INSTANTIATE_TEST_SUITE_P(Messages, GripTable,
                         testing::ValuesIn(RowsOf(Grip::kExchanges, Grip::kAnswers)), RowName);

TEST(Messages, EveryArmRequestWaitsForAnAnswerOfTheTable) {
    for (const Exchange& exchange : Arm::kExchanges) {
        EXPECT_EQ(Arm::AnswerTo(exchange.request).code, exchange.answer.code);
        EXPECT_NE(Arm::FindAnswer(exchange.answer.code), nullptr) << exchange.method;
    }
}

TEST(Messages, TheGripsRequestsWaitForItsInformationAndStatus) {
    EXPECT_EQ(Grip::AnswerTo(Grip::kWakeup).code, Grip::kInfo.code);
    EXPECT_EQ(Grip::AnswerTo(Grip::kStatusRequest).code, Grip::kStatus.code);
    EXPECT_EQ(Grip::AnswerTo(Grip::kHandleState).code, kNoAnswer.code);
}

TEST(Messages, DecodesTheArmsFields) {
    const Bytes info = {0x34, 0x12, 4, 3, 14, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const DeviceInfo decoded = Arm::Decode<DeviceInfo>(info.data());
    EXPECT_EQ(decoded.device_id, 0x1234);
    EXPECT_EQ(decoded.device_model_number, 4);
    EXPECT_EQ(decoded.hardware_version, 3);
    EXPECT_EQ(decoded.firmware_version, 14);
    EXPECT_EQ(decoded.device_id_ext.bytes[15], 15);

    const Bytes state =
        Join({Float(1.0f), Float(-2.0f), Float(0.5f), Float(3.0f), Float(-0.25f), Float(8.0f)});
    const Arm::State both = Arm::Decode<Arm::State>(state.data());
    EXPECT_EQ(both.first, (std::array<float, 3>{1.0f, -2.0f, 0.5f}));
    EXPECT_EQ(both.second, (std::array<float, 3>{3.0f, -0.25f, 8.0f}));

    const Bytes identifier = Join({{Arm::kFirmwareIdentifier, 16}, Pattern(16)});
    const Arm::Identifier id = Arm::Decode<Arm::Identifier>(identifier.data());
    EXPECT_EQ(id.sub_code, Arm::kFirmwareIdentifier);
    EXPECT_EQ(id.length, 16);
    EXPECT_EQ(id.bytes[0], 0x10);
    EXPECT_EQ(id.bytes[15], 0x1F);

    EXPECT_EQ(Arm::Decode<Arm::Temperature>(Float(25.0f).data()).degrees, 25.0f);
    const Bytes orientation = Join({Float(0.0f), Float(0.5f), Float(-0.5f), Float(1.0f)});
    EXPECT_EQ(Arm::Decode<Arm::Orientation>(orientation.data()).quaternion,
              (std::array<float, 4>{0.0f, 0.5f, -0.5f, 1.0f}));
    const std::uint8_t powered = 1;
    EXPECT_EQ(Arm::Decode<Arm::PowerStatus>(&powered).powered, 1);

    std::uint8_t out[Arm::kJointTorques.length];
    ASSERT_EQ(Arm::Encode(Arm::Vector{{1.0f, -2.0f, 0.5f}}, out), sizeof out);
    EXPECT_EQ(Bytes(out, out + sizeof out), Join({Float(1.0f), Float(-2.0f), Float(0.5f)}));
}

TEST(Messages, DecodesTheGripsFields) {
    const Bytes info = {0x34, 0x12, 100, 2, 1, 9};
    const HandleInfoResponse decoded = Grip::Decode<HandleInfoResponse>(info.data());
    EXPECT_EQ(decoded.device_id, 0x1234);
    EXPECT_EQ(decoded.tool_data_remaining, 100);
    EXPECT_EQ(decoded.device_model_number, 2);
    EXPECT_EQ(decoded.hardware_version, 1);
    EXPECT_EQ(decoded.firmware_version, 9);

    const Bytes status = Join({{0x34, 0x12, 1, 17},
                               Float(0.0f),
                               Float(0.5f),
                               Float(-0.5f),
                               Float(1.0f),
                               {2, 0xAA, 0xBB}});
    const HandleStatusMessage message = Grip::Decode<HandleStatusMessage>(status.data());
    EXPECT_EQ(message.device_id, 0x1234);
    EXPECT_EQ(message.error_flag, 1);
    EXPECT_EQ(message.hall_effect_sensor_level, 17);
    EXPECT_EQ(message.quaternion[1], 0.5f);
    EXPECT_EQ(message.quaternion[3], 1.0f);
    ASSERT_EQ(message.user_data_length, 2);
    EXPECT_EQ(message.user_data[0], 0xAA);
    EXPECT_EQ(message.user_data[1], 0xBB);
    EXPECT_EQ(message.user_data[2], 0) << "nothing past the user data";

    const Bytes error = {0x34, 0x12, Grip::kUnknownCommand};
    const HandleErrorResponse response = Grip::Decode<HandleErrorResponse>(error.data());
    EXPECT_EQ(response.device_id, 0x1234);
    EXPECT_EQ(response.error_code, Grip::kUnknownCommand);

    HandleState state;
    state.device_id = 0x1234;
    state.user_data_length = 3;
    state.user_data[0] = 7;
    state.user_data[2] = 9;
    std::uint8_t out[kMostPayload];
    const std::size_t n = Grip::Encode(state, out);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x34, 0x12, 3, 7, 0, 9}));
}

// A stuffed block with END and escape bytes in its device id, a quaternion component and the
// battery, written out by hand.
TEST(Messages, DecodesAndEncodesAStuffedStatusBlockByteForByte) {
    const Bytes raw = {0x00, 0x00, 0x01, 0xB1, 0xDB, 0xDC, 0x00, 0x00, 0x00, 0x00, 0x40, 0xDB,
                       0xDC, 0xDB, 0xDD, 0x00, 0x80, 0xDB, 0xDD, 0x00, 0xDB, 0xDD, 0x00, 0xC0};
    std::uint8_t block[Grip::kBlockLength];
    ASSERT_EQ(Grip::UnstuffStatusBlock(raw.data(), raw.size(), block),
              static_cast<long>(raw.size()));
    const StavrinStatus status = Grip::Decode<StavrinStatus>(block);
    EXPECT_EQ(status.error_flag, 1);
    EXPECT_EQ(status.buttons, 5);
    EXPECT_EQ(status.hall_effect_sensor_level, 17);
    EXPECT_EQ(status.device_id, 0xC0);
    EXPECT_EQ(status.quaternion[0], 0.5f);
    EXPECT_EQ(status.quaternion[1], -9280.0f / 32768.0f);  // 0xDBC0
    EXPECT_EQ(status.quaternion[2], -1.0f);
    EXPECT_EQ(status.quaternion[3], 219.0f / 32768.0f);
    EXPECT_EQ(status.battery_level, static_cast<float>(0xDB * 0.005 + 3.0));

    std::uint8_t encoded[Grip::kBlockLength];
    ASSERT_EQ(Grip::Encode(status, encoded), Grip::kBlockLength);
    std::uint8_t stuffed[Grip::kMostRawBytes];
    const std::size_t n = Grip::StuffStatusBlock(encoded, stuffed);
    EXPECT_EQ(Bytes(stuffed, stuffed + n), raw);
}

// Every quaternion step and battery step comes back from its record.
TEST(Messages, TheStatusBlocksRecordComesBackFromItsBytes) {
    for (int step = 0; step < 256; ++step) {
        StavrinStatus status{};
        status.device_id = static_cast<std::uint8_t>(step);
        status.buttons = static_cast<std::uint8_t>(step % 8);
        status.hall_effect_sensor_level = static_cast<std::uint8_t>(step % 32);
        status.quaternion[0] = static_cast<float>((step * 257 - 32768) * Grip::kQ15Scale);
        status.quaternion[1] = static_cast<float>((32767 - step * 128) * Grip::kQ15Scale);
        status.battery_level =
            static_cast<float>(step * Grip::kBatteryVoltsPerStep + Grip::kBatteryBaseVolts);
        std::uint8_t block[Grip::kBlockLength];
        Grip::Encode(status, block);
        const StavrinStatus back = Grip::Decode<StavrinStatus>(block);
        EXPECT_EQ(back.device_id, status.device_id);
        EXPECT_EQ(back.buttons, status.buttons);
        EXPECT_EQ(back.hall_effect_sensor_level, status.hall_effect_sensor_level);
        EXPECT_EQ(back.quaternion[0], status.quaternion[0]) << step;
        EXPECT_EQ(back.quaternion[1], status.quaternion[1]) << step;
        EXPECT_EQ(back.battery_level, status.battery_level) << step;
    }
}
