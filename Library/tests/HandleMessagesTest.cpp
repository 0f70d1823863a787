#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "devices/HandleMessages.h"

using namespace Brivane::HardwareAPI::Devices;
namespace M = HandleMessages;

namespace {

using Block = std::uint8_t[M::kBlockLength];

// A block whose bytes are 0x10, 0x11..., with `special` at `at`.
void MakeBlock(Block& block, std::size_t at, std::uint8_t special) {
    for (std::size_t i = 0; i < M::kBlockLength; ++i)
        block[i] = static_cast<std::uint8_t>(0x10 + i);
    block[at] = special;
}

class StatusBlock : public ::testing::TestWithParam<std::uint8_t> {};

}  // namespace

// Stuffed and unstuffed again, an END or an escape at every offset comes back as it was, and
// the raw count includes the closing END.
TEST_P(StatusBlock, StuffsAndUnstuffsAtEveryOffset) {
    for (std::size_t at = 0; at < M::kBlockLength; ++at) {
        Block block, back{};
        MakeBlock(block, at, GetParam());
        std::uint8_t raw[M::kMostRawBytes];
        const std::size_t n = M::StuffStatusBlock(block, raw);
        const bool stuffed = GetParam() == M::kSlipEnd || GetParam() == M::kSlipEsc;
        ASSERT_EQ(n, M::kBlockLength + 1 + stuffed);
        EXPECT_EQ(M::UnstuffStatusBlock(raw, n, back), static_cast<long>(n));
        for (std::size_t i = 0; i < M::kBlockLength; ++i) EXPECT_EQ(back[i], block[i]) << at;
        EXPECT_EQ(M::UnstuffStatusBlock(raw, n - 2, back), 0) << "needs more bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(HandleMessages, StatusBlock,
                         ::testing::Values(M::kSlipEnd, M::kSlipEsc, std::uint8_t{0x00}));

TEST(HandleMessages, UnstuffRefusesAnEarlyEndAndEndlessEscapes) {
    Block block{};
    const std::uint8_t ended[] = {1, 2, M::kSlipEnd, 4};
    EXPECT_EQ(M::UnstuffStatusBlock(ended, sizeof ended, block), -1);
    std::vector<std::uint8_t> escapes(64, M::kSlipEsc);
    EXPECT_EQ(M::UnstuffStatusBlock(escapes.data(), escapes.size(), block), -1);
}

TEST(HandleMessages, DecodesTheBlocksFields) {
    Block block{};
    block[M::kBlockErrorFlag] = 3;
    block[M::kBlockButtonsAndHall] = (5 << 5) | 17;
    block[M::kBlockDeviceId] = 9;
    block[M::kBlockQuaternion] = 0x00;  // +0.5
    block[M::kBlockQuaternion + 1] = 0x40;
    block[M::kBlockQuaternion + 2] = 0x00;  // -1
    block[M::kBlockQuaternion + 3] = 0x80;
    block[M::kBlockBattery] = 180;
    const StavrinStatus status = M::DecodeStatusBlock(block);
    EXPECT_EQ(status.error_flag, 3);
    EXPECT_EQ(status.buttons, 5);
    EXPECT_EQ(status.hall_effect_sensor_level, 17);
    EXPECT_EQ(status.device_id, 9);
    EXPECT_EQ(status.quaternion[0], 0.5f);
    EXPECT_EQ(status.quaternion[1], -1.0f);
    EXPECT_EQ(status.battery_level, 3.9f);
}
