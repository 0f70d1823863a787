#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "io/SerialDeviceProvider.h"

using namespace Brivane::HardwareAPI;
namespace fs = std::filesystem;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs PairsOf(const std::vector<IO::SerialPortInfo>& ports) {
    Pairs pairs;
    for (const auto& port : ports) {
        pairs.emplace_back(port.port_name, std::to_string(static_cast<int>(port.kind)));
    }
    return pairs;
}

// A sysfs tree in a temporary directory, laid out as the kernel lays out devices, their
// drivers and the tty class, with relative symlinks between them.
class FakeSysfs {
  public:
    FakeSysfs() : root_(::mkdtemp(name_)) { fs::create_directories(root_ / "class/tty"); }
    ~FakeSysfs() { fs::remove_all(root_); }

    std::string tty_class() const { return (root_ / "class/tty").string(); }

    void File(const std::string& path, const std::string& text) const {
        fs::create_directories((root_ / path).parent_path());
        std::ofstream(root_ / path) << text;
    }
    void Link(const std::string& link, const std::string& target) const {
        fs::create_directories((root_ / link).parent_path());
        fs::create_directory_symlink(fs::relative(root_ / target, (root_ / link).parent_path()),
                                     root_ / link);
    }
    void Bound(const std::string& device, const std::string& bus, const std::string& driver) {
        fs::create_directories(root_ / "bus" / bus / "drivers" / driver);
        Link(device + "/driver", "bus/" + bus + "/drivers/" + driver);
        Link(device + "/subsystem", "bus/" + bus);
    }
    // A tty below `parent`, or a virtual one without a device when `parent` is empty.
    std::string Tty(const std::string& name, const std::string& parent = "") const {
        const std::string tty =
            parent.empty() ? "devices/virtual/tty/" + name : parent + "/tty/" + name;
        File(tty + "/dev", "4:1\n");
        if (!parent.empty()) Link(tty + "/device", parent);
        Link("class/tty/" + name, tty);
        return tty;
    }
    // ttyACM below its USB interface; ttyUSB below a usb-serial port below the interface.
    void Usb(const std::string& name, const std::string& usb_port, const std::string& driver) {
        const std::string interface =
            "devices/pci0000:00/usb1/" + usb_port + "/" + usb_port + ":1.0";
        Bound(interface, "usb", driver);
        if (name.rfind("ttyACM", 0) == 0) {
            Tty(name, interface);
            return;
        }
        Bound(interface + "/" + name, "usb-serial", driver);
        Tty(name, interface + "/" + name);
    }
    // A serial core port below its controller below the UART, as kernels from 6.5 on have it.
    std::string Uart(const std::string& name, const std::string& uart, const std::string& driver,
                     const std::string& type) {
        Bound(uart, "platform", driver);
        const std::string port = uart + "/ctrl:0/ctrl:0.0";
        Bound(uart + "/ctrl:0", "serial-base", "ctrl");
        Bound(port, "serial-base", "port");
        const std::string tty = Tty(name, port);
        File(tty + "/type", type + "\n");
        return tty;
    }

  private:
    char name_[32] = "/tmp/fake-sysfs-XXXXXX";
    fs::path root_;
};

}  // namespace

TEST(SerialDeviceProvider, ClassifiesCaseSensitivelyFirstRuleFirstKeepingDuplicates) {
    const std::vector<Platform::PortSourceEntry> entries = {
        {"\\Device\\Serial0", "COM1"},
        {"\\Device\\VCP0", "COM2"},
        {"\\Device\\SERIAL1", "COM3"},
        {"\\Device\\usbser000", "COM4"},
        {"\\Device\\USBSER000", "COM5"},
        {"\\Device\\USBSER000", "COM5"},
        {"\\Device\\Silabser0", "COM6"},
        {"\\Device\\USBSER001\\Serial", "COM7"},
        {"Serial0", "COM8"},
        {"\\Device\\BthModem0", "COM9"},
    };
    EXPECT_EQ(PairsOf(IO::ClassifySerialPorts(entries)), (Pairs{{"COM1", "2"},
                                                                {"COM5", "1"},
                                                                {"COM5", "1"},
                                                                {"COM6", "2"},
                                                                {"COM7", "1"},
                                                                {"COM9", "3"}}));
}

TEST(SerialDeviceProvider, ListsTheSerialTtysOfARealLayoutInNumericOrder) {
    FakeSysfs sysfs;
    for (const char* name : {"console", "ptmx", "tty0", "tty1"}) sysfs.Tty(name);
    sysfs.Usb("ttyACM10", "1-5", "cdc_acm");
    sysfs.Usb("ttyACM0", "1-2", "cdc_acm");
    sysfs.Usb("ttyACM2", "1-6", "cdc_acm");
    sysfs.Usb("ttyUSB0", "1-3", "cp210x");
    sysfs.Usb("ttyUSB1", "1-4", "ftdi_sio");
    sysfs.Uart("ttyS0", "devices/pnp0/00:00", "serial", "4");
    sysfs.Uart("ttyS1", "devices/platform/serial8250", "serial8250", "0");  // placeholder
    sysfs.File(sysfs.Tty("rfcomm0") + "/channel", "1\n");                   // bound, not connected
    sysfs.File(sysfs.Uart("ttyS4", "devices/pnp0/00:04", "serial", "4") + "/console", "Y\n");

    testing::internal::CaptureStderr();
    const auto listed = Platform::ListSerialPorts(sysfs.tty_class());
    const auto ports = IO::EnumerateSerialPorts(sysfs.tty_class());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    Pairs names;
    for (const auto& entry : listed.entries) names.emplace_back(entry.device_name, entry.port_name);
    EXPECT_EQ(names, (Pairs{{"\\Device\\BthModem0", "/dev/rfcomm0"},
                            {"\\Device\\USBSER000", "/dev/ttyACM0"},
                            {"\\Device\\USBSER001", "/dev/ttyACM2"},
                            {"\\Device\\USBSER002", "/dev/ttyACM10"},
                            {"\\Device\\Serial0", "/dev/ttyS0"},
                            {"\\Device\\Silabser0", "/dev/ttyUSB0"},
                            {"\\Device\\ftdi_sio0", "/dev/ttyUSB1"}}));
    EXPECT_EQ(PairsOf(ports), (Pairs{{"/dev/rfcomm0", "3"},
                                     {"/dev/ttyACM0", "1"},
                                     {"/dev/ttyACM2", "1"},
                                     {"/dev/ttyACM10", "1"},
                                     {"/dev/ttyS0", "2"},
                                     {"/dev/ttyUSB0", "2"}}));
}

TEST(SerialDeviceProvider, EmptyOrThisMachinesTreeIsQuietAndUnreadableRootReportsItself) {
    FakeSysfs sysfs;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(IO::EnumerateSerialPorts(sysfs.tty_class()).empty());
    for (const auto& port : IO::EnumerateSerialPorts()) EXPECT_TRUE(fs::exists(port.port_name));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    const std::string missing = sysfs.tty_class() + "/missing";
    testing::internal::CaptureStderr();
    EXPECT_TRUE(IO::EnumerateSerialPorts(missing).empty());
    const std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line.rfind("[err] ", 0), 0u) << line;
    EXPECT_NE(line.find("SerialDeviceProvider.cpp:"), std::string::npos) << line;
    EXPECT_NE(line.find("> unable to access registry key: " + missing +
                        ": [2] No such file or directory\n"),
              std::string::npos)
        << line;
}
