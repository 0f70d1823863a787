#include "ErrorLine.h"

#include <atomic>
#include <cstdio>
#include <new>
#include <string>

#include "SystemText.h"

namespace Brivane::HardwareAPI {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendHexEscape(std::string& out, unsigned char byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

// The length of the well-formed UTF-8 sequence at text[i], or 0 when it is not one.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const auto continuation = [&](std::size_t k) {
        return i + k < text.size() && (byte(k) & 0xC0) == 0x80;
    };
    const unsigned char lead = byte(0);
    if (lead >= 0xC2 && lead <= 0xDF) return continuation(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (!continuation(1) || !continuation(2)) return 0;
        if (lead == 0xE0 && byte(1) < 0xA0) return 0;  // overlong
        if (lead == 0xED && byte(1) > 0x9F) return 0;  // a surrogate
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (!continuation(1) || !continuation(2) || !continuation(3)) return 0;
        if (lead == 0xF0 && byte(1) < 0x90) return 0;  // overlong
        if (lead == 0xF4 && byte(1) > 0x8F) return 0;  // beyond U+10FFFF
        return 4;
    }
    return 0;
}

}  // namespace

std::string Printable(const std::string& text) try {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F) {
            out += text[i++];
            continue;
        }
        const char* named = byte == '\n'   ? "\\n"
                            : byte == '\r' ? "\\r"
                            : byte == '\t' ? "\\t"
                                           : nullptr;
        if (named != nullptr) {
            out += named;
            ++i;
            continue;
        }
        const std::size_t length = byte < 0x80 ? 0 : Utf8Length(text, i);
        // C1 controls (U+0080 to U+009F) steer terminals as ESC does.
        const bool c1_control =
            length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (length == 0 || c1_control) {
            AppendHexEscape(out, byte);
            ++i;
            continue;
        }
        out.append(text, i, length);
        i += length;
    }
    return out;
} catch (const std::bad_alloc&) {
    return "?";  // short enough to need no allocation
}

void ReportError(const char* file, unsigned line, int error_number, const char* what, ...) {
    char fixed[512];
    va_list args;
    va_start(args, what);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(fixed, sizeof fixed, what, args);
    va_end(args);

    // Descriptions fit the fixed buffer but for long port names, which are printed whole.
    const char* description = fixed;
    std::string whole;
    if (length >= static_cast<int>(sizeof fixed)) {
        try {
            whole.resize(static_cast<std::size_t>(length) + 1);
            std::vsnprintf(whole.data(), whole.size(), what, again);
            description = whole.c_str();
        } catch (const std::bad_alloc&) {
            std::snprintf(fixed + sizeof fixed - 10, 10, "...(cut)");
        }
    }
    va_end(again);

    char text[256] = {};
    if (!SystemText(error_number, text, sizeof text)) {
        std::snprintf(text, sizeof text, "unknown");
    }
    std::fprintf(stderr, "[err] %s:%u> %s: [%d] %s\n", file, line, description, error_number, text);
    std::fflush(stderr);
}

}  // namespace Brivane::HardwareAPI
