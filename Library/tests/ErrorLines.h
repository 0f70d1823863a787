#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Brivane::HardwareAPI::Testing {

// One line of the library's error reporter: "[err] <path>:<line>> <description>: [<error>] <text>".
struct ErrorLine {
    std::string path;
    unsigned line = 0;
    std::string description;
    int error = 0;
    std::string text;
};

// The error lines in `text`, all that stderr received, each reported from the library source
// `source` (such as "Device.cpp"); a line of another shape is a test failure.
std::vector<ErrorLine> ParseErrorLines(const std::string& text, const std::string& source);

// The error lines written to stderr while `call` runs, all reported from `source`.
template <typename Call>
std::vector<ErrorLine> ErrorLinesFrom(const std::string& source, Call&& call) {
    testing::internal::CaptureStderr();
    call();
    return ParseErrorLines(testing::internal::GetCapturedStderr(), source);
}

// The error lines of the devices' timed reads written while `call` runs.
template <typename Call>
std::vector<ErrorLine> DeviceErrorLines(Call&& call) {
    return ErrorLinesFrom("Device.cpp", call);
}

}  // namespace Brivane::HardwareAPI::Testing
