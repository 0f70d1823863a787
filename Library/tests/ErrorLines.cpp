#include "ErrorLines.h"

#include <regex>

namespace Brivane::HardwareAPI::Testing {

ErrorLine ParseErrorLine(const std::string& text, const std::string& source) {
    const std::string escaped = std::regex_replace(source, std::regex(R"(\.)"), R"(\.)");
    const std::regex format(R"(\[err\] (/\S*Library/src/)" + escaped +
                            R"():([0-9]+)> (.*): \[(-?[0-9]+)\] (.+))");
    std::smatch match;
    if (!std::regex_match(text, match, format)) {
        ADD_FAILURE() << "not an error line of " << source << ": " << text;
        return {};
    }
    return {match[1], static_cast<unsigned>(std::stoul(match[2])), match[3], std::stoi(match[4]),
            match[5]};
}

}  // namespace Brivane::HardwareAPI::Testing
