// What an exchange's policy decides, on the wire: the lines a time-out gives, how much of a
// wrong answer is taken and when the rest goes, and whether a request waits for an answer
// still owed.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <string>

#include "ErrorLines.h"
#include "LineDevice.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using namespace Brivane::HardwareAPI::Devices;
using Testing::Bytes;
using Testing::DeviceErrorLines;
using Testing::LineDevice;

namespace {

constexpr float kTimeout = 0.1f;

struct Line {
    LineDevice far_end;
    IO::SerialStream stream{far_end.path().c_str(), true};
    Kalvar arm{&stream, kTimeout};
};

struct PolicyCase {
    std::string name;
    std::function<Limits()> limits;
    Bytes answer;               // sent before the exchange, all of it queued
    Outcome::Kind kind;         // how the exchange ends
    std::size_t lines;          // its error lines
    std::size_t received;       // the answer's bytes the outcome keeps
    std::int32_t queued_after;  // what the line still holds after it
};

void PrintTo(const PolicyCase& c, std::ostream* out) {
    *out << c.name;
}

Limits Soon() {
    return Limits::By(Deadline::After(kTimeout));
}

Bytes WrongAnswer() {  // a code no arm answer begins with, and more than an outcome keeps
    Bytes bytes(41, 0x55);
    bytes[0] = 0x2C;
    return bytes;
}

class ExchangePolicy : public testing::TestWithParam<PolicyCase> {};

}  // namespace

TEST_P(ExchangePolicy, DecidesLinesAndWhatOfAWrongAnswerIsTaken) {
    const PolicyCase& c = GetParam();
    Line line;
    if (!c.answer.empty()) {
        line.far_end.Send(c.answer);
        ASSERT_EQ(line.stream.WaitForBytes(c.answer.size(), Deadline::After(1.0)).status,
                  Platform::IoStatus::Done);
    }
    Outcome outcome;
    const auto lines =
        DeviceErrorLines([&] { outcome = line.arm.receive_answer({0x2B}, 24, c.limits()); });
    EXPECT_EQ(outcome.kind, c.kind);
    EXPECT_EQ(lines.size(), c.lines);
    EXPECT_EQ(outcome.received_length, c.received);
    EXPECT_EQ(line.stream.Available(), c.queued_after);
    // What was left of a wrong answer goes before the next request, never read as its answer.
    if (c.kind == Outcome::Kind::BadAnswer) {
        EXPECT_TRUE(line.arm.settle(Soon()).answered());
        EXPECT_EQ(line.stream.Available(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ExchangePolicy,
    testing::Values(
        // Read by read, the header's time-out, then the drain's.
        PolicyCase{"per_read_silent", Limits::PerRead, {}, Outcome::Kind::NoAnswer, 2, 0, 0},
        PolicyCase{"by_deadline_silent", Soon, {}, Outcome::Kind::NoAnswer, 1, 0, 0},
        PolicyCase{
            "quiet_silent", [] { return Soon().quiet(); }, {}, Outcome::Kind::NoAnswer, 0, 0, 0},
        // Read by read, the wrong answer is drained at once: its rest never reaches the
        // outcome, and the drain's own wait ends in a time-out line.
        PolicyCase{"per_read_wrong", Limits::PerRead, WrongAnswer(), Outcome::Kind::BadAnswer, 1, 1,
                   0},
        // By a deadline, what is queued shows what answered, and the rest is left for the
        // next request to drop.
        PolicyCase{"by_deadline_wrong", Soon, WrongAnswer(), Outcome::Kind::BadAnswer, 0, 32, 9},
        PolicyCase{"quiet_wrong", [] { return Soon().quiet(); }, WrongAnswer(),
                   Outcome::Kind::BadAnswer, 0, 32, 9}),
    [](const testing::TestParamInfo<PolicyCase>& param) { return param.param.name; });

// An answer owed from an exchange that ran out of time holds up the next request until it
// comes or the line stays quiet; a loop that leaves answers to its reader sends at once.
TEST(ExchangePolicy, AnOwedAnswerHoldsUpARequestUnlessLeftToTheReader) {
    for (const bool left_to_reader : {false, true}) {
        SCOPED_TRACE(left_to_reader ? "left to the reader" : "waited for");
        Line line;
        line.stream.SetErrorOutput(ErrorOutput::Quiet);
        EndEffectorState state;
        EXPECT_EQ(line.arm.force({1, 2, 3}, state, Deadline::After(0.02)).kind,
                  Outcome::Kind::NoAnswer);
        ASSERT_EQ(line.far_end.Receive(13, 1.0).size(), 13u);
        ASSERT_GT(line.arm.owed(), 0u);

        const Outcome sent = left_to_reader
                                 ? line.arm.send_force({4, 5, 6})
                                 : line.arm.force({4, 5, 6}, state, Deadline::After(0.15));
        // Waited for, the owed answer keeps the request off the line the whole deadline.
        const Bytes request = line.far_end.Receive(13, 0.3);
        EXPECT_EQ(request.size(), left_to_reader ? 13u : 0u);
        EXPECT_EQ(sent.kind, left_to_reader ? Outcome::Kind::Answered : Outcome::Kind::NoAnswer);
    }
}
