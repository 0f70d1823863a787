// An answer that comes after its exchange gave up is owed: it is thrown away when it lands
// and never handed to a later request, on the deadline path and the legacy one alike.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "LineDevice.h"
#include "base/Wire.h"
#include "devices/Kalvar.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
using std::chrono::milliseconds;
using Testing::Bytes;
using Testing::FloatBytes;
using Testing::LineDevice;

namespace {

constexpr float kTimeout = 0.05f;
// The velocity every answer carries: its bytes 00 00 2B 42 hold the answer's own code, so
// that an answer cut before them leaves a rest that begins like an answer.
constexpr float kVelocity = 42.75f;
constexpr std::size_t kBeforeCode = 15;

// How the arm answers one request: `first` bytes of the answer after `delay`, the rest
// `rest_delay` later.
struct Late {
    milliseconds delay{0};
    std::size_t first = 25;
    milliseconds rest_delay{0};
    bool never = false;
};

// An arm whose answer to a force request carries the request's number, its x force, in
// every position field, so that an answer handed to the wrong request shows.
class NumberedArm {
  public:
    NumberedArm(const LineDevice& device, std::map<int, Late> plan)
        : device_(device), plan_(std::move(plan)), thread_([this] { Serve(); }) {}
    ~NumberedArm() {
        stop_ = true;
        thread_.join();
    }

  private:
    void Serve() {
        while (!stop_) {
            const Bytes request = device_.Receive(13, 0.02);
            if (request.size() < 13) continue;
            const float number = Wire::LoadFloat(&request[1]);
            Bytes answer = FloatBytes({number, number, number, kVelocity, kVelocity, kVelocity});
            answer.insert(answer.begin(), 0x2B);
            const auto late = plan_.find(static_cast<int>(number));
            if (late == plan_.end()) {
                device_.Send(answer);
                continue;
            }
            if (late->second.never) continue;
            std::this_thread::sleep_for(late->second.delay);
            device_.Send(Bytes(answer.begin(), answer.begin() + late->second.first));
            std::this_thread::sleep_for(late->second.rest_delay);
            device_.Send(Bytes(answer.begin() + late->second.first, answer.end()));
        }
    }

    const LineDevice& device_;
    std::map<int, Late> plan_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Case {
    const char* name;
    bool deadline;  // the outcome-returning exchange, or the legacy call
    Late late;      // how request 3 is answered
};

class OwedAnswer : public testing::TestWithParam<Case> {};

// Each call's values are its own request's, or (a failed call) zeros; after the late
// answer, the exchanges recover within a few calls.
TEST_P(OwedAnswer, IsNeverHandedToALaterRequest) {
    const Case& c = GetParam();
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    Kalvar arm(&stream, kTimeout);
    NumberedArm played(device, {{3, c.late}});

    constexpr int kCalls = 24;
    std::vector<float> got(kCalls + 1, 0.0f);
    testing::internal::CaptureStderr();
    for (int i = 1; i <= kCalls; ++i) {
        const auto number = static_cast<float>(i);
        KalvarState state;
        if (c.deadline) {
            const Deadline deadline = Deadline::After(kTimeout);
            arm.command(KalvarMessages::kForce, {number, 0, 0}, KalvarMessages::kEndEffectorState,
                        state, Limits::By(deadline));
        } else {
            state = arm.end_effector_force({number, 0, 0});
        }
        const bool failed = state.first == Vec3{} && state.second == Vec3{};
        EXPECT_TRUE(failed || (state.first == Vec3{number, number, number} &&
                               state.second == Vec3{kVelocity, kVelocity, kVelocity}))
            << "call " << i << " got " << state.first[0] << ", " << state.second[0];
        got[i] = state.first[0];
        // A lost answer is given up after the line stayed quiet for ten exchanges' waits.
        if (i == 6 && c.late.never) std::this_thread::sleep_for(milliseconds(600));
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(got[1], 1.0f);
    EXPECT_EQ(got[3], 0.0f);
    for (int i = kCalls - 8; i <= kCalls; ++i) EXPECT_EQ(got[i], float(i)) << "not recovered";
}

INSTANTIATE_TEST_SUITE_P(
    Kalvar, OwedAnswer,
    testing::Values(
        Case{"deadline_whole_answer_late", true, Late{milliseconds(150)}},
        Case{"legacy_whole_answer_late", false, Late{milliseconds(130)}},
        Case{"deadline_rest_late", true, Late{milliseconds(0), kBeforeCode, milliseconds(150)}},
        Case{"legacy_rest_late", false, Late{milliseconds(0), kBeforeCode, milliseconds(80)}},
        Case{"deadline_never_answered", true, Late{{}, 25, {}, true}},
        Case{"legacy_never_answered", false, Late{{}, 25, {}, true}}),
    [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

// While the answer is owed nothing is sent: the device never holds two requests.
TEST(Kalvar, NothingIsSentWhileAnAnswerIsOwed) {
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    Kalvar arm(&stream, kTimeout);
    KalvarState state;
    const Deadline first = Deadline::After(kTimeout);
    EXPECT_EQ(arm.command(KalvarMessages::kForce, {1, 0, 0}, KalvarMessages::kEndEffectorState,
                          state, Limits::By(first))
                  .kind,
              Outcome::Kind::NoAnswer);
    EXPECT_EQ(device.Receive(13).size(), 13u);
    EXPECT_EQ(arm.owed(), 25u);

    const Deadline second = Deadline::After(kTimeout);
    EXPECT_EQ(arm.command(KalvarMessages::kForce, {2, 0, 0}, KalvarMessages::kEndEffectorState,
                          state, Limits::By(second))
                  .kind,
              Outcome::Kind::NoAnswer);
    EXPECT_TRUE(device.Receive(13, 0.1).empty());
}

}  // namespace
