#pragma once

#include <cstdarg>

namespace Brivane::HardwareAPI {

// The library's one error reporter. Writes a single line
//   "[err] <file>:<line>> <what>: [<error_number>] <system text>\n"
// to stderr with one formatted print, then flushes. `what` is a printf format for the
// description; the system text is that of `error_number`, or "unknown".
void ReportError(const char* file, unsigned line, int error_number, const char* what, ...)
    __attribute__((format(printf, 4, 5)));

}  // namespace Brivane::HardwareAPI
