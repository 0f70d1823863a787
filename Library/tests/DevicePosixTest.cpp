// The device framing on what only a pseudo-terminal shows: a line whose other end went
// away, and a canonical line that hands out less than it counted.
#include <gtest/gtest.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ErrorLines.h"
#include "PtyDevice.h"
#include "base/Interrupt.h"
#include "devices/Device.h"
#include "devices/Handle.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using Devices::Device;
using Testing::DeviceErrorLines;
using Testing::ProcessCpuSeconds;
using Testing::PtyDevice;
using Testing::SecondsTaken;

namespace {

constexpr float kTimeout = 0.3f;

struct Line {
    PtyDevice pty;
    IO::SerialStream stream{pty.path().c_str(), true};
    Device device{&stream, kTimeout};
};

}  // namespace

// A port that never opened, and a line whose other end went away: the first read fails at
// once, later ones as late as a silent line would answer, asleep; each with its cause.
TEST(Device, ReadsOnABrokenLineFailFirstAtOnceThenAfterTheLimit) {
    struct Case {
        const char* name;
        int error;
    };
    for (const Case c : {Case{"not open", EBADF}, Case{"hung up", EIO}}) {
        SCOPED_TRACE(c.name);
        int master = -1, slave = -1;
        char name[128] = {};
        termios raw{};
        cfmakeraw(&raw);
        ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
        IO::SerialStream stream(c.error == EIO ? name : "/dev/brivane-no-such-port", false);
        Testing::ErrorLinesFrom("SerialStream.cpp", [&] { stream.Open(); });
        ::close(slave);
        ::close(master);
        Device device(&stream, kTimeout);

        std::vector<Testing::ErrorLine> lines;
        const double first = SecondsTaken(
            [&] { lines = DeviceErrorLines([&] { EXPECT_EQ(device.read_header(), 0); }); });
        EXPECT_LT(first, 0.1);
        const double cpu = ProcessCpuSeconds();
        const double later = SecondsTaken([&] {
            const auto more = DeviceErrorLines([&] { EXPECT_EQ(device.read_bytes(5), 0); });
            lines.insert(lines.end(), more.begin(), more.end());
        });
        EXPECT_GE(later, kTimeout);
        EXPECT_LT(later, kTimeout + 0.1);
        EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].description, "unable to read header code from stream");
        EXPECT_EQ(lines[0].line, 75u);
        EXPECT_EQ(lines[1].description, "unable to read '5' bytes from stream");
        EXPECT_EQ(lines[1].line, 97u);
        for (const auto& line : lines) EXPECT_EQ(line.error, c.error);
    }
}

TEST(Device, ShortReadIsEndOfFileWithoutALineAndTheNextReadStandsAlone) {
    Line line;
    // A canonical line hands out one line per system read, and an end-of-file character
    // as an empty one: the count says four bytes, the read delivers two and then 0.
    termios settings{};
    ASSERT_EQ(tcgetattr(line.pty.master(), &settings), 0);
    settings.c_lflag |= ICANON;
    settings.c_cc[VEOF] = 0x04;
    ASSERT_EQ(tcsetattr(line.pty.master(), TCSANOW, &settings), 0);
    line.pty.Send({'a', '\n', 0x04, 'b', '\n'});
    ASSERT_EQ(line.stream.WaitForBytes(4, Deadline::After(1.0)).status, Platform::IoStatus::Done);

    std::int32_t count = -1;
    const auto lines = DeviceErrorLines([&] { count = line.device.read_bytes(4); });
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_FALSE(line.stream.eof()) << "a device's read leaves the stream's flags to the program";

    // The stale end-of-file does not fail the next read.
    EXPECT_EQ(line.device.read_header(), 'b');
    line.stream.setstate(std::ios::eofbit | std::ios::failbit);
    EXPECT_EQ(line.device.read_header(), '\n');
}

// A lost line ends receive() with the system's number, at once.
TEST(Device, TheGripsReceiveOnALostLineTellsTheLoss) {
    auto device = std::make_unique<PtyDevice>();
    IO::SerialStream stream(device->path().c_str(), true);
    Devices::Handle handle(&stream, kTimeout);
    device.reset();
    Devices::HandleMessage message;
    testing::internal::CaptureStderr();
    const Devices::Outcome outcome = handle.receive(message, Deadline::After(1.0));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome.kind, Devices::Outcome::Kind::LineLost);
    EXPECT_NE(outcome.error, 0);
}

// The grip's sends tell how they ended: the frame went out byte-exact, was refused before
// any byte went, stalled on a line nobody reads, or met a lost line.
TEST(Device, TheGripsSendsTellHowTheyEnded) {
    using Kind = Devices::Outcome::Kind;
    auto device = std::make_unique<PtyDevice>();
    IO::SerialStream stream(device->path().c_str(), true);
    stream.SetErrorOutput(ErrorOutput::Quiet);
    Devices::Handle handle(&stream, kTimeout);

    const std::uint8_t data[] = {0xAA, 0xBB};
    EXPECT_EQ(handle.send_state(300, data, 2).kind, Kind::Answered);
    EXPECT_EQ(handle.send_state(9, nullptr, 3).kind,
              Kind::Refused);  // the caller's, not the grip's
    EXPECT_EQ(handle.request_status().kind, Kind::Answered);
    EXPECT_EQ(device->ReceiveAll(), (Testing::Bytes{0xDB, 0x2C, 0x01, 0x02, 0xAA, 0xBB, 0xDA}));

    Devices::Outcome stalled;
    for (int sent = 0; sent < 100000 && stalled.answered(); ++sent) {
        stalled = handle.request_status();
    }
    EXPECT_EQ(stalled.kind, Kind::NoAnswer);
    EXPECT_EQ(stalled.error, ETIMEDOUT);

    device.reset();
    const Devices::Outcome lost = handle.request_status();
    EXPECT_EQ(lost.kind, Kind::LineLost);
    EXPECT_NE(lost.error, 0);
}

// A named command on a line whose other end went away ends at its write, with the line's
// cause, and reads nothing: no read's error line follows the write's.
TEST(Device, ANamedCommandOnAHungUpLineEndsAtItsWrite) {
    int master = -1, slave = -1;
    char name[128] = {};
    termios raw{};
    cfmakeraw(&raw);
    ASSERT_EQ(openpty(&master, &slave, name, &raw, nullptr), 0);
    IO::SerialStream stream(name, true);
    ::close(slave);
    ::close(master);
    Devices::Kalvar arm(&stream, kTimeout);
    Devices::EndEffectorState state;
    Devices::Outcome outcome;
    testing::internal::CaptureStderr();
    outcome = arm.force({1, 2, 3}, state, Deadline::After(5.0));
    const std::string lines = testing::internal::GetCapturedStderr();
    EXPECT_EQ(outcome.kind, Devices::Outcome::Kind::LineLost);
    EXPECT_EQ(outcome.error, EIO);
    EXPECT_NE(lines.find("unable to write '13' bytes to stream"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("Device.cpp"), std::string::npos) << lines;
}

// A signal that interrupts a wait asks the check of that wait's stream: a stream given one
// that says stop ends its wait, and a stream without one waits on to its deadline.
TEST(Device, ASignalAsksOnlyTheCheckOfTheWaitingStream) {
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the wait sees EINTR
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    for (const bool checked : {true, false}) {
        SCOPED_TRACE(checked ? "with a check" : "without one");
        PtyDevice pty;
        IO::SerialStream stream(pty.path().c_str(), true);
        if (checked) stream.SetInterruptCheck([] { return true; });
        const pthread_t waiter = ::pthread_self();
        std::thread signaller([waiter] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::pthread_kill(waiter, SIGUSR1);
        });
        const Platform::IoStatus result = stream.WaitForBytes(1, Deadline::After(0.3)).status;
        signaller.join();
        EXPECT_EQ(result, checked ? Platform::IoStatus::Interrupted : Platform::IoStatus::TimedOut);
        EXPECT_EQ(Interrupt::Take(), checked);
    }
    ::sigaction(SIGUSR1, &previous, nullptr);
}
