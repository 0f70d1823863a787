#include <gtest/gtest.h>

#include <istream>
#include <string>

#include "LineDevice.h"
#include "io/serialib.h"

using namespace Brivane::HardwareAPI;
using Testing::Bytes;
using Testing::LineDevice;
using Testing::SecondsTaken;

namespace {

// The stream buffer with its overrides callable from the test.
class Buffer : public IO::serialib {
  public:
    using serialib::overflow;
    using serialib::pbackfail;
    using serialib::showmanyc;
    using serialib::uflow;
    using serialib::underflow;
    using serialib::xsgetn;
    using serialib::xsputn;
};

using Traits = std::char_traits<char>;
const Traits::int_type kEof = Traits::eof();

// Waits until the library's side has `n` bytes queued.
void AwaitQueued(Buffer& buffer, int n) {
    ASSERT_EQ(buffer.WaitForBytes(n, Deadline::After(1.0)).status, Platform::IoStatus::Done);
}

// Every override but pbackfail reports end-of-file or 0 and leaves the line alone.
void ExpectDead(Buffer& buffer) {
    char out[4] = {};
    EXPECT_EQ(buffer.overflow('a'), kEof);
    EXPECT_EQ(buffer.xsputn("abcd", 4), 0);
    EXPECT_EQ(buffer.showmanyc(), 0);
    EXPECT_EQ(buffer.underflow(), kEof);
    EXPECT_EQ(buffer.uflow(), kEof);
    EXPECT_EQ(buffer.xsgetn(out, 4), 0);
    EXPECT_EQ(buffer.pbackfail('z'), 'z');  // holding a byte needs no port
    EXPECT_EQ(buffer.xsgetn(out, 4), 0);    // but it is not handed out without one
}

}  // namespace

TEST(Serialib, WithoutAnOpenPortEverythingFails) {
    Buffer never_opened;
    ExpectDead(never_opened);

    LineDevice device;
    Buffer closed;
    ASSERT_EQ(closed.OpenPort(device.path().c_str()), 1);
    device.Send({1, 2, 3});
    AwaitQueued(closed, 3);
    closed.ClosePort();
    EXPECT_FALSE(closed.IsOpen());
    EXPECT_EQ(closed.Queued().status, Platform::IoStatus::Failed);
    ExpectDead(closed);
    EXPECT_TRUE(device.ReceiveAll().empty());
}

TEST(Serialib, HeldByteIsReturnedUntilConsumed) {
    LineDevice device;
    Buffer buffer;
    ASSERT_EQ(buffer.OpenPort(device.path().c_str()), 1);
    device.Send({'A', 'B', 'C', 'D'});
    AwaitQueued(buffer, 4);

    EXPECT_EQ(buffer.underflow(), 'A');
    EXPECT_EQ(buffer.underflow(), 'A');   // looked at, not taken
    EXPECT_EQ(buffer.Queued().count, 3);  // the held byte is not counted
    EXPECT_EQ(buffer.showmanyc(), 1);
    EXPECT_EQ(buffer.Queued().count, 3);
    EXPECT_EQ(buffer.pbackfail('x'), kEof);  // one byte is held already
    EXPECT_EQ(buffer.uflow(), 'A');
    EXPECT_EQ(buffer.uflow(), 'B');

    // Any byte can be put back, once.
    EXPECT_EQ(buffer.pbackfail(kEof), kEof);
    EXPECT_EQ(buffer.pbackfail('z'), 'z');
    EXPECT_EQ(buffer.pbackfail('y'), kEof);
    EXPECT_EQ(buffer.underflow(), 'z');
    EXPECT_EQ(buffer.uflow(), 'z');

    // A byte above 0x7F comes back as a character value, never as end-of-file.
    EXPECT_EQ(buffer.pbackfail(0xFF), 0xFF);
    EXPECT_EQ(buffer.uflow(), 0xFF);
    EXPECT_EQ(buffer.uflow(), 'C');
}

TEST(Serialib, BulkReadHandsOutTheHeldByteFirst) {
    LineDevice device;
    Buffer buffer;
    ASSERT_EQ(buffer.OpenPort(device.path().c_str()), 1);
    device.Send({'h', 'e', 'l', 'l', 'o', '!'});
    AwaitQueued(buffer, 6);

    char out[5] = {};
    ASSERT_EQ(buffer.underflow(), 'h');
    EXPECT_EQ(buffer.xsgetn(out, 1), 1);
    EXPECT_EQ(out[0], 'h');
    EXPECT_EQ(buffer.Queued().count, 5);  // served without reading the line

    ASSERT_EQ(buffer.underflow(), 'e');
    EXPECT_EQ(buffer.xsgetn(out, 5), 5);
    EXPECT_EQ(std::string(out, 5), "ello!");
    EXPECT_EQ(buffer.xsgetn(out, 0), 0);
}

TEST(Serialib, BulkReadsAndWritesReturnFullCounts) {
    LineDevice device;
    Buffer buffer;
    ASSERT_EQ(buffer.OpenPort(device.path().c_str()), 1);

    Bytes block(1024);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 7);
    const char* data = reinterpret_cast<const char*>(block.data());
    EXPECT_EQ(buffer.xsputn(data, 1024), 1024);
    EXPECT_EQ(device.Receive(1024), block);
    EXPECT_EQ(buffer.overflow(0x80), 0x80);
    EXPECT_EQ(buffer.overflow(kEof), kEof);
    EXPECT_EQ(device.Receive(2, 0.2), Bytes{0x80});

    device.Send(block);
    AwaitQueued(buffer, 1024);
    char back[1024];
    EXPECT_EQ(buffer.xsgetn(back, 1024), 1024);
    EXPECT_EQ(Bytes(back, back + 1024), block);
}

TEST(Serialib, ReadsOnAQuietLineEndAfterAboutOneSecond) {
    LineDevice device;
    Buffer buffer;
    ASSERT_EQ(buffer.OpenPort(device.path().c_str()), 1);

    // Nothing at all: the total limit, 8 ms for the byte plus the 1000 ms constant.
    Traits::int_type got = 0;
    double seconds = SecondsTaken([&] { got = buffer.underflow(); });
    EXPECT_EQ(got, kEof);
    EXPECT_GT(seconds, 0.95);
    EXPECT_LT(seconds, 1.3);

    // Three bytes, then quiet: the read ends one interval after the last byte came.
    device.Send({1, 2, 3});
    char out[10];
    std::streamsize count = 0;
    seconds = SecondsTaken([&] { count = buffer.xsgetn(out, 10); });
    EXPECT_EQ(count, 3);
    EXPECT_GT(seconds, 0.95);
    EXPECT_LT(seconds, 1.3);
}

TEST(Serialib, ServesAStandardStream) {
    LineDevice device;
    Buffer buffer;
    ASSERT_EQ(buffer.OpenPort(device.path().c_str()), 1);
    std::iostream stream(&buffer);

    device.Send({'p', 'q', 'r', 's'});
    AwaitQueued(buffer, 4);
    EXPECT_EQ(stream.rdbuf()->in_avail(), 1);  // looks ahead by one byte
    EXPECT_EQ(stream.peek(), 'p');
    EXPECT_EQ(stream.get(), 'p');
    EXPECT_TRUE(stream.putback('P'));
    EXPECT_EQ(stream.get(), 'P');
    EXPECT_EQ(stream.rdbuf()->sungetc(), kEof);  // nothing to step back over

    char out[3];
    stream.clear();
    EXPECT_TRUE(stream.read(out, 3));
    EXPECT_EQ(std::string(out, 3), "qrs");

    stream << "ok" << std::flush;
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(device.Receive(2), (Bytes{'o', 'k'}));
}

// Bytes left on the line before the port opened (a previous user's unread answers) are
// never read as answers to this user's requests.
TEST(Serialib, OpeningDropsWhatWasLeftOnTheLine) {
    LineDevice device;
    device.Send({0x2B, 1, 2, 3});
    {
        // The bytes reach the library's side of the line, and wait there unread.
        Buffer earlier;
        ASSERT_EQ(earlier.OpenPort(device.path().c_str()), 1);
        device.Send({0x2B, 4, 5, 6});
        AwaitQueued(earlier, 4);
    }
    Buffer buffer;
    ASSERT_EQ(buffer.OpenPort(device.path().c_str()), 1);
    EXPECT_EQ(buffer.Queued().count, 0);
    device.Send({0x0B});
    AwaitQueued(buffer, 1);
    char byte = 0;
    EXPECT_EQ(buffer.xsgetn(&byte, 1), 1);
    EXPECT_EQ(byte, 0x0B);
}
