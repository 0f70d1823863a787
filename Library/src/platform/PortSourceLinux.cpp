// sysfs source of the serial port list: /sys/class/tty, one entry per tty.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>

#include "PortSource.h"

namespace Brivane::HardwareAPI::Platform {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
struct Freer {
    void operator()(char* text) const { std::free(text); }
};

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// ttyS2 before ttyS10: runs of digits compare as numbers, everything else byte by byte.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            std::size_t a_end = i, b_end = j;
            while (a_end < a.size() && IsDigit(a[a_end])) ++a_end;
            while (b_end < b.size() && IsDigit(b[b_end])) ++b_end;
            while (i + 1 < a_end && a[i] == '0') ++i;
            while (j + 1 < b_end && b[j] == '0') ++j;
            if (a_end - i != b_end - j) return a_end - i < b_end - j;
            const int order = a.compare(i, a_end - i, b, j, b_end - j);
            if (order != 0) return order < 0;
            i = a_end;
            j = b_end;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;  // ttyS01 and ttyS1 still need an order
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The last component of a symlink's target: the driver or subsystem it names.
std::string LinkName(const std::string& link) {
    char target[4096];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return {};
    const std::string text(target, static_cast<std::size_t>(length));
    const std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string Parent(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// The driver bound to the hardware behind the tty. A USB-to-serial converter puts a port
// device of its own (bus usb-serial) between the tty and the USB interface; the interface
// is what the driver serves, so that is the device asked.
std::string DriverBehind(const std::string& tty) {
    const std::unique_ptr<char, Freer> resolved(::realpath((tty + "/device").c_str(), nullptr));
    if (!resolved) return {};
    std::string device = resolved.get();
    if (LinkName(device + "/subsystem") == "usb-serial") device = Parent(device);
    return LinkName(device + "/driver");
}

enum class UartType { NotAUart, Unknown, Known };

// Every port of the serial core (8250 and the other on-board UART drivers) has a `type`
// attribute. The 8250 driver registers its full set of ports whether or not a UART answers
// there; those report type 0 and cannot be used, so they are skipped without being opened.
UartType TypeOfUart(const std::string& tty) {
    const std::string path = tty + "/type";
    if (!Exists(path)) return UartType::NotAUart;
    std::ifstream file(path);
    long type = 0;
    if (!(file >> type) || type == 0) return UartType::Unknown;
    return UartType::Known;
}

// A serial port that carries the kernel's console (and often a login on it) has no device
// on it, and opening it for a probe would reconfigure that terminal.
bool IsConsole(const std::string& tty) {
    std::ifstream file(tty + "/console");
    char flag = 0;
    return (file >> flag) && flag == 'Y';
}

// The driver device's base name, without its index; empty for a tty that is no serial port.
std::string DriverDeviceBase(const std::string& root, const std::string& name) {
    // RFCOMM ttys have no device while only bound, and no driver once connected.
    if (name.compare(0, 6, "rfcomm") == 0) return "BthModem";

    const std::string tty = root + "/" + name;
    if (!Exists(tty + "/device")) return {};  // virtual consoles, ptmx, console, ...
    if (IsConsole(tty)) return {};

    switch (TypeOfUart(tty)) {
        case UartType::Known:
            return "Serial";
        case UartType::Unknown:
            return {};
        case UartType::NotAUart:
            break;
    }

    const std::string driver = DriverBehind(tty);
    if (driver == "cdc_acm") return "USBSER";
    if (driver == "cp210x") return "Silabser";
    return driver;  // named after itself, so that nobody mistakes it for a known kind
}

std::string DriverDeviceName(const std::string& base, int index) {
    char number[16];
    // usbser numbers its devices with three digits; the others do not pad.
    std::snprintf(number, sizeof number, base == "USBSER" ? "%03d" : "%d", index);
    return "\\Device\\" + base + number;
}

std::string FirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

}  // namespace

PortDetails DescribePort(const std::string& port_name) {
    return DescribePort(port_name, DefaultPortSourceRoot(), "/dev/serial/by-id");
}

// A USB device is the first folder above the tty's device that has idVendor: the interface
// for a CDC port, the usb-serial port device and then the interface for a converter.
PortDetails DescribePort(const std::string& port_name, const std::string& sysfs_root,
                         const std::string& by_id_root) {
    PortDetails details;
    const std::size_t slash = port_name.rfind('/');
    const std::string name = slash == std::string::npos ? port_name : port_name.substr(slash + 1);
    const std::unique_ptr<char, Freer> device(
        ::realpath((sysfs_root + "/" + name + "/device").c_str(), nullptr));
    if (device) {
        std::string folder = device.get();
        for (int up = 0; up < 4 && folder.size() > 1; ++up, folder = Parent(folder)) {
            if (!Exists(folder + "/idVendor")) continue;
            details.usb = true;
            details.vid =
                static_cast<int>(std::strtol(FirstLine(folder + "/idVendor").c_str(), nullptr, 16));
            details.pid = static_cast<int>(
                std::strtol(FirstLine(folder + "/idProduct").c_str(), nullptr, 16));
            details.serial_number = FirstLine(folder + "/serial");
            details.manufacturer = FirstLine(folder + "/manufacturer");
            details.product = FirstLine(folder + "/product");
            break;
        }
    }
    const std::unique_ptr<DIR, DirCloser> by_id(::opendir(by_id_root.c_str()));
    const std::unique_ptr<char, Freer> port(::realpath(port_name.c_str(), nullptr));
    if (by_id && port) {
        while (const dirent* entry = ::readdir(by_id.get())) {
            if (entry->d_name[0] == '.') continue;
            const std::string link = by_id_root + "/" + entry->d_name;
            const std::unique_ptr<char, Freer> target(::realpath(link.c_str(), nullptr));
            if (target && std::string(target.get()) == port.get()) {
                details.by_id = link;
                break;
            }
        }
    }
    return details;
}

const char* DefaultPortSourceRoot() {
    return "/sys/class/tty";
}

PortSourceResult ListSerialPorts(const std::string& root) {
    PortSourceResult result;
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(root.c_str()));
    if (!dir) {
        result.status = PortSourceStatus::Unreadable;
        result.error_number = errno;
        return result;
    }

    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) break;
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    if (errno != 0) {
        result.status = PortSourceStatus::EnumerationFailed;
        result.error_number = errno;
        return result;
    }
    std::sort(names.begin(), names.end(), NaturalLess);

    std::map<std::string, int> next_index;  // each driver numbers its own devices
    for (const std::string& name : names) {
        const std::string base = DriverDeviceBase(root, name);
        if (base.empty()) continue;
        result.entries.push_back({DriverDeviceName(base, next_index[base]++), "/dev/" + name});
    }
    return result;
}

}  // namespace Brivane::HardwareAPI::Platform
