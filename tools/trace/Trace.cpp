#include "Trace.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

namespace Brivane::Trace {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

bool Fail(Error& error, std::size_t line, std::string what) {
    error.line = line;
    error.what = std::move(what);
    return false;
}

std::string Shown(const char* at, std::size_t n) {
    constexpr std::size_t kMost = 40;
    std::string text(at, n < kMost ? n : kMost);
    if (n > kMost) text += "...";
    return "'" + text + "'";
}

// One chunk line, without its end of line.
bool ParseChunk(const char* at, const char* end, std::size_t line, Trace& trace, Error& error) {
    const char* p = at;
    std::uint64_t time = 0;
    bool too_late = false;
    const char* digits = p;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        time = time * 10 + static_cast<std::uint64_t>(*p - '0');
        too_late = too_late || time > kMostTimeUs;
    }
    if (too_late) {
        return Fail(error, line,
                    "time " + std::string(digits, p) + " is out of range (at most " +
                        std::to_string(kMostTimeUs) + " µs)");
    }
    if (p == digits || p == end || !IsSpace(*p)) {
        return Fail(error, line,
                    "expected a time in microseconds, a direction and bytes, not " +
                        Shown(at, static_cast<std::size_t>(end - at)));
    }
    while (p < end && IsSpace(*p)) ++p;
    if (p == end || (*p != '>' && *p != '<') || p + 1 == end || !IsSpace(p[1])) {
        return Fail(error, line, "the direction is '>' (to the device) or '<' (from it)");
    }
    const Direction direction = *p == '>' ? Direction::ToDevice : Direction::FromDevice;
    ++p;
    if (!trace.chunks.empty() && time < trace.chunks.back().time_us) {
        return Fail(error, line,
                    "time " + std::to_string(time) + " goes back (the chunk before is at " +
                        std::to_string(trace.chunks.back().time_us) + ")");
    }
    Chunk chunk;
    chunk.time_us = time;
    chunk.direction = direction;
    chunk.offset = trace.bytes.size();
    chunk.line = line;
    int high = -1;
    for (; p < end; ++p) {
        if (IsSpace(*p)) continue;
        const int digit = HexDigit(*p);
        if (digit < 0) {
            trace.bytes.resize(chunk.offset);
            return Fail(error, line,
                        "bad hex digit '" + std::string(1, *p) + "' at column " +
                            std::to_string(p - at + 1));
        }
        if (high < 0) {
            high = digit;
        } else {
            trace.bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0) {
        trace.bytes.resize(chunk.offset);
        return Fail(error, line, "odd number of hex digits");
    }
    chunk.length = trace.bytes.size() - chunk.offset;
    if (chunk.length == 0) return Fail(error, line, "a chunk without bytes");
    trace.chunks.push_back(chunk);
    return true;
}

}  // namespace

bool Parse(const char* text, std::size_t n, Trace& trace, Error& error) {
    trace = Trace{};
    const char* const end = text + n;
    const char* at = text;
    std::size_t line = 0;
    while (at < end) {
        ++line;
        const char* stop = static_cast<const char*>(std::memchr(at, '\n', end - at));
        if (stop == nullptr) return Fail(error, line, "cut short: the last line has no end");
        const char* content_end = stop;
        if (content_end > at && content_end[-1] == '\r') --content_end;
        const std::size_t length = static_cast<std::size_t>(content_end - at);
        if (line == 1) {
            const std::string first(at, length);
            const std::string magic = std::string(kMagic) + " ";
            if (first.compare(0, magic.size(), magic) != 0) {
                return Fail(error, line,
                            "not a trace: the first line should be '" + magic +
                                std::to_string(kVersion) + "', not " + Shown(at, length));
            }
            if (first != magic + std::to_string(kVersion)) {
                return Fail(error, line,
                            "trace version " + first.substr(magic.size()) +
                                " is not known here (version " + std::to_string(kVersion) + ")");
            }
        } else if (length == 0 || at[0] == '#') {
            if (trace.chunks.empty() && length > 0) {
                const char* from = at + 1;
                while (from < content_end && IsSpace(*from)) ++from;
                trace.comments.emplace_back(from, content_end);
            }
        } else if (!ParseChunk(at, content_end, line, trace, error)) {
            return false;
        }
        at = stop + 1;
    }
    if (line == 0) return Fail(error, 1, "empty: not a trace");
    return true;
}

bool ReadFile(const std::string& path, Trace& trace, Error& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(error, 0, "cannot be read: " + std::string(std::strerror(errno)));
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return Fail(error, 0, "cannot be read");
    return Parse(text.data(), text.size(), trace, error);
}

bool Writer::Open(const std::string& path, const std::vector<std::string>& comments) {
    Close();
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) return false;
    std::fprintf(file_, "%s %d\n", kMagic, kVersion);
    for (const std::string& comment : comments) Comment(comment);
    return Flush();
}

bool Writer::Write(std::uint64_t time_us, Direction direction, const std::uint8_t* data,
                   std::size_t n) {
    if (file_ == nullptr) return false;
    static const char kDigits[] = "0123456789abcdef";
    char hex[2 * 4096];
    std::fprintf(file_, "%llu %c ", static_cast<unsigned long long>(time_us),
                 direction == Direction::ToDevice ? '>' : '<');
    while (n > 0) {
        const std::size_t part = n < sizeof hex / 2 ? n : sizeof hex / 2;
        for (std::size_t i = 0; i < part; ++i) {
            hex[2 * i] = kDigits[data[i] >> 4];
            hex[2 * i + 1] = kDigits[data[i] & 0xF];
        }
        std::fwrite(hex, 1, 2 * part, file_);
        data += part;
        n -= part;
    }
    return std::fputc('\n', file_) != EOF;
}

void Writer::Comment(const std::string& text) {
    if (file_ != nullptr) std::fprintf(file_, "# %s\n", text.c_str());
}

bool Writer::Flush() {
    return file_ != nullptr && std::fflush(file_) == 0;
}

void Writer::Close() {
    if (file_ == nullptr) return;
    std::fclose(file_);
    file_ = nullptr;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
        1000000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%06lldZ", static_cast<long long>(micros));
    return text;
}

}  // namespace Brivane::Trace
