// An exchange's answer read through a real COM port pair: the wait that fetches the whole
// answer at once must still read an answer that comes in pieces, stop at a wrong code or a
// cut answer as a wait for one byte would, and take no byte past the answer.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ErrorLines.h"
#include "LineDevice.h"
#include "devices/Device.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using Devices::Device;
using Devices::Limits;
using Devices::Outcome;
using Testing::Bytes;
using Testing::FloatBytes;
using Testing::LineDevice;
using Testing::SecondsTaken;
using namespace std::chrono_literals;

namespace {

constexpr float kTimeout = 0.3f;
const char* kTimeoutText = "timeout waiting for header code";

template <typename Call>
std::vector<Testing::ErrorLine> DeviceLines(Call&& call) {
    return Testing::ErrorLinesFrom("Device.cpp", call);
}

Bytes Answer(std::uint8_t code) {
    Bytes answer{code};
    const Bytes payload = FloatBytes({1.5f, -2.0f, 3.25f, 0.0f, 1e-3f, -7.0f});
    answer.insert(answer.end(), payload.begin(), payload.end());
    return answer;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

struct Line {
    LineDevice far_end;
    IO::SerialStream stream{far_end.path().c_str(), true};
    Device device{&stream, kTimeout};

    // Sends each piece after its pause, in the background.
    std::thread SendInPieces(std::vector<std::pair<std::chrono::milliseconds, Bytes>> pieces) {
        return std::thread([this, pieces] {
            for (const auto& [pause, bytes] : pieces) {
                std::this_thread::sleep_for(pause);
                far_end.Send(bytes);
            }
        });
    }
    Bytes Payload() const { return Bytes(&device.read_buffer[0], &device.read_buffer[24]); }
};

}  // namespace

// Pieces apart by more than the line's quiet gap: the first wait hands over the first piece
// and the reads after it wait for the rest, on both paths.
TEST(AnswerReadWin32, AnAnswerInPiecesIsReadWhole) {
    Line line;
    const Bytes answer = Answer(0x2B);
    for (const bool with_deadline : {false, true}) {
        SCOPED_TRACE(with_deadline ? "deadline" : "legacy");
        std::thread sender = line.SendInPieces({{20ms, Slice(answer, 0, 1)},
                                                {30ms, Slice(answer, 1, 11)},
                                                {30ms, Slice(answer, 11, 25)}});
        const Deadline deadline = Deadline::After(1.0);
        Outcome outcome;
        const auto lines = DeviceLines([&] {
            outcome = line.device.receive_answer(
                {0x2B}, 24, with_deadline ? Limits::By(deadline) : Limits::PerRead());
        });
        sender.join();
        EXPECT_TRUE(outcome.answered());
        EXPECT_TRUE(lines.empty());
        EXPECT_EQ(line.Payload(), Slice(answer, 1, 25));
        EXPECT_EQ(line.stream.Available(), 0);
        EXPECT_EQ(line.device.owed(), 0u);
    }

    // Two codes, the second late: both are read, then compared.
    std::thread sender = line.SendInPieces({{10ms, {0x0D}}, {40ms, {0xD1, 7, 8}}});
    EXPECT_TRUE(line.device.receive_answer({0x0D, 0xD1}, 2));
    sender.join();
    EXPECT_EQ(line.device.read_buffer[0], 7);
    EXPECT_EQ(line.device.read_buffer[1], 8);
}

// The wait asks for the answer's length and no more: what follows it stays queued.
TEST(AnswerReadWin32, NoBytePastTheAnswerIsTaken) {
    Line line;
    Bytes queued = Answer(0x2B);
    queued.insert(queued.end(), {0x77, 0x78});
    std::thread sender = line.SendInPieces({{20ms, queued}});
    EXPECT_TRUE(line.device.receive_answer({0x2B}, 24));
    sender.join();
    EXPECT_EQ(line.Payload(), Slice(queued, 1, 25));
    EXPECT_EQ(line.stream.Available(), 2);
    EXPECT_EQ(line.device.read_bytes(2), 2);
    EXPECT_EQ(line.device.read_buffer[0], 0x77);
}

// A wrong code with its whole answer queued: the deadline path keeps what came and marks the
// rest stale; the legacy one drains it all, with the drain's one time-out line.
TEST(AnswerReadWin32, AWrongCodeWithTheWholeAnswerQueued) {
    Line line;
    const Bytes wrong = Answer(0x2C);

    line.far_end.Send(wrong);
    const Deadline deadline = Deadline::After(1.0);
    Outcome outcome;
    auto lines = DeviceLines(
        [&] { outcome = line.device.receive_answer({0x2B}, 24, Limits::By(deadline)); });
    EXPECT_EQ(outcome.kind, Outcome::Kind::BadAnswer);
    EXPECT_TRUE(lines.empty());
    ASSERT_EQ(outcome.received_length, wrong.size());
    EXPECT_EQ(Bytes(outcome.received.begin(), outcome.received.begin() + 25), wrong);
    EXPECT_EQ(line.stream.Available(), 0);

    line.far_end.Send(wrong);
    std::this_thread::sleep_for(20ms);  // all of it queued before the exchange reads
    bool answered = true;
    lines = DeviceLines([&] { answered = line.device.receive_answer({0x2B}, 24); });
    EXPECT_FALSE(answered);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, kTimeoutText);
    EXPECT_EQ(line.stream.Available(), 0);
    EXPECT_EQ(line.device.owed(), 0u);

    // The next answer is read whole.
    line.far_end.Respond(13, Answer(0x2B));
    EXPECT_TRUE(line.device.exchange(13, {0x2B}, 24));
    line.far_end.Join();
}

// A wrong code alone: the wait for the whole answer wakes when the line goes quiet after it,
// not at the deadline.
TEST(AnswerReadWin32, AWrongCodeAloneEndsTheWaitLongBeforeTheDeadline) {
    Line line;
    std::thread sender = line.SendInPieces({{20ms, {0x55}}});
    const Deadline deadline = Deadline::After(3.0);
    Outcome outcome;
    const double seconds = SecondsTaken(
        [&] { outcome = line.device.receive_answer({0x2B}, 24, Limits::By(deadline)); });
    sender.join();
    EXPECT_EQ(outcome.kind, Outcome::Kind::BadAnswer);
    ASSERT_EQ(outcome.received_length, 1u);
    EXPECT_EQ(outcome.received[0], 0x55);
    EXPECT_LT(seconds, 1.5) << "waited for the deadline";
}

// An answer cut short: no answer, one time-out line, the rest owed; once the rest lands it
// is thrown away before the next request, which is answered.
TEST(AnswerReadWin32, AnAnswerThatEndsShortIsOwedItsRest) {
    Line line;
    const Bytes answer = Answer(0x2B);
    for (const bool with_deadline : {false, true}) {
        SCOPED_TRACE(with_deadline ? "deadline" : "legacy");
        std::thread sender = line.SendInPieces({{20ms, Slice(answer, 0, 11)}});
        const Deadline deadline = Deadline::After(kTimeout);
        Outcome outcome;
        const auto lines = DeviceLines([&] {
            outcome = line.device.receive_answer(
                {0x2B}, 24, with_deadline ? Limits::By(deadline) : Limits::PerRead());
        });
        sender.join();
        EXPECT_EQ(outcome.kind, Outcome::Kind::NoAnswer);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].description, kTimeoutText);
        EXPECT_EQ(line.device.owed(), 14u);
        EXPECT_EQ(line.stream.Available(), 0);

        line.far_end.Send(Slice(answer, 11, 25));
        const Deadline settle_by = Deadline::After(1.0);
        EXPECT_TRUE(line.device.settle(Limits::By(settle_by)).answered());
        EXPECT_EQ(line.device.owed(), 0u);
        line.far_end.Respond(13, Answer(0x2B));
        EXPECT_TRUE(line.device.exchange(13, {0x2B}, 24));
        line.far_end.Join();
        EXPECT_EQ(line.Payload(), Slice(answer, 1, 25));
    }
}
