// The one identification of each device: what answers a wake-up, told apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LineDevice.h"
#include "devices/Handle.h"
#include "devices/Kalvar.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
using Testing::Bytes;
using Testing::LineDevice;

namespace {

Bytes ArmInfo(std::uint8_t model) {
    Bytes info = {0x0B, 0x34, 0x12, model, 2, 3};
    for (std::uint8_t i = 0; i < 16; ++i) info.push_back(i);
    return info;
}

const Bytes kGripInfo = {0xD0, 0x2C, 0x01, 5, 6, 7, 8};
Bytes GripStatus() {
    Bytes status = {0xDA, 0x07, 0x00, 0, 9};
    status.resize(status.size() + 16);
    status.push_back(0);
    return status;
}

Bytes StatusThenInfo() {
    Bytes bytes = GripStatus();
    bytes.insert(bytes.end(), kGripInfo.begin(), kGripInfo.end());
    return bytes;
}

struct Case {
    const char* name;
    Bytes answer;
    Outcome::Kind kind;
    bool known;  // the record came: the arm's (of any model), the grip's information
};

}  // namespace

TEST(Identify, AnArmIsToldFromAnotherModelAnotherDeviceAndSilence) {
    const std::vector<Case> cases = {
        {"arm", ArmInfo(4), Outcome::Kind::Answered, true},
        {"another model", ArmInfo(7), Outcome::Kind::BadAnswer, true},
        {"another device", kGripInfo, Outcome::Kind::BadAnswer, false},
        {"silence", {}, Outcome::Kind::NoAnswer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LineDevice device;
        IO::SerialStream stream(device.path().c_str(), true);
        Kalvar arm(&stream, 0.1f);
        device.Respond(1, c.answer);
        DeviceInfo info;
        const Deadline deadline = Deadline::After(0.1);
        const Outcome outcome = arm.identify(info, Limits::By(deadline));
        EXPECT_EQ(device.Join(), Bytes{0x0A});
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(info.device_id, c.known ? 0x1234 : 0);
        if (c.known) {
            EXPECT_EQ(info.device_model_number, c.answer[3]);
        }
        if (!c.answer.empty()) {
            EXPECT_EQ(outcome.received[0], c.answer[0]);
        }
    }
}

TEST(Identify, AGripIsToldByItsMessagesFromAnotherDeviceAndSilence) {
    const std::vector<Case> cases = {
        {"information after status", StatusThenInfo(), Outcome::Kind::Answered, true},
        {"status only", GripStatus(), Outcome::Kind::Answered, false},
        {"another device", ArmInfo(4), Outcome::Kind::BadAnswer, false},
        {"silence", {}, Outcome::Kind::NoAnswer, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LineDevice device;
        IO::SerialStream stream(device.path().c_str(), true);
        Handle grip(&stream, 0.1f);
        device.Respond(1, c.answer);
        GripIdentity identity;
        const Deadline deadline = Deadline::After(0.15);
        testing::internal::CaptureStderr();
        const Outcome outcome = grip.identify(identity, Limits::By(deadline));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(device.Join(), Bytes{0x0A});
        EXPECT_EQ(outcome.kind, c.kind);
        EXPECT_EQ(identity.informed, c.known);
        EXPECT_EQ(identity.info.device_id, c.known ? 300 : 0);
    }
}
