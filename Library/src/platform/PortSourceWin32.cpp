// Registry source of the serial port list: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// each named after a driver device and holding the port's name.
#include <windows.h>

#include <cstring>

#include "PortSource.h"

namespace Brivane::HardwareAPI::Platform {

namespace {

constexpr DWORD kCapacity = 260;

// The open key, closed on every path out.
class Key {
  public:
    Key() = default;
    ~Key() {
        if (key_ != nullptr) ::RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;

    LONG Open(const char* path) {
        return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_QUERY_VALUE, &key_);
    }
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

}  // namespace

const char* DefaultPortSourceRoot() {
    return "HARDWARE\\DEVICEMAP\\SERIALCOMM";
}

// The values in the registry's order. A status other than "no more items", a name or data
// too long for the buffers among them, fails the whole list.
PortSourceResult ListSerialPorts(const std::string& root) {
    PortSourceResult result;
    Key key;
    const LONG opened = key.Open(root.c_str());
    if (opened != ERROR_SUCCESS) {
        result.status = PortSourceStatus::Unreadable;
        result.error_number = static_cast<int>(opened);
        return result;
    }
    for (DWORD index = 0;; ++index) {
        char name[kCapacity] = {};
        BYTE data[kCapacity] = {};
        DWORD name_length = kCapacity;
        DWORD data_length = kCapacity;
        DWORD type = 0;
        const LONG status = ::RegEnumValueA(key.get(), index, name, &name_length, nullptr, &type,
                                            data, &data_length);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            result.status = PortSourceStatus::EnumerationFailed;
            result.error_number = static_cast<int>(status);
            result.entries.clear();
            return result;
        }
        const char* text = reinterpret_cast<const char*>(data);
        const void* nul = std::memchr(text, '\0', data_length);
        const std::size_t port_length =
            nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text)
                           : data_length;
        result.entries.push_back({std::string(name, name_length), std::string(text, port_length)});
    }
    return result;
}

// The registry's list names ports only.
PortDetails DescribePort(const std::string&) {
    return {};
}
PortDetails DescribePort(const std::string&, const std::string&, const std::string&) {
    return {};
}

}  // namespace Brivane::HardwareAPI::Platform
