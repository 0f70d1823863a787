// A library of another program that happens to define the device library's version
// function. Loaded with RTLD_GLOBAL before the module, it must not take the module's place.
namespace Brivane::HardwareAPI {
const char* GetLibraryVersion() {
    return "9.9.9";
}
}  // namespace Brivane::HardwareAPI
