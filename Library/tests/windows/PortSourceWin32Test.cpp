// The port list from the registry: the values of a key, in the registry's order, classified
// by their driver device names.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "ComPortDevice.h"
#include "ErrorLines.h"
#include "io/SerialDeviceProvider.h"
#include "platform/SystemError.h"

using namespace Brivane::HardwareAPI;

namespace {

using Pairs = std::vector<std::pair<std::string, int>>;

Pairs PairsOf(const std::vector<IO::SerialPortInfo>& ports) {
    Pairs pairs;
    for (const auto& port : ports) pairs.emplace_back(port.port_name, static_cast<int>(port.kind));
    return pairs;
}

// A key of its own below HKEY_LOCAL_MACHINE, laid out as SERIALCOMM is, removed afterwards.
class TestKey {
  public:
    explicit TestKey(const std::string& name) : path_("SOFTWARE\\BrivaneTests\\" + name) {
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
        status_ = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key_, nullptr);
    }
    ~TestKey() {
        if (key_ != nullptr) ::RegCloseKey(key_);
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, path_.c_str());
    }
    bool Usable() const { return status_ == ERROR_SUCCESS; }
    const std::string& path() const { return path_; }

    // A text value, stored with its terminating NUL as the system stores them.
    void Text(const std::string& device, const std::string& port) const {
        Raw(device, REG_SZ, port.c_str(), port.size() + 1);
    }
    void Raw(const std::string& device, DWORD type, const void* data, std::size_t size) const {
        ASSERT_EQ(::RegSetValueExA(key_, device.c_str(), 0, type, static_cast<const BYTE*>(data),
                                   static_cast<DWORD>(size)),
                  ERROR_SUCCESS);
    }

  private:
    std::string path_;
    HKEY key_ = nullptr;
    LONG status_ = 0;
};

template <typename Call>
std::vector<Testing::ErrorLine> ProviderLines(Call&& call) {
    return Testing::ErrorLinesFrom("SerialDeviceProvider.cpp", call);
}

std::string TextOf(int error) {
    char text[256] = {};
    Platform::SystemErrorText(error, text, sizeof text);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

}  // namespace

TEST(PortSourceWin32, ListsTheKeysValuesInOrderClassifiedByTheirDriverDevice) {
    TestKey key("Listed");
    if (!key.Usable()) GTEST_SKIP() << "no write access to HKEY_LOCAL_MACHINE";
    // In the order of their names, which is also the order some registries keep.
    key.Text("\\Device\\BthModem0", "COM9");
    key.Text("\\Device\\Serial0", "COM1");
    key.Raw("\\Device\\Serial2", REG_BINARY, "COM12", 5);     // no terminator
    key.Raw("\\Device\\Serial3", REG_SZ, "COM13\0junk", 11);  // up to the first NUL
    key.Text("\\Device\\Silabser0", "COM6");
    key.Text("\\Device\\USBSER000", "COM5");
    key.Text("\\Device\\USBSER001\\Serial", "COM7");
    key.Text("\\Device\\VCP0", "COM2");
    key.Text("\\Device\\Zz\\SERIAL1", "COM3");  // case matters

    std::vector<IO::SerialPortInfo> ports;
    EXPECT_TRUE(ProviderLines([&] { ports = IO::EnumerateSerialPorts(key.path()); }).empty());
    EXPECT_EQ(PairsOf(ports), (Pairs{{"COM9", 3},
                                     {"COM1", 2},
                                     {"COM12", 2},
                                     {"COM13", 2},
                                     {"COM6", 2},
                                     {"COM5", 1},
                                     {"COM7", 1}}));
}

TEST(PortSourceWin32, AnEmptyKeyListsNothingQuietly) {
    TestKey key("Empty");
    if (!key.Usable()) GTEST_SKIP() << "no write access to HKEY_LOCAL_MACHINE";
    std::vector<IO::SerialPortInfo> ports{{"x", IO::PortKind::UsbSerial}};
    EXPECT_TRUE(ProviderLines([&] { ports = IO::EnumerateSerialPorts(key.path()); }).empty());
    EXPECT_TRUE(ports.empty());
}

// A name or data longer than the 260-byte buffers fails the whole list, with one line.
TEST(PortSourceWin32, AValueTooLongForTheBuffersEmptiesTheList) {
    for (const bool long_name : {true, false}) {
        SCOPED_TRACE(long_name ? "long name" : "long data");
        TestKey key("TooLong");
        if (!key.Usable()) GTEST_SKIP() << "no write access to HKEY_LOCAL_MACHINE";
        key.Text("\\Device\\Serial0", "COM1");
        if (long_name) {
            key.Text("\\Device\\Serial" + std::string(290, '9'), "COM2");
        } else {
            key.Text("\\Device\\Serial1", "COM" + std::string(290, '2'));
        }
        std::vector<IO::SerialPortInfo> ports{{"x", IO::PortKind::UsbSerial}};
        const auto lines = ProviderLines([&] { ports = IO::EnumerateSerialPorts(key.path()); });
        EXPECT_TRUE(ports.empty());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].description, "unable to enum values for registry key: " + key.path());
        EXPECT_EQ(lines[0].error, ERROR_MORE_DATA);
        EXPECT_EQ(lines[0].text, TextOf(ERROR_MORE_DATA));
    }
}

TEST(PortSourceWin32, AMissingKeyReportsTheOpenStatus) {
    const std::string missing = "SOFTWARE\\BrivaneTests\\Missing";
    std::vector<IO::SerialPortInfo> ports{{"x", IO::PortKind::UsbSerial}};
    const auto lines = ProviderLines([&] { ports = IO::EnumerateSerialPorts(missing); });
    EXPECT_TRUE(ports.empty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].description, "unable to access registry key: " + missing);
    EXPECT_EQ(lines[0].error, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(lines[0].text, TextOf(ERROR_FILE_NOT_FOUND));
}

// The machine's own list: the COM ports the tests use are plain serial ports there.
TEST(PortSourceWin32, TheMachinesSerialCommKeyListsTheTestPorts) {
    const char* pairs = std::getenv("BRIVANE_COM_PAIRS");
    if (pairs == nullptr) GTEST_SKIP() << "BRIVANE_COM_PAIRS names no port";
    std::vector<IO::SerialPortInfo> ports;
    EXPECT_TRUE(ProviderLines([&] { ports = IO::EnumerateSerialPorts(); }).empty());
    const Pairs listed = PairsOf(ports);
    const std::string first(pairs, std::string(pairs).find(':'));
    EXPECT_NE(std::find(listed.begin(), listed.end(), std::make_pair(first, 2)), listed.end())
        << first;
    EXPECT_STREQ(Platform::DefaultPortSourceRoot(), "HARDWARE\\DEVICEMAP\\SERIALCOMM");
}
