#include "Version.h"

#include <iostream>

namespace Brivane::HardwareAPI {

const char* GetLibraryVersion() {
    return "0.1.8";
}

void PrintLibraryVersion() {
    std::cout << "Library version: " << GetLibraryVersion() << std::endl;
}

}  // namespace Brivane::HardwareAPI
