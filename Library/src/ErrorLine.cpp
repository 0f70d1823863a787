#include "ErrorLine.h"

#include <cstdio>

#include "platform/SystemError.h"

namespace Brivane::HardwareAPI {

void ReportError(const char* file, unsigned line, int error_number, const char* what, ...) {
    char description[512];
    va_list args;
    va_start(args, what);
    std::vsnprintf(description, sizeof description, what, args);
    va_end(args);

    char text[256] = {};
    if (!Platform::SystemErrorText(error_number, text, sizeof text)) {
        std::snprintf(text, sizeof text, "unknown");
    }
    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %s\n", file, line, description, error_number,
                 text);
    std::fflush(stderr);
}

}  // namespace Brivane::HardwareAPI
