#include "ErrorLines.h"

#include <regex.h>

namespace Brivane::HardwareAPI::Testing {

namespace {

// Splits `text` as one error line reported from `source`.
ErrorLine ParseErrorLine(const std::string& text, const std::string& source) {
    std::string escaped;
    for (const char c : source) escaped += c == '.' ? std::string("\\.") : std::string(1, c);
    const std::string pattern =
        "^\\[err\\] (/[^ ]*Library/src/" + escaped + "):([0-9]+)> (.*): \\[(-?[0-9]+)\\] (.+)$";
    regex_t format;
    if (regcomp(&format, pattern.c_str(), REG_EXTENDED) != 0) {
        ADD_FAILURE() << "bad pattern: " << pattern;
        return {};
    }
    regmatch_t match[6];
    const bool matched = regexec(&format, text.c_str(), 6, match, 0) == 0;
    regfree(&format);
    if (!matched) {
        ADD_FAILURE() << "not an error line of " << source << ": " << text;
        return {};
    }
    auto group = [&](int i) {
        return text.substr(static_cast<std::size_t>(match[i].rm_so),
                           static_cast<std::size_t>(match[i].rm_eo - match[i].rm_so));
    };
    return {group(1), static_cast<unsigned>(std::stoul(group(2))), group(3), std::stoi(group(4)),
            group(5)};
}

}  // namespace

std::vector<ErrorLine> ParseErrorLines(const std::string& text, const std::string& source) {
    std::vector<ErrorLine> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(ParseErrorLine(text.substr(start, end - start), source));
    }
    EXPECT_EQ(start, text.size()) << "every error line ends in a line break";
    return lines;
}

}  // namespace Brivane::HardwareAPI::Testing
