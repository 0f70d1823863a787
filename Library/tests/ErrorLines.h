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

// Splits `text` as an error line reported from the library source `source` (such as
// "Device.cpp"); a line of another shape is a test failure.
ErrorLine ParseErrorLine(const std::string& text, const std::string& source);

// The error lines written to stderr while `call` runs, all reported from `source`.
template <typename Call>
std::vector<ErrorLine> ErrorLinesFrom(const std::string& source, Call&& call) {
    testing::internal::CaptureStderr();
    call();
    const std::string all = testing::internal::GetCapturedStderr();
    std::vector<ErrorLine> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(ParseErrorLine(all.substr(start, end - start), source));
    }
    EXPECT_EQ(start, all.size()) << "every error line ends in a line break";
    return lines;
}

}  // namespace Brivane::HardwareAPI::Testing
