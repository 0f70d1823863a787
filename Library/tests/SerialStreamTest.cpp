#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ErrorLines.h"
#include "PtyDevice.h"
#include "io/SerialStream.h"

using namespace Brivane::HardwareAPI;
using Testing::Bytes;
using Testing::PtyDevice;

namespace {

template <typename Call>
std::vector<Testing::ErrorLine> ErrorLines(Call&& call) {
    return Testing::ErrorLinesFrom("SerialStream.cpp", call);
}

termios LineSettings(const PtyDevice& device) {
    termios settings{};
    EXPECT_EQ(tcgetattr(device.master(), &settings), 0);  // the master reaches the line's own
    return settings;
}

// A line the way a fresh terminal starts: cooked, echoing, translating, with signals.
void MakeCooked(const PtyDevice& device, tcflag_t flow_control_iflag, tcflag_t flow_control_cflag) {
    termios settings = LineSettings(device);
    settings.c_iflag = ICRNL | IGNCR | INLCR | ISTRIP | BRKINT | flow_control_iflag;
    settings.c_oflag = OPOST | ONLCR;
    settings.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB |
                       flow_control_cflag;
    cfsetspeed(&settings, B9600);
    ASSERT_EQ(tcsetattr(device.master(), TCSANOW, &settings), 0);
}

Bytes AllByteValues() {
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    return all;
}

}  // namespace

TEST(SerialStream, OpensRawAt115200And8N1KeepingHardwareFlowControl) {
    struct Case {
        tcflag_t iflag, cflag;
    };
    for (const Case flow : {Case{0, 0}, Case{IXON | IXOFF | IXANY, CRTSCTS}}) {
        PtyDevice device;
        MakeCooked(device, flow.iflag, flow.cflag);
        IO::SerialStream stream(device.path().c_str(), false);
        ASSERT_EQ(stream.Open(), 1);

        const termios line = LineSettings(device);
        EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B115200));
        EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B115200));
        EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(line.c_iflag & (ICRNL | IGNCR | INLCR | ISTRIP | BRKINT), 0u);
        EXPECT_EQ(line.c_oflag & OPOST, 0u);
        EXPECT_EQ(line.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY), 0u) << "XON/XOFF would eat frame bytes";
        EXPECT_EQ(line.c_cflag & CRTSCTS, flow.cflag);
    }
}

TEST(SerialStream, BytesCrossBothWaysUnchangedOnACookedLine) {
    PtyDevice device;
    MakeCooked(device, IXON | IXOFF, 0);  // a fresh Linux tty has XON/XOFF on
    IO::SerialStream stream(device.path().c_str(), true);
    const Bytes all = AllByteValues();  // CR, LF, 0x03, 0x11 and 0x13 among them

    stream.Write(reinterpret_cast<const char*>(all.data()), all.size());
    EXPECT_EQ(device.Receive(256), all);

    device.Send(all);
    ASSERT_EQ(stream.WaitForBytes(256, Deadline::After(1.0)).status, Platform::IoStatus::Done);
    EXPECT_EQ(stream.Available(), 256);
    char back[256];
    stream.read(back, 256);
    EXPECT_EQ(stream.gcount(), 256);
    EXPECT_EQ(Bytes(back, back + 256), all);
    EXPECT_TRUE(device.ReceiveAll().empty()) << "nothing echoed back";
}

TEST(SerialStream, OpenCodes) {
    PtyDevice device;
    IO::SerialStream holder(device.path().c_str(), true);

    char file_path[] = "/tmp/brivane-not-a-tty-XXXXXX";
    const int file = mkstemp(file_path);
    ASSERT_GE(file, 0);
    const std::string fifo_path = std::string(file_path) + ".fifo";
    ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);

    struct Case {
        std::string name;
        int code;
        int error;
    };
    const Case cases[] = {
        {"/dev/brivane-no-such-port", -1, ENOENT},
        {"brivane-no-such-port", -1, ENOENT},  // a bare name lives in /dev
        {"", -1, ENOENT},
        {device.path(), -2, EBUSY},  // held by `holder`, even for root
        {file_path, -2, ENOTTY},     // opens, but is no device: closed at once
        {fifo_path, -2, ENOTTY},
        {"/dev/null", -3, ENOTTY},  // a device without line settings
    };
    for (const Case& c : cases) {
        IO::SerialStream stream(c.name.c_str(), false);
        int code = 0;
        const auto lines = ErrorLines([&] { code = stream.Open(); });
        EXPECT_EQ(code, c.code) << c.name;
        ASSERT_EQ(lines.size(), 1u) << c.name;
        const Testing::ErrorLine& line = lines[0];
        EXPECT_EQ(line.description, "unable to open port '" + c.name + "'");
        EXPECT_EQ(line.error, c.error) << c.name;
        EXPECT_EQ(stream.Available(), 0);
    }
    ::close(file);
    ::unlink(file_path);
    ::unlink(fifo_path.c_str());

    // Closing releases the port for the next opener.
    holder.Close();
    IO::SerialStream next(device.path().c_str(), false);
    EXPECT_EQ(next.Open(), 1);
}

// A name is printed so that it can neither forge a line nor steer the terminal, and whole.
TEST(SerialStream, APortNameIsPrintedEscapedAndWhole) {
    struct Case {
        std::string name, printed;
    };
    const std::string forged =
        "x\n[err] Library/src/Device.cpp:43> timeout waiting for header code";
    const std::string long_name = "/dev/" + std::string(600, 'n');
    for (const Case& c :
         {Case{forged, "x\\n[err] Library/src/Device.cpp:43> timeout waiting for header code"},
          Case{"a\r\x1b[2J\t\xc2\x9b\x7f", "a\\r\\x1b[2J\\t\\xc2\\x9b\\x7f"},
          Case{"/dev/ttyUSB-\xff\xc3\xa9", "/dev/ttyUSB-\\xff\xc3\xa9"},
          Case{long_name, long_name}}) {
        std::unique_ptr<IO::SerialStream> stream;
        const auto lines =
            ErrorLines([&] { stream = std::make_unique<IO::SerialStream>(c.name.c_str(), true); });
        ASSERT_EQ(lines.size(), 2u) << c.printed;
        EXPECT_EQ(lines[0].description, "unable to open port '" + c.printed + "'");
        EXPECT_EQ(lines[1].description, "unable to open stream '" + c.printed + "'");
    }
}

TEST(SerialStream, MissingPortAtConstructionWritesTwoLinesAndStillExists) {
    std::vector<Testing::ErrorLine> lines;
    std::unique_ptr<IO::SerialStream> stream;
    lines =
        ErrorLines([&] { stream = std::make_unique<IO::SerialStream>("ttyBrivaneGone", true); });
    ASSERT_EQ(lines.size(), 2u);
    const Testing::ErrorLine& port = lines[0];
    const Testing::ErrorLine& whole = lines[1];
    EXPECT_EQ(port.description, "unable to open port 'ttyBrivaneGone'");
    EXPECT_EQ(whole.description, "unable to open stream 'ttyBrivaneGone'");
    EXPECT_EQ(port.path, whole.path);
    EXPECT_NE(port.line, whole.line);
    EXPECT_EQ(port.error, ENOENT);
    EXPECT_EQ(whole.error, ENOENT);
    EXPECT_EQ(port.text, std::strerror(ENOENT));
    EXPECT_EQ(stream->Available(), 0);

    // Writing to it fails with a line each time.
    lines = ErrorLines([&] { stream->Write("ab", 2); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, "unable to write '2' bytes to stream");
}

// Programs that match the error lines know them by these numbers.
TEST(SerialStream, ErrorLinesKeepTheirLineNumbers) {
    std::unique_ptr<IO::SerialStream> stream;
    auto lines =
        ErrorLines([&] { stream = std::make_unique<IO::SerialStream>("ttyBrivaneGone", true); });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, 39u);  // the port's
    EXPECT_EQ(lines[1].line, 18u);  // the stream's
    lines = ErrorLines([&] { stream->Write("ab", 2); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].line, 82u);
}

TEST(SerialStream, AvailableCountsQueuedBytesOnlyWhileOpen) {
    PtyDevice device;
    IO::SerialStream never_opened(device.path().c_str(), false);
    EXPECT_EQ(never_opened.Available(), 0);

    IO::SerialStream stream(device.path().c_str(), true);
    EXPECT_EQ(stream.Available(), 0);
    device.Send({1, 2, 3, 4, 5});
    ASSERT_EQ(stream.WaitForBytes(5, Deadline::After(1.0)).status, Platform::IoStatus::Done);
    EXPECT_EQ(stream.Available(), 5);

    stream.Close();
    EXPECT_EQ(stream.Available(), 0);
    char byte;
    EXPECT_FALSE(stream.read(&byte, 1));
}

TEST(SerialStream, WriteAfterCloseReportsEveryTime) {
    PtyDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    EXPECT_TRUE(ErrorLines([&] { stream.Write("", 0); }).empty());
    EXPECT_TRUE(device.ReceiveAll().empty());

    stream.Close();
    for (int i = 0; i < 2; ++i) {
        const auto lines = ErrorLines([&] { stream.Write("abc", 3); });
        ASSERT_EQ(lines.size(), 1u);
        const Testing::ErrorLine& line = lines[0];
        EXPECT_EQ(line.description, "unable to write '3' bytes to stream");
        EXPECT_EQ(line.error, EBADF);
    }
    EXPECT_TRUE(device.ReceiveAll().empty());
}

TEST(SerialStream, WriteAfterAShortReadStillSends) {
    PtyDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    device.Send({7});
    char buffer[4];
    stream.read(buffer, 4);  // one byte, then the line stays quiet
    ASSERT_EQ(stream.gcount(), 1);
    ASSERT_TRUE(stream.eof());

    EXPECT_TRUE(ErrorLines([&] { stream.Write("\x2a\x01", 2); }).empty());
    EXPECT_EQ(device.Receive(2), (Bytes{0x2a, 0x01}));
    EXPECT_TRUE(stream.eof()) << "a write leaves the reading side's flags alone";
}

// A line that takes nothing for a while: the write that runs out of time says so, and
// the frame it began is finished before the next one, which goes out once the line drains.
TEST(SerialStream, StalledWriteTimesOutWithoutTearingAFrameAndTheStreamRecovers) {
    PtyDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    auto frame = [](unsigned i) {
        return Bytes{0x2A,
                     static_cast<std::uint8_t>(i),
                     static_cast<std::uint8_t>(i >> 8),
                     1,
                     2,
                     3,
                     4,
                     5,
                     6,
                     7,
                     8,
                     9,
                     10};
    };
    unsigned written = 0;
    std::vector<Testing::ErrorLine> lines;
    while (lines.empty() && written < 100000) {
        const Bytes bytes = frame(written++);
        lines = ErrorLines(
            [&] { stream.Write(reinterpret_cast<const char*>(bytes.data()), bytes.size()); });
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, "unable to write '13' bytes to stream");
    EXPECT_EQ(lines[0].error, ETIMEDOUT);

    Bytes wire = device.ReceiveAll();
    const Bytes last = frame(0xFFFF);
    EXPECT_TRUE(ErrorLines([&] {
                    stream.Write(reinterpret_cast<const char*>(last.data()), last.size());
                }).empty());
    const Bytes rest = device.ReceiveAll();
    wire.insert(wire.end(), rest.begin(), rest.end());
    ASSERT_EQ(wire.size() % 13, 0u) << "a torn frame";
    ASSERT_GE(wire.size() / 13, written - 1);  // the timed-out frame went out, or none of it
    for (unsigned i = 0; i + 1 < wire.size() / 13; ++i) {
        ASSERT_EQ(Bytes(wire.begin() + 13 * i, wire.begin() + 13 * (i + 1)), frame(i)) << i;
    }
    EXPECT_EQ(Bytes(wire.end() - 13, wire.end()), last);
}

// Once the line has hung up, every write fails with the line's own cause, also those that
// make no system call.
TEST(SerialStream, WritesOnAHungUpLineFailWithItsCause) {
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    IO::SerialStream stream(name, true);
    ::close(slave);
    ::close(master);
    for (int i = 0; i < 2; ++i) {
        const auto lines = ErrorLines([&] { stream.Write("abc", 3); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].error, EIO);
    }
}

namespace {

// How the line stands when the device's read comes.
enum class LineState { Open, HungUp, Closed };

struct ReadCase {
    const char* name;
    Bytes sent;   // by the far end, and waited for
    bool peeked;  // a program's peek left the first byte held in the stream buffer
    LineState state;
    std::size_t asked;
    Platform::IoStatus status;
    std::int32_t count;  // the first `count` bytes sent
    int error;
};

class StreamRead : public testing::TestWithParam<ReadCase> {};

}  // namespace

TEST_P(StreamRead, TellsHowItEndedAndLeavesTheStreamsFlagsAlone) {
    const ReadCase& c = GetParam();
    int master = -1, slave = -1;
    char name[128] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    IO::SerialStream stream(name, true);
    ::close(slave);
    ASSERT_EQ(::write(master, c.sent.data(), c.sent.size()), static_cast<ssize_t>(c.sent.size()));
    if (!c.sent.empty()) {
        const Platform::IoResult waited = stream.WaitForBytes(c.sent.size(), Deadline::After(1.0));
        ASSERT_EQ(waited.status, Platform::IoStatus::Done);
        EXPECT_EQ(waited.count, static_cast<std::int32_t>(c.sent.size()));
    }
    if (c.peeked) {
        ASSERT_EQ(stream.peek(), c.sent[0]);
    }
    if (c.state == LineState::HungUp) ::close(master);
    if (c.state == LineState::Closed) stream.Close();

    char out[8] = {};
    const Platform::IoResult read = stream.Read(out, c.asked);
    EXPECT_EQ(read.status, c.status);
    EXPECT_EQ(read.count, c.count);
    EXPECT_EQ(read.error, c.error);
    EXPECT_EQ(Bytes(out, out + c.count), Bytes(c.sent.begin(), c.sent.begin() + c.count));
    EXPECT_TRUE(stream.good()) << "a device's read leaves the stream's flags to the program";
    if (c.state == LineState::Closed) {
        const Platform::IoResult queued = stream.Port()->Queued();
        EXPECT_EQ(queued.status, Platform::IoStatus::Failed);
        EXPECT_EQ(queued.error, EBADF);
        EXPECT_EQ(stream.Available(), 0);
    }
    if (c.state != LineState::HungUp) ::close(master);
}

INSTANTIATE_TEST_SUITE_P(
    SerialStream, StreamRead,
    testing::Values(
        ReadCase{"whole", {1, 2, 3}, false, LineState::Open, 3, Platform::IoStatus::Done, 3, 0},
        ReadCase{
            "held_byte_first", {1, 2, 3}, true, LineState::Open, 3, Platform::IoStatus::Done, 3, 0},
        ReadCase{"short", {1, 2}, true, LineState::Open, 4, Platform::IoStatus::Partial, 2, 0},
        ReadCase{"nothing_came", {}, false, LineState::Open, 3, Platform::IoStatus::TimedOut, 0, 0},
        ReadCase{"hung_up_after_some",
                 {1, 2},
                 false,
                 LineState::HungUp,
                 4,
                 Platform::IoStatus::Failed,
                 2,
                 EIO},
        ReadCase{"hung_up", {}, false, LineState::HungUp, 4, Platform::IoStatus::Failed, 0, EIO},
        // A byte held for the program stays held while the port is closed.
        ReadCase{
            "closed", {1, 2, 3}, true, LineState::Closed, 3, Platform::IoStatus::Failed, 0, EBADF}),
    [](const testing::TestParamInfo<ReadCase>& param) { return std::string(param.param.name); });
