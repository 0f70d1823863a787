#include <regex>

#include "ErrorLines.h"

namespace Brivane::HardwareAPI::Testing {

namespace {

// Windows message texts end in a line break of their own, which the error line keeps: its
// text is followed by an empty line. The stream's text mode wrote each line break as CR LF,
// and reading the capture back turned them into LF again, but for the text's own CR.
ErrorLine ParseErrorLine(const std::string& text, const std::string& source) {
    std::string escaped;
    for (const char c : source) escaped += c == '.' ? std::string("\\.") : std::string(1, c);
    const std::regex format("\\[err\\] (.*Library[/\\\\]src[/\\\\]" + escaped +
                            "):([0-9]+)> (.*): \\[(-?[0-9]+)\\] (.+?)\r?");
    std::smatch match;
    if (!std::regex_match(text, match, format)) {
        ADD_FAILURE() << "not an error line of " << source << ": " << text;
        return {};
    }
    return {match[1], static_cast<unsigned>(std::stoul(match[2])), match[3], std::stoi(match[4]),
            match[5]};
}

}  // namespace

std::vector<ErrorLine> ParseErrorLines(const std::string& text, const std::string& source) {
    std::vector<ErrorLine> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.empty() && !lines.empty()) continue;  // the system text's own line break
        lines.push_back(ParseErrorLine(line, source));
    }
    EXPECT_EQ(start, text.size()) << "every error line ends in a line break";
    return lines;
}

}  // namespace Brivane::HardwareAPI::Testing
