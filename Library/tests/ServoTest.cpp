// The servo against an arm played at the far end of a real line: the player answers each
// force request with the state it is given and keeps the forces it was sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "LineDevice.h"
#include "base/Wire.h"
#include "devices/KalvarMessages.h"
#include "servo/Servo.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Haptics;
using Testing::Bytes;
using Testing::FloatBytes;
using Testing::LineDevice;

namespace {

namespace M = Devices::KalvarMessages;
constexpr std::size_t kRequest = 1 + M::kForce.length;

class PlayedArm {
  public:
    PlayedArm() {
        stream.SetErrorOutput(ErrorOutput::Quiet);
        stream.Open();
        player = std::thread([this] { Play(); });
    }
    ~PlayedArm() { Halt(); }

    void Halt() {
        playing = false;
        if (player.joinable()) player.join();
    }
    void LoseLine() {
        Halt();
        device.reset();
    }
    void SetPosition(const Vec3& position) {
        std::lock_guard<std::mutex> lock(mutex);
        position_ = position;
    }
    // The next `count` requests get no answer.
    void Ignore(int count) { ignore = count; }
    std::vector<Vec3> Forces() const {
        std::lock_guard<std::mutex> lock(mutex);
        return forces;
    }
    // Where the last ignored request stands among the forces, once one was ignored.
    std::optional<std::size_t> Ignored() const {
        std::lock_guard<std::mutex> lock(mutex);
        return ignored_at;
    }

    std::unique_ptr<LineDevice> device = std::make_unique<LineDevice>();
    IO::SerialStream stream{device->path().c_str(), false};
    Devices::Kalvar arm{&stream, 0.1f};

  private:
    void Play() {
        Bytes request;
        while (playing) {
            const Bytes more = device->Receive(kRequest - request.size(), 0.02);
            request.insert(request.end(), more.begin(), more.end());
            if (request.size() < kRequest) continue;
            ASSERT_EQ(request[0], M::kForce.code);
            Vec3 force{};
            for (std::size_t i = 0; i < 3; ++i) force[i] = Wire::LoadFloat(&request[1 + 4 * i]);
            request.clear();
            Vec3 position;
            {
                std::lock_guard<std::mutex> lock(mutex);
                forces.push_back(force);
                position = position_;
                if (ignore > 0) {
                    --ignore;
                    ignored_at = forces.size() - 1;
                    continue;
                }
            }
            Bytes answer{M::kEndEffectorState.code};
            const Bytes state = FloatBytes({position[0], position[1], position[2], 0, 0, 0});
            answer.insert(answer.end(), state.begin(), state.end());
            device->Send(answer);
        }
    }

    mutable std::mutex mutex;
    std::vector<Vec3> forces;
    Vec3 position_{};
    std::atomic<int> ignore{0};
    std::optional<std::size_t> ignored_at;
    std::atomic<bool> playing{true};
    std::thread player;
};

// Waits up to 5 s for `condition`: the tests count and compare, they never time.
template <typename Condition>
bool Eventually(Condition condition) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool Near(const Vec3& a, const Vec3& b) {
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::fabs(a[i] - b[i]) > 1e-5f) return false;
    }
    return true;
}

const Vec3 kZero{0, 0, 0};

ServoOptions Immediate(double rate = 200) {
    ServoOptions options;
    options.rate = rate;
    options.ramp = 0;
    return options;
}

EffectSet Only(const Effect& effect) {
    EffectSet set;
    set.add(effect);
    return set;
}

TEST(Servo, SendsTheEffectsForceThenZeroOnStop) {
    PlayedArm played;
    played.SetPosition({0.01f, -0.01f, 0.02f});
    Servo servo(played.arm, Immediate());
    servo.set_effects(Only(Spring{{0, 0, 0}, {10, 20, 30}, 0}));
    ASSERT_EQ(servo.start(), 0);
    EXPECT_TRUE(servo.running());
    ASSERT_TRUE(Eventually([&] { return played.Forces().size() >= 20; }));
    servo.stop();
    EXPECT_FALSE(servo.running());
    EXPECT_EQ(servo.stopped_by().kind, ServoStop::Kind::Requested);

    // The first has no state to go by, and a period without an answer (a busy machine)
    // commands nothing; all others push with the spring, the last one sent pushes no more.
    const std::vector<Vec3> forces = played.Forces();
    EXPECT_TRUE(Near(forces.front(), kZero));
    std::size_t springs = 0;
    for (const Vec3& force : forces) {
        if (Near(force, {-0.1f, 0.2f, -0.6f})) {
            ++springs;
        } else {
            EXPECT_TRUE(Near(force, kZero));
        }
    }
    EXPECT_GE(springs + servo.statistics().failures + 2, forces.size());
    EXPECT_TRUE(Near(forces.back(), kZero));
}

struct Clamp {
    const char* name;
    Vec3 law;
    Vec3 sent;
};

class ServoClamp : public testing::TestWithParam<Clamp> {};

TEST_P(ServoClamp, HoldsTheForceBelowTheLimit) {
    PlayedArm played;
    ServoOptions options = Immediate();
    options.max_force = 3;
    Servo servo(played.arm, options);
    const Vec3 law = GetParam().law;
    servo.set_law([law](const Sample&) { return law; });
    ASSERT_EQ(servo.start(), 0);
    ASSERT_TRUE(Eventually([&] { return played.Forces().size() >= 10; }));
    servo.stop();
    std::size_t held = 0;
    for (const Vec3& force : played.Forces()) {
        if (Near(force, GetParam().sent)) {
            ++held;
        } else {
            EXPECT_TRUE(Near(force, kZero));  // the first, the last, and unanswered periods'
        }
    }
    EXPECT_GT(held, 0u);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();
INSTANTIATE_TEST_SUITE_P(Laws, ServoClamp,
                         testing::Values(Clamp{"Within", {1, -2, 0}, {1, -2, 0}},
                                         Clamp{"Huge", {300, 0, -400}, {1.8f, 0, -2.4f}},
                                         Clamp{"NaN", {kNaN, 1, 0}, {0, 0, 0}},
                                         Clamp{"Infinite", {0, -kInfinity, 0}, {0, 0, 0}}),
                         [](const testing::TestParamInfo<Clamp>& each) { return each.param.name; });

TEST(Servo, StopsAndSendsZeroWhenTheLawThrows) {
    PlayedArm played;
    Servo servo(played.arm, Immediate());
    servo.set_effects(Only(ConstantForce{{1, 0, 0}}));
    int calls = 0;
    servo.set_law([&calls](const Sample&) -> Vec3 {
        if (++calls == 10) throw std::runtime_error("the law broke");
        return {};
    });
    ASSERT_EQ(servo.start(), 0);
    ASSERT_TRUE(Eventually([&] { return !servo.running(); }));
    const ServoStop stop = servo.stopped_by();
    EXPECT_EQ(stop.kind, ServoStop::Kind::LawFailed);
    EXPECT_STREQ(stop.text.data(), "the law broke");
    const std::vector<Vec3> forces = played.Forces();
    EXPECT_TRUE(std::find_if(forces.begin(), forces.end(), [](const Vec3& force) {
                    return Near(force, {1, 0, 0});
                }) != forces.end());
    ASSERT_TRUE(Eventually([&] { return Near(played.Forces().back(), kZero); }));
}

TEST(Servo, AFailedExchangeCountsAndCommandsZero) {
    PlayedArm played;
    Servo servo(played.arm, Immediate());
    servo.set_effects(Only(ConstantForce{{1, 0, 0}}));
    ASSERT_EQ(servo.start(), 0);
    ASSERT_TRUE(Eventually([&] { return played.Forces().size() >= 5; }));
    played.Ignore(1);
    // A loaded machine may miss a period's answer by itself: go by the request left unanswered.
    ASSERT_TRUE(Eventually([&] { return played.Ignored().has_value(); }));
    const std::size_t ignored = *played.Ignored();
    ASSERT_TRUE(Eventually([&] { return servo.statistics().failures >= 1; }));
    ASSERT_TRUE(Eventually([&] { return played.Forces().size() > ignored + 3; }));
    EXPECT_TRUE(Near(played.Forces()[ignored + 1], kZero));
    EXPECT_TRUE(Eventually([&] { return Near(played.Forces().back(), {1, 0, 0}); }));
    EXPECT_TRUE(servo.running());
}

#ifndef _WIN32  // closing the far end hangs the line up on a pseudo-terminal
TEST(Servo, StopsWhenTheLineIsLost) {
    PlayedArm played;
    Servo servo(played.arm, Immediate());
    servo.set_effects(Only(ConstantForce{{1, 0, 0}}));
    ASSERT_EQ(servo.start(), 0);
    ASSERT_TRUE(Eventually([&] { return played.Forces().size() >= 5; }));
    played.LoseLine();
    ASSERT_TRUE(Eventually([&] { return !servo.running(); }));
    EXPECT_EQ(servo.stopped_by().kind, ServoStop::Kind::LineLost);
    EXPECT_NE(servo.stopped_by().error, 0);
}
#endif

TEST(Servo, TheLeaseFadesTheForceAndARenewalBringsItBack) {
    PlayedArm played;
    ServoOptions options = Immediate();
    options.lease = 0.05;
    Servo servo(played.arm, options);
    servo.set_effects(Only(ConstantForce{{1, 0, 0}}));
    ASSERT_EQ(servo.start(), 0);
    ASSERT_TRUE(Eventually([&] { return Near(servo.latest().force, {1, 0, 0}); }));
    ASSERT_TRUE(Eventually([&] { return Near(servo.latest().force, kZero); }));
    ASSERT_TRUE(Eventually([&] { return Near(played.Forces().back(), kZero); }));
    EXPECT_TRUE(servo.running());
    ASSERT_TRUE(Eventually([&] {
        servo.renew();
        return Near(servo.latest().force, {1, 0, 0});
    }));
}

TEST(Servo, TheRampFadesForcesIn) {
    PlayedArm played;
    ServoOptions options = Immediate();
    options.ramp = 0.2;
    Servo servo(played.arm, options);
    servo.set_effects(Only(ConstantForce{{1, 0, 0}}));
    ASSERT_EQ(servo.start(), 0);
    ASSERT_TRUE(Eventually([&] { return Near(servo.latest().force, {1, 0, 0}); }));
    servo.stop();
    std::vector<Sample> samples(servo.samples().capacity());
    const auto taken = servo.samples().take(samples.data(), samples.size());
    samples.resize(taken.count);
    // A period without an answer commands nothing; the others grow.
    std::vector<float> answered;
    for (const Sample& sample : samples) {
        if (sample.outcome == 0) answered.push_back(sample.force[0]);
    }
    ASSERT_GT(answered.size(), 3u);
    EXPECT_GT(answered.front(), 0.0f);
    EXPECT_LT(answered.front(), 0.5f);
    for (std::size_t i = 1; i < answered.size(); ++i) EXPECT_GE(answered[i], answered[i - 1]) << i;
    EXPECT_FLOAT_EQ(answered.back(), 1.0f);
}

// Two sets with different sums and sizes swapped as fast as they can be: the servo sees one
// or the other, never a mixture.
TEST(Servo, EffectsAreReplacedWhole) {
    PlayedArm played;
    Servo servo(played.arm, Immediate(1000));
    EffectSet three;
    for (int i = 0; i < 3; ++i) three.add(ConstantForce{{1, 0, 0}});
    const EffectSet down = Only(ConstantForce{{0, 0, -2}});
    servo.set_effects(three);
    ASSERT_EQ(servo.start(), 0);
    std::atomic<bool> swapping{true};
    std::thread writer([&] {
        for (int i = 0; swapping; ++i) servo.set_effects(i % 2 == 0 ? down : three);
    });
    std::vector<Sample> samples(4096);
    std::size_t seen = 0;
    while (seen < 200) {
        const auto taken = servo.samples().take(samples.data(), samples.size());
        for (std::size_t i = 0; i < taken.count; ++i) {
            const Vec3& force = samples[i].force;
            if (samples[i].outcome != 0) continue;
            EXPECT_TRUE(Near(force, {3, 0, 0}) || Near(force, {0, 0, -2}))
                << force[0] << " " << force[1] << " " << force[2];
        }
        seen += taken.count;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    swapping = false;
    writer.join();
    EXPECT_TRUE(servo.running());
}

TEST(Servo, RecordsEveryPeriodInOrder) {
    PlayedArm played;
    Servo servo(played.arm, Immediate(1000));
    ASSERT_EQ(servo.start(), 0);
    std::vector<Sample> all;
    std::vector<Sample> samples(64);
    std::uint64_t dropped = 0;
    while (all.size() < 300) {
        const auto taken = servo.samples().take(samples.data(), samples.size());
        all.insert(all.end(), samples.begin(), samples.begin() + taken.count);
        dropped += taken.dropped;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    servo.stop();
    for (;;) {
        const auto taken = servo.samples().take(samples.data(), samples.size());
        if (taken.count == 0) break;
        all.insert(all.end(), samples.begin(), samples.begin() + taken.count);
    }
    EXPECT_EQ(dropped, 0u);
    EXPECT_EQ(all.size(), servo.samples().pushed());
    EXPECT_EQ(all.size(), servo.statistics().periods);
    for (std::size_t i = 1; i < all.size(); ++i) ASSERT_GT(all[i].time, all[i - 1].time) << i;
    EXPECT_TRUE(Near(servo.latest().position, all.back().position));
    EXPECT_EQ(servo.latest().time, all.back().time);
}

// A law that sleeps two and a half periods, three times: each costs an overrun, and the
// loop skips the deadlines it missed rather than catching up.
TEST(Servo, CountsOverrunsAndSkipsMissedDeadlines) {
    PlayedArm played;
    Servo servo(played.arm, Immediate(200));
    std::atomic<int> calls{0};
    servo.set_law([&calls](const Sample&) {
        const int call = ++calls;
        if (call == 5 || call == 10 || call == 15) {
            std::this_thread::sleep_for(std::chrono::microseconds(12500));
        }
        return Vec3{};
    });
    ASSERT_EQ(servo.start(), 0);
    ASSERT_TRUE(Eventually([&] { return calls >= 25; }));
    servo.stop();
    const ServoStatistics statistics = servo.statistics();
    EXPECT_GE(statistics.overruns, 3u);
    EXPECT_GE(statistics.period_max_us, 12500.0);
    // Every period began on a deadline of its own, 5 ms apart.
    EXPECT_LE(static_cast<double>(statistics.periods - 1), servo.latest().time / 0.005 + 1e-6);
}

TEST(SampleRing, CountsWhatOverflowDrops) {
    SampleRing ring(8);
    for (int i = 0; i < 20; ++i) {
        Sample sample;
        sample.time = i;
        ring.push(sample);
    }
    Sample out[16];
    auto taken = ring.take(out, 16);
    EXPECT_EQ(taken.count, 8u);
    EXPECT_EQ(taken.dropped, 12u);
    for (std::size_t i = 0; i < taken.count; ++i) EXPECT_EQ(out[i].time, 12.0 + i);
    Sample sample;
    sample.time = 20;
    ring.push(sample);
    taken = ring.take(out, 16);
    EXPECT_EQ(taken.count, 1u);
    EXPECT_EQ(taken.dropped, 0u);
    EXPECT_EQ(out[0].time, 20.0);
}

// A sample whose every field says its number: a torn one would mix two.
Sample Numbered(int n) {
    Sample sample;
    sample.time = n;
    sample.period = n;
    const auto value = static_cast<float>(n);
    sample.position = sample.velocity = sample.force = {value, value, value};
    return sample;
}
bool Whole(const Sample& sample) {
    const auto value = static_cast<float>(sample.time);
    return sample.period == sample.time && sample.force[2] == value &&
           sample.position[0] == value && sample.velocity[1] == value;
}

TEST(SampleRing, AReaderOnAnotherThreadGetsEverySampleOrItsDrop) {
    constexpr int kSamples = 200000;
    SampleRing ring(256);
    std::thread writer([&] {
        for (int i = 0; i < kSamples; ++i) ring.push(Numbered(i));
    });
    Sample out[32];
    std::uint64_t got = 0;
    std::uint64_t dropped = 0;
    double last = -1;
    while (got + dropped < kSamples) {
        const auto taken = ring.take(out, 32);
        dropped += taken.dropped;
        got += taken.count;
        for (std::size_t i = 0; i < taken.count; ++i) {
            ASSERT_TRUE(Whole(out[i])) << out[i].time;
            ASSERT_GT(out[i].time, last);
            last = out[i].time;
        }
    }
    writer.join();
    EXPECT_EQ(got + dropped, static_cast<std::uint64_t>(kSamples));
}

TEST(SampleRing, TheSnapshotIsNeverTorn) {
    SeqLock<Sample> latest;
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; i < 100000; ++i) latest.store(Numbered(i));
        writing = false;
    });
    double last = 0;
    while (writing) {
        const Sample sample = latest.load();
        ASSERT_TRUE(Whole(sample));
        ASSERT_GE(sample.time, last);
        last = sample.time;
    }
    writer.join();
    EXPECT_EQ(latest.load().time, 99999.0);
}

}  // namespace
