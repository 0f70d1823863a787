#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PtyDevice.h"
#include "devices/DeviceDetection.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using Devices::ProbeTimes;
using IO::PortKind;
using IO::SerialPortInfo;
using Testing::Bytes;
using Testing::PtyDevice;
using Testing::SecondsTaken;
using namespace std::chrono_literals;

namespace {

constexpr float kTimeout = 0.3f;
// The device timeout against the two waits keeps the proportions of the real values.
constexpr ProbeTimes kTimes{kTimeout, 0.2, 0.3};
const std::string kMissing = "/dev/ttyDetectionMissing0";

// A device that answers every wake-up byte with `answer` after `delay`; an empty answer
// makes a silent device that still counts the wake-ups it got.
class AnsweringDevice {
  public:
    explicit AnsweringDevice(Bytes answer, std::chrono::milliseconds delay = 0ms)
        : answer_(std::move(answer)), delay_(delay), thread_([this] { Run(); }) {}
    ~AnsweringDevice() {
        stop_ = true;
        thread_.join();
    }

    const std::string& path() const { return device_.path(); }
    int wakeups() const { return wakeups_; }

  private:
    void Run() {
        while (!stop_) {
            const Bytes request = device_.Receive(1, 0.02);
            if (request != Bytes{0x0A}) continue;
            ++wakeups_;
            std::this_thread::sleep_for(delay_);
            if (!answer_.empty()) device_.Send(answer_);
        }
    }

    PtyDevice device_;
    Bytes answer_;
    std::chrono::milliseconds delay_;
    std::atomic<bool> stop_{false};
    std::atomic<int> wakeups_{0};
    std::thread thread_;
};

Bytes ArmInfo(std::uint8_t model) {
    Bytes info = {0x0B, 0x34, 0x12, model, 2, 3};
    for (std::uint8_t i = 0; i < 16; ++i) info.push_back(i);
    return info;
}
Bytes GripInfo() {
    return {0xD0, 0x01, 0x07, 0x00, 5, 1, 2};
}
Bytes GripStatus() {
    Bytes status = {0xDA, 0x07, 0x00, 0, 9};
    status.resize(status.size() + 16);  // quaternion
    status.push_back(0);                // no user data
    return status;
}
Bytes GripError() {
    return {0xDF, 0x07, 0x00, 0x03};
}

// Every probe closed its port: each opens again (the ports are opened exclusively).
void ExpectReopens(const std::vector<const AnsweringDevice*>& devices) {
    for (const AnsweringDevice* device : devices) {
        IO::SerialStream stream(device->path().c_str(), false);
        EXPECT_EQ(stream.Open(), 1) << device->path();
    }
}

int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace

TEST(DeviceDetection, KalvarsAreArmsOfModelFourOnUsbSerialPortsInOrder) {
    AnsweringDevice arm(ArmInfo(4)), other_model(ArmInfo(7)), grip(GripInfo()), silent({}),
        held(ArmInfo(4)), wired_arm(ArmInfo(4));
    IO::SerialStream holder(held.path().c_str(), true);
    const std::vector<SerialPortInfo> ports = {
        {other_model.path(), PortKind::UsbSerial}, {arm.path(), PortKind::UsbSerial},
        {grip.path(), PortKind::UsbSerial},        {silent.path(), PortKind::UsbSerial},
        {held.path(), PortKind::UsbSerial},        {kMissing, PortKind::UsbSerial},
        {wired_arm.path(), PortKind::WiredSerial}, {arm.path(), PortKind::UsbSerial},
    };

    testing::internal::CaptureStderr();
    const auto found = Devices::DetectKalvars(ports, kTimes);
    const std::string lines = testing::internal::GetCapturedStderr();

    EXPECT_EQ(found, (std::vector<std::string>{arm.path(), arm.path()}));
    EXPECT_EQ(arm.wakeups(), 2);
    EXPECT_EQ(other_model.wakeups(), 1);
    EXPECT_EQ(grip.wakeups(), 1);
    EXPECT_EQ(silent.wakeups(), 1);
    EXPECT_EQ(held.wakeups(), 0);
    EXPECT_EQ(wired_arm.wakeups(), 0);  // not a kind the arm is looked for on
    EXPECT_EQ(Count(lines, "unable to open port '" + held.path() + "'"), 1) << lines;
    EXPECT_EQ(Count(lines, "unable to open port '" + kMissing + "'"), 1) << lines;

    ExpectReopens({&arm, &other_model, &grip, &silent, &wired_arm});
}

TEST(DeviceDetection, HandlesAnswerWithInformationOrStatusOnTheirKindsOfPort) {
    AnsweringDevice wired(GripInfo()), wireless(GripStatus()), usb(GripInfo()),
        error_only(GripError()), arm(ArmInfo(4)), silent({}), held(GripInfo());
    IO::SerialStream holder(held.path().c_str(), true);
    const std::vector<SerialPortInfo> ports = {
        {wired.path(), PortKind::WiredSerial}, {wireless.path(), PortKind::BluetoothSerial},
        {usb.path(), PortKind::UsbSerial},     {error_only.path(), PortKind::WiredSerial},
        {arm.path(), PortKind::UsbSerial},     {silent.path(), PortKind::BluetoothSerial},
        {held.path(), PortKind::WiredSerial},  {kMissing, PortKind::WiredSerial},
        {wired.path(), PortKind::WiredSerial},
    };

    testing::internal::CaptureStderr();
    EXPECT_EQ(Devices::DetectHandles(ports, kTimes),
              (std::vector<std::string>{wired.path(), wireless.path(), usb.path(), wired.path()}));
    EXPECT_EQ(Devices::DetectWiredHandles(ports, kTimes),
              (std::vector<std::string>{wired.path(), wired.path()}));
    EXPECT_EQ(Devices::DetectWirelessHandles(ports, kTimes),
              (std::vector<std::string>{wireless.path()}));
    testing::internal::GetCapturedStderr();

    // every kind, then the wired ones, then the wireless ones
    EXPECT_EQ(wired.wakeups(), 4);
    EXPECT_EQ(wireless.wakeups(), 2);
    EXPECT_EQ(usb.wakeups(), 1);
    EXPECT_EQ(error_only.wakeups(), 2);
    EXPECT_EQ(arm.wakeups(), 1);
    EXPECT_EQ(silent.wakeups(), 2);
    EXPECT_EQ(held.wakeups(), 0);

    ExpectReopens({&wired, &wireless, &usb, &error_only, &arm, &silent});
}

TEST(DeviceDetection, EachCheckTakesTheExchangeOrItsTimeouts) {
    AnsweringDevice arm(ArmInfo(4)), grip(GripStatus()), silent({});
    bool result = true;

    testing::internal::CaptureStderr();
    EXPECT_LT(SecondsTaken([&] { result = Devices::IsKalvarPort(kMissing.c_str(), kTimes); }), 0.1);
    EXPECT_FALSE(result);
    EXPECT_EQ(Count(testing::internal::GetCapturedStderr(), "unable to open port"), 1);

    testing::internal::CaptureStderr();
    EXPECT_LT(SecondsTaken([&] { result = Devices::IsKalvarPort(arm.path().c_str(), kTimes); }),
              0.15);
    EXPECT_TRUE(result);
    EXPECT_LT(SecondsTaken([&] { result = Devices::IsHandlePort(grip.path().c_str(), kTimes); }),
              0.15);
    EXPECT_TRUE(result);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // A silent arm costs the header and the drain timeouts, past the wait: the check still
    // waits for its job. A silent grip costs the header timeout.
    testing::internal::CaptureStderr();
    const double arm_seconds =
        SecondsTaken([&] { result = Devices::IsKalvarPort(silent.path().c_str(), kTimes); });
    EXPECT_FALSE(result);
    EXPECT_EQ(Count(testing::internal::GetCapturedStderr(), "timeout waiting for header code"), 2);
    EXPECT_GE(arm_seconds, 2 * kTimeout);
    EXPECT_LT(arm_seconds, 2 * kTimeout + 0.3);

    testing::internal::CaptureStderr();
    const double grip_seconds =
        SecondsTaken([&] { result = Devices::IsHandlePort(silent.path().c_str(), kTimes); });
    EXPECT_FALSE(result);
    EXPECT_EQ(Count(testing::internal::GetCapturedStderr(), "timeout waiting for header code"), 1);
    EXPECT_GE(grip_seconds, kTimeout);
    EXPECT_LT(grip_seconds, kTimeout + 0.3);
}

TEST(DeviceDetection, AnArmAnsweringAfterTheWaitIsWaitedForButNotListed) {
    AnsweringDevice late_arm(ArmInfo(4), 250ms);
    const ProbeTimes times{1.0f, 0.1, 0.1};
    bool result = true;
    const double seconds =
        SecondsTaken([&] { result = Devices::IsKalvarPort(late_arm.path().c_str(), times); });
    EXPECT_FALSE(result);
    EXPECT_GE(seconds, 0.25);  // the job read the answer before the check returned
    EXPECT_LT(seconds, 0.6);
    EXPECT_EQ(Devices::ProbeKalvar(late_arm.path().c_str(), 1.0f), 1);  // a right answer
}

// The arm probe names a wrong code; a line that fails (the device gone) ends it at once,
// with the one line of the failed read and no drain after it.
TEST(DeviceDetection, TheArmProbeNamesAWrongCodeAndStopsAtAFailedLine) {
    {
        AnsweringDevice wrong(Bytes{0x2B, 1, 2, 3});
        testing::internal::CaptureStderr();
        EXPECT_EQ(Devices::ProbeKalvar(wrong.path().c_str(), kTimeout), 0);
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Count(log, "> unexpected header code 0x2B (a device-info answer begins 0x0B): "),
                  1)
            << log;
    }
    auto device = std::make_unique<PtyDevice>();
    const std::string path = device->path();
    std::thread unplug([&] {
        device->Receive(1, 2.0);  // the wake-up, then the device is gone
        device.reset();
    });
    testing::internal::CaptureStderr();
    int result = 1;
    const double seconds =
        SecondsTaken([&] { result = Devices::ProbeKalvar(path.c_str(), 5 * kTimeout); });
    unplug.join();
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Count(log, "[err] "), 1) << log;
    EXPECT_EQ(Count(log, "unable to read header code from stream"), 1) << log;
    EXPECT_LT(seconds, kTimeout);
}

// The identification the brivane package's probes make: quiet, ending by its time-out as a
// whole (a silent arm costs one time-out, not the header's and the drain's), and telling
// what answered.
TEST(DeviceDetection, AnIdentificationWithinItsTimeIsQuietAndTellsWhatAnswered) {
    using Devices::ProbeLimit;
    AnsweringDevice arm(ArmInfo(4)), other_model(ArmInfo(7)), grip(GripInfo()), silent({});
    testing::internal::CaptureStderr();

    DeviceInfo info;
    EXPECT_TRUE(Devices::IdentifyKalvarPort(arm.path().c_str(), kTimeout, ProbeLimit::Whole, info,
                                            ErrorOutput::Quiet)
                    .answered());
    EXPECT_EQ(info.device_id, 0x1234);
    EXPECT_EQ(info.device_model_number, 4);
    const Devices::Outcome another = Devices::IdentifyKalvarPort(
        other_model.path().c_str(), kTimeout, ProbeLimit::Whole, info, ErrorOutput::Quiet);
    EXPECT_TRUE(Devices::Kalvar::another_model(another));
    EXPECT_EQ(info.device_model_number, 7);

    Devices::GripIdentity identity;
    EXPECT_TRUE(Devices::IdentifyHandlePort(grip.path().c_str(), kTimeout, ProbeLimit::Whole,
                                            identity, ErrorOutput::Quiet)
                    .answered());
    EXPECT_TRUE(identity.informed);

    Devices::Outcome outcome;
    const double seconds = SecondsTaken([&] {
        outcome = Devices::IdentifyKalvarPort(silent.path().c_str(), kTimeout, ProbeLimit::Whole,
                                              info, ErrorOutput::Quiet);
    });
    EXPECT_EQ(outcome.kind, Devices::Outcome::Kind::NoAnswer);
    EXPECT_GE(seconds, kTimeout - 0.01);
    EXPECT_LT(seconds, kTimeout + 0.2);

    outcome = Devices::IdentifyKalvarPort(kMissing.c_str(), kTimeout, ProbeLimit::Whole, info,
                                          ErrorOutput::Quiet);
    EXPECT_EQ(outcome.kind, Devices::Outcome::Kind::LineLost);
    EXPECT_NE(outcome.error, 0);

    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ExpectReopens({&arm, &other_model, &grip, &silent});
}
