// The Win32 serial port under the stream and the device framing: opening, the line's
// settings, writes that stall, a lost line, and how a wait sleeps and wakes.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ComPortDevice.h"
#include "ErrorLines.h"
#include "LineDevice.h"
#include "base/Interrupt.h"
#include "devices/Device.h"
#include "devices/Handle.h"
#include "devices/Kalvar.h"
#include "io/SerialStream.h"
#include "platform/SerialPort.h"
#include "platform/SystemError.h"

using namespace Brivane::HardwareAPI;
using Devices::Device;
using Platform::IoStatus;
using Testing::Bytes;
using Testing::LineDevice;
using Testing::ProcessCpuSeconds;
using Testing::SecondsTaken;
using namespace std::chrono_literals;

namespace {

template <typename Call>
std::vector<Testing::ErrorLine> StreamLines(Call&& call) {
    return Testing::ErrorLinesFrom("SerialStream.cpp", call);
}
template <typename Call>
std::vector<Testing::ErrorLine> DeviceLines(Call&& call) {
    return Testing::ErrorLinesFrom("Device.cpp", call);
}

// The system's text for an error, without the line break it ends in.
std::string TextOf(int error) {
    char text[256] = {};
    EXPECT_TRUE(Platform::SystemErrorText(error, text, sizeof text));
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// A second handle on the library's port, where the system allows one (Wine does; Windows
// refuses it while the library holds the port).
struct PortView {
    explicit PortView(const std::string& name) : handle(Testing::OpenDevicePort(name)) {}
    ~PortView() {
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }
    DCB Settings() const {
        DCB settings{};
        settings.DCBlength = sizeof settings;
        EXPECT_TRUE(::GetCommState(handle, &settings));
        return settings;
    }
    HANDLE handle;
};

Bytes Frame(unsigned i) {
    return {0x2A,
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
}

}  // namespace

TEST(SerialPortWin32, OpenCodesAndTheirErrors) {
    LineDevice device;
    struct Case {
        std::string name;
        int code;
        DWORD error;
    };
    const Case cases[] = {
        {"COM199", -1, ERROR_FILE_NOT_FOUND},
        {"", -1, ERROR_FILE_NOT_FOUND},
        {device.path() + "\\sub", -2, ERROR_PATH_NOT_FOUND},
        {"bad<name>", -2, ERROR_INVALID_NAME},
        {"NUL", -3, ERROR_INVALID_HANDLE},  // opens, but has no line settings
    };
    for (const Case& c : cases) {
        IO::SerialStream stream(c.name.c_str(), false);
        int code = 0;
        const auto lines = StreamLines([&] { code = stream.Open(); });
        EXPECT_EQ(code, c.code) << c.name;
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0].description, "unable to open port '" + c.name + "'");
        EXPECT_EQ(lines[0].error, static_cast<int>(c.error)) << c.name;
        EXPECT_EQ(lines[0].text, TextOf(static_cast<int>(c.error))) << c.name;
        EXPECT_EQ(stream.Available(), 0);
    }
    IO::SerialStream stream(device.path().c_str(), false);
    EXPECT_EQ(stream.Open(), 1);
}

// The message text is used as the system returns it, with its line break; a number it has
// no text for is "unknown".
TEST(SerialPortWin32, MissingPortAtConstructionWritesTwoLinesWithTheSystemsText) {
    testing::internal::CaptureStderr();
    { IO::SerialStream stream("COM199", true); }
    const std::string captured = testing::internal::GetCapturedStderr();
    const auto lines = Testing::ParseErrorLines(captured, "SerialStream.cpp");
    ASSERT_EQ(lines.size(), 2u) << captured;
    EXPECT_EQ(lines[0].description, "unable to open port 'COM199'");
    EXPECT_EQ(lines[1].description, "unable to open stream 'COM199'");
    EXPECT_EQ(lines[1].error, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(captured.find("[2] " + TextOf(ERROR_FILE_NOT_FOUND) + "\r\n\n"), std::string::npos)
        << captured;

    char text[256];
    EXPECT_FALSE(Platform::SystemErrorText(0x2345678, text, sizeof text));
}

TEST(SerialPortWin32, OpensAt115200And8N1KeepingEveryOtherSetting) {
    LineDevice device;
    PortView view(device.path());
    ASSERT_NE(view.handle, INVALID_HANDLE_VALUE);
    DCB before = view.Settings();
    before.BaudRate = CBR_9600;
    before.ByteSize = 7;
    before.Parity = EVENPARITY;
    before.StopBits = TWOSTOPBITS;
    before.fOutxCtsFlow = TRUE;
    before.fRtsControl = RTS_CONTROL_HANDSHAKE;
    before.fOutX = TRUE;
    before.fInX = TRUE;
    ASSERT_TRUE(::SetCommState(view.handle, &before));
    before = view.Settings();  // as the port keeps them

    IO::SerialStream stream(device.path().c_str(), true);
    ASSERT_TRUE(stream.good());
    DCB after = view.Settings();
    EXPECT_EQ(after.BaudRate, static_cast<DWORD>(CBR_115200));
    EXPECT_EQ(after.ByteSize, 8);
    EXPECT_EQ(after.Parity, NOPARITY);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);
    after.BaudRate = before.BaudRate;
    after.ByteSize = before.ByteSize;
    after.Parity = before.Parity;
    after.StopBits = before.StopBits;
    EXPECT_EQ(std::memcmp(&after, &before, sizeof(DCB)), 0) << "a setting besides the four changed";
    EXPECT_TRUE(after.fOutxCtsFlow);
    EXPECT_TRUE(after.fOutX);
}

TEST(SerialPortWin32, BytesCrossBothWaysUnchanged) {
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);

    stream.Write(reinterpret_cast<const char*>(all.data()), all.size());
    EXPECT_EQ(device.Receive(256), all);

    device.Send(all);
    ASSERT_EQ(stream.WaitForBytes(256, Deadline::After(1.0)).status, IoStatus::Done);
    EXPECT_EQ(stream.Available(), 256);
    char back[256];
    stream.read(back, 256);
    EXPECT_EQ(stream.gcount(), 256);
    EXPECT_EQ(Bytes(back, back + 256), all);
    EXPECT_TRUE(device.ReceiveAll().empty()) << "nothing echoed back";
}

TEST(SerialPortWin32, WritesWithoutAnOpenPortFailWithNotOpen) {
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    EXPECT_TRUE(StreamLines([&] { stream.Write("", 0); }).empty());
    stream.Close();
    for (int i = 0; i < 2; ++i) {
        const auto lines = StreamLines([&] { stream.Write("abc", 3); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].description, "unable to write '3' bytes to stream");
        EXPECT_EQ(lines[0].error, ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(device.ReceiveAll().empty());
}

// Behind \\.\ a path may reach a file: whatever it opens, nothing is written to it.
TEST(SerialPortWin32, AFileBehindTheDevicePrefixIsNeverWritten) {
    char folder[MAX_PATH] = {};
    ASSERT_GT(::GetTempPathA(sizeof folder, folder), 0u);
    const std::string path = std::string(folder) + "brivane-not-a-port.bin";
    const std::string content = "vm\n";
    {
        std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), std::fclose);
        ASSERT_NE(file, nullptr);
        std::fwrite(content.data(), 1, content.size(), file.get());
    }
    {
        IO::SerialStream stream(path.c_str(), false);
        std::int8_t code = 1;
        StreamLines([&] { code = stream.Open(); });
        EXPECT_LT(code, 0);
        Devices::Kalvar arm(&stream, 0.1f);
        Devices::Handle grip(&stream, 0.1f);
        testing::internal::CaptureStderr();
        arm.get_temperature();
        grip.SendHandleState(1, 0, nullptr);
        testing::internal::GetCapturedStderr();
    }
    std::string read_back(16, '\0');
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    ASSERT_NE(file, nullptr);
    read_back.resize(std::fread(read_back.data(), 1, read_back.size(), file.get()));
    EXPECT_EQ(read_back, content);
    file.reset();
    std::remove(path.c_str());
}

// A line that takes nothing for a while: the write that runs out of time says so, and the
// frame it began is finished before the next one, which goes out once the line drains.
TEST(SerialPortWin32, StalledWriteTimesOutWithoutTearingAFrameAndTheStreamRecovers) {
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    unsigned written = 0;
    std::vector<Testing::ErrorLine> lines;
    while (lines.empty() && written < 100000) {
        const Bytes bytes = Frame(written++);
        lines = StreamLines(
            [&] { stream.Write(reinterpret_cast<const char*>(bytes.data()), bytes.size()); });
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, "unable to write '13' bytes to stream");
    EXPECT_EQ(lines[0].error, ERROR_TIMEOUT);

    Bytes wire = device.ReceiveAll(0.2);
    const Bytes last = Frame(0xFFFF);
    EXPECT_TRUE(StreamLines([&] {
                    stream.Write(reinterpret_cast<const char*>(last.data()), last.size());
                }).empty());
    const Bytes rest = device.ReceiveAll(0.2);
    wire.insert(wire.end(), rest.begin(), rest.end());
    ASSERT_EQ(wire.size() % 13, 0u) << "a torn frame";
    ASSERT_GE(wire.size() / 13, written - 1);  // the timed-out frame went out, or none of it
    for (unsigned i = 0; i + 1 < wire.size() / 13; ++i) {
        ASSERT_EQ(Bytes(wire.begin() + 13 * i, wire.begin() + 13 * (i + 1)), Frame(i)) << i;
    }
    EXPECT_EQ(Bytes(wire.end() - 13, wire.end()), last);
}

// A device that is unplugged: the wait that notices it fails at once, later reads fail as
// late as a silent line would answer, asleep, and every write fails without trying; each
// with the lost line's number. A port that never opened behaves alike, as not open.
TEST(SerialPortWin32, ReadsOnALostOrUnopenedLineFailFirstAtOnceThenAfterTheLimit) {
    const std::string unplug = Testing::UnplugPort();
    if (unplug.empty()) GTEST_SKIP() << "BRIVANE_UNPLUG_PORT names no port";
    struct Case {
        const char* name;
        std::string port;
        int error;
    };
    // The lost line keeps the number the system gave: Wine fails the read of a pseudo-terminal
    // whose far end closed with a broken pipe.
    for (const Case& c : {Case{"lost", unplug, ERROR_BROKEN_PIPE},
                          Case{"not open", "COM199", ERROR_INVALID_HANDLE}}) {
        SCOPED_TRACE(c.name);
        IO::SerialStream stream(c.port.c_str(), false);
        int code = 0;
        for (int tries = 0; tries < 50 && code != 1; ++tries) {  // the line comes back after a loss
            StreamLines([&] { code = stream.Open(); });
            if (code != 1 && c.error == ERROR_INVALID_HANDLE) break;
            if (code != 1) ::Sleep(100);
        }
        ASSERT_EQ(code == 1, c.error == ERROR_BROKEN_PIPE);
        Device device(&stream, 2.0f);
        std::vector<Testing::ErrorLine> lines;
        if (code == 1) {
            stream.Write("x", 1);  // the device goes away when it hears this
            EXPECT_EQ(stream.Fault(), 0);
        }
        const double first =
            SecondsTaken([&] { lines = DeviceLines([&] { EXPECT_EQ(device.read_header(), 0); }); });
        EXPECT_LT(first, 1.0);
        device.timeout = 0.3f;
        const double cpu = ProcessCpuSeconds();
        const double later = SecondsTaken([&] {
            const auto more = DeviceLines([&] { EXPECT_EQ(device.read_bytes(5), 0); });
            lines.insert(lines.end(), more.begin(), more.end());
        });
        EXPECT_GE(later, 0.29);
        EXPECT_LT(later, 0.45);
        EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0].description, "unable to read header code from stream");
        EXPECT_EQ(lines[1].description, "unable to read '5' bytes from stream");
        for (const auto& line : lines) EXPECT_EQ(line.error, c.error);

        for (int i = 0; i < 2; ++i) {
            const auto written = StreamLines([&] { stream.Write("abc", 3); });
            ASSERT_EQ(written.size(), 1u);
            EXPECT_EQ(written[0].error, c.error);
        }
    }
}

// Part of an answer queued and the rest late: the wait hands over what came after one nap.
TEST(SerialPortWin32, SomeBytesAndNoMoreAreHandedOverAfterANap) {
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    device.Send({1, 2, 3});
    ASSERT_EQ(stream.WaitForBytes(3, Deadline::After(1.0)).status, IoStatus::Done);
    IoStatus result = IoStatus::Done;
    const double seconds =
        SecondsTaken([&] { result = stream.WaitForBytes(4, Deadline::After(1.0)).status; });
    EXPECT_EQ(result, IoStatus::Partial);
    EXPECT_LT(seconds, 0.5) << "waited for the deadline";

    EXPECT_EQ(stream.WaitForBytes(4, Deadline::Never()).status, IoStatus::Partial);
}

// The wait notices an answer within a few milliseconds even on a loaded machine under
// Wine, and spends next to no processor time on a quiet line.
TEST(SerialPortWin32, AWaitWakesSoonAfterTheAnswerArrivesAndSleepsMeanwhile) {
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    std::vector<double> lags;
    for (int i = 0; i < 15; ++i) {
        std::atomic<std::int64_t> sent_at{0};
        std::thread sender([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + 3 * i));
            sent_at = std::chrono::steady_clock::now().time_since_epoch().count();
            device.Send({0x2B});
        });
        ASSERT_EQ(stream.WaitForBytes(1, Deadline::After(1.0)).status, IoStatus::Done);
        const auto woke = std::chrono::steady_clock::now().time_since_epoch().count();
        sender.join();
        lags.push_back(std::chrono::duration<double>(
                           std::chrono::steady_clock::duration(woke - sent_at.load()))
                           .count());
        char code;
        stream.read(&code, 1);
    }
    std::sort(lags.begin(), lags.end());
    EXPECT_LT(lags[lags.size() / 2], 0.005) << "median lag from the answer to the wake";

    const double cpu = ProcessCpuSeconds();
    EXPECT_EQ(stream.WaitForBytes(1, Deadline::After(1.0)).status, IoStatus::TimedOut);
    EXPECT_EQ(Platform::LastSystemError(), ERROR_TIMEOUT);
    EXPECT_LT(ProcessCpuSeconds() - cpu, 0.05) << "a second of quiet";
}

// On Windows a console's Ctrl-C runs its handler on another thread, which can only raise a
// flag: a wait asks the interrupt check now and then, and stops when it says so.
TEST(SerialPortWin32, AWaitStopsSoonAfterTheInterruptCheckAsks) {
    static std::atomic<bool> stop{false};
    stop = false;
    LineDevice device;
    IO::SerialStream stream(device.path().c_str(), true);
    stream.SetInterruptCheck([] { return stop.load(); });
    std::thread raiser([] {
        std::this_thread::sleep_for(100ms);
        stop = true;
    });
    IoStatus result = IoStatus::Done;
    const double seconds =
        SecondsTaken([&] { result = stream.WaitForBytes(1, Deadline::After(2.0)).status; });
    raiser.join();
    EXPECT_EQ(result, IoStatus::Interrupted);
    EXPECT_GE(seconds, 0.1);
    EXPECT_LT(seconds, 1.0) << "waited for the deadline";
    EXPECT_TRUE(Interrupt::Take());
}

// A stop request from another thread (as a console's Ctrl-C handler is) wakes the wait at
// once, rather than at its next look at the check.
TEST(SerialPortWin32, AWaitEndsAsSoonAsTheInterruptHookWakesIt) {
    static std::atomic<bool> stop{false};
    LineDevice line;
    IO::SerialStream stream(line.path().c_str(), true);
    stream.SetInterruptCheck([] { return stop.load(); });
    std::vector<double> lags;
    for (int i = 0; i < 5; ++i) {
        stop = false;
        std::atomic<std::int64_t> raised_at{0};
        std::thread raiser([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30 + 7 * i));
            raised_at = std::chrono::steady_clock::now().time_since_epoch().count();
            stop = true;
            Interrupt::Wake();
        });
        EXPECT_EQ(stream.WaitForBytes(1, Deadline::After(2.0)).status, IoStatus::Interrupted);
        const auto returned = std::chrono::steady_clock::now().time_since_epoch().count();
        raiser.join();
        lags.push_back(std::chrono::duration<double>(
                           std::chrono::steady_clock::duration(returned - raised_at.load()))
                           .count());
        EXPECT_TRUE(Interrupt::Take());
    }
    // Woken by the check alone, the wait would return up to 20 ms late: 10 ms at the median.
    std::sort(lags.begin(), lags.end());
    EXPECT_LT(lags[lags.size() / 2], 0.008) << "median lag from the stop request";
}

// A read and a write on two threads: each finishes while the other is pending.
TEST(SerialPortWin32, AReadAndAWriteNeverWaitForEachOther) {
    LineDevice line;
    IO::SerialStream stream(line.path().c_str(), true);

    // A wait pending on a quiet line; a write meanwhile.
    std::atomic<bool> waited{false};
    std::thread reader([&] {
        EXPECT_EQ(stream.WaitForBytes(1, Deadline::After(2.0)).status, IoStatus::Done);
        waited = true;
    });
    std::this_thread::sleep_for(50ms);
    const Bytes request = Frame(1);
    stream.Write(reinterpret_cast<const char*>(request.data()), request.size());
    EXPECT_EQ(line.Receive(13, 0.5), request);
    EXPECT_FALSE(waited) << "the wait ended before anything came";
    line.Send({0x2B});
    reader.join();
    char code = 0;
    stream.read(&code, 1);

    // A write held up by a line that takes nothing; a read meanwhile. The byte is queued
    // before the line fills: a relay whose far side is full passes nothing back either.
    line.Send({0x2C});
    for (int i = 0; i < 100 && stream.Available() < 1; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(stream.Available(), 1);
    std::atomic<bool> written{false};
    const std::string bulk(1 << 18, 'w');
    std::thread writer([&] {
        stream.Write(bulk.data(), bulk.size());
        written = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(written) << "the line took everything at once";
    IoStatus result = IoStatus::Failed;
    EXPECT_LT(SecondsTaken([&] { result = stream.WaitForBytes(1, Deadline::After(1.0)).status; }),
              0.1);
    EXPECT_EQ(result, IoStatus::Done);
    stream.read(&code, 1);
    EXPECT_EQ(code, 0x2C);
    EXPECT_FALSE(written);
    EXPECT_EQ(line.ReceiveAll(0.3).size(), bulk.size());
    writer.join();
}

// A port name far longer than the reporter's own buffer is printed whole, to its quote.
TEST(SerialPortWin32, ALongPortNamesErrorLineIsWhole) {
    const std::string name = "COM" + std::string(600, '7') + "-end";
    IO::SerialStream stream(name.c_str(), false);
    const auto lines = StreamLines([&] { EXPECT_LT(stream.Open(), 0); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, "unable to open port '" + name + "'");
}

// A read that fails goes on once its line error is cleared (the driver aborts reads on a
// framing, parity or overrun error until then); a second failure in a row, or errors that
// cannot be cleared, are a line that stays broken. Wine's ports never abort on an error.
TEST(SerialPortWin32, AFailedReadGoesOnOnlyOnceItsLineErrorIsCleared) {
    struct Case {
        int attempt;
        bool cleared;
        bool goes_on;
    };
    for (const Case& c : {Case{0, true, true}, Case{1, true, false}, Case{0, false, false}}) {
        EXPECT_EQ(Platform::ReadGoesOnAfterFailure(c.attempt, c.cleared), c.goes_on)
            << c.attempt << " " << c.cleared;
    }
}
