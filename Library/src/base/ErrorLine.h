#pragma once

#include <cstdarg>
#include <string>

// The compiler's format check where it has one; MinGW's printf is the C99 one, as glibc's.
#if defined(__MINGW32__)
#define BRIVANE_PRINTF_FORMAT(format_index, first_argument) \
    __attribute__((format(gnu_printf, format_index, first_argument)))
#elif defined(__GNUC__)
#define BRIVANE_PRINTF_FORMAT(format_index, first_argument) \
    __attribute__((format(printf, format_index, first_argument)))
#else
#define BRIVANE_PRINTF_FORMAT(format_index, first_argument)
#endif

namespace Brivane::HardwareAPI {

// The library's one error reporter. Writes a single line
//   "[err] <file>:<line>> <what>: [<error_number>] <system text>\n"
// to stderr with one formatted print, then flushes. `what` is a printf format for the
// description; the system text is that of `error_number`, or "unknown".
void ReportError(const char* file, unsigned line, int error_number, const char* what, ...)
    BRIVANE_PRINTF_FORMAT(4, 5);

// Whether an object of the library writes error lines for its faults (the default), or
// leaves them to its owner, who tells them in its own way (the brivane package raises
// exceptions). Chosen per object, so that two users of one library never cross-wire.
enum class ErrorOutput : bool { Quiet = false, Lines = true };

// `text` as it can be printed in a line: control characters and bytes that are not UTF-8
// escaped (\n, \x1b), so that a name can neither break the line nor steer the terminal.
std::string Printable(const std::string& text);

}  // namespace Brivane::HardwareAPI
