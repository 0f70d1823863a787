#include "Trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>

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
    // Held at once: a chunk a line, at most half the text in bytes.
    std::size_t lines = 0;
    for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '\n', end - p))); ++p) {
        ++lines;
    }
    trace.chunks.reserve(lines);
    trace.bytes.reserve(n / 2);
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat about {};
    if (fd < 0 || ::fstat(fd, &about) != 0) {
        const int problem = errno;
        if (fd >= 0) ::close(fd);
        return Fail(error, 0, "cannot be read: " + std::string(std::strerror(problem)));
    }
    // Read whole, in as few calls as the file's size allows; a file that grows meanwhile is
    // read to its end all the same.
    std::size_t size = static_cast<std::size_t>(std::max<off_t>(about.st_size, 0)) + 1;
    std::unique_ptr<char[]> text(new char[size]);  // not cleared: every byte used is read
    std::size_t n = 0;
    for (;;) {
        if (n == size) {
            std::unique_ptr<char[]> more(new char[2 * size]);
            std::memcpy(more.get(), text.get(), n);
            text = std::move(more);
            size *= 2;
        }
        const ssize_t got = ::read(fd, text.get() + n, size - n);
        if (got > 0) {
            n += static_cast<std::size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            const int problem = errno;
            ::close(fd);
            return Fail(error, 0, "cannot be read: " + std::string(std::strerror(problem)));
        }
    }
    ::close(fd);
    return Parse(text.get(), n, trace, error);
}

NewFile::~NewFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temporary_.empty() && !keep_) ::unlink(temporary_.c_str());
}

bool NewFile::Create(const std::string& target, bool overwrite, std::string& error) {
    target_ = target;
    overwrite_ = overwrite;
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) == 0) {
        if (!overwrite) {
            error = target + " exists; --overwrite replaces it";
            return false;
        }
    } else if (errno != ENOENT) {
        error = "cannot write " + target + ": " + std::strerror(errno);
        return false;
    }
    // Beside the target, so that the rename stays on one file system; hidden, and with the
    // target's extension, which tells the plotter the image format.
    const std::size_t slash = target.rfind('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = target.rfind('.');
    if (dot == std::string::npos || dot <= base) dot = target.size();
    const std::string stem = target.substr(0, base) + "." + target.substr(base, dot - base) + "-" +
                             std::to_string(::getpid()) + "-";
    for (int attempt = 0; fd_ < 0; ++attempt) {
        temporary_ = stem + std::to_string(attempt) + target.substr(dot);
        fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && (errno != EEXIST || attempt == 99)) {
            error = "cannot write beside " + target + ": " + std::strerror(errno);
            temporary_.clear();
            return false;
        }
    }
    return true;
}

bool NewFile::Commit(std::string& error) {
    int problem = ::fsync(fd_) == 0 ? 0 : errno;
    ::close(fd_);
    fd_ = -1;
    if (problem == 0 && overwrite_) {
        if (std::rename(temporary_.c_str(), target_.c_str()) != 0) problem = errno;
    } else if (problem == 0) {
        // Not even a target that came meanwhile is replaced. Where the file system cannot
        // say so in the rename, a hard link can.
        if (::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(),
                        RENAME_NOREPLACE) != 0) {
            problem = errno;
            if ((problem == EINVAL || problem == ENOSYS) &&
                ::link(temporary_.c_str(), target_.c_str()) == 0) {
                ::unlink(temporary_.c_str());
                problem = 0;
            } else if (problem == EINVAL || problem == ENOSYS) {
                problem = errno;
            }
        }
    }
    if (problem == 0) {
        temporary_.clear();
        return true;
    }
    keep_ = true;
    error = "cannot put " + target_ + " in place: " + std::strerror(problem) + "; it is in " +
            temporary_;
    if (problem == EEXIST) error += " (--overwrite replaces " + target_ + ")";
    return false;
}

Writer::~Writer() {
    if (out_ != nullptr) std::fclose(out_);
}

bool Writer::Open(const std::string& path, bool overwrite, std::string& error) {
    if (!file_.Create(path, overwrite, error)) return false;
    const int fd = ::dup(file_.Fd());
    out_ = fd < 0 ? nullptr : ::fdopen(fd, "w");
    if (out_ == nullptr) {
        if (fd >= 0) ::close(fd);
        error = "cannot write " + file_.Temporary() + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(out_, "%s %d\n", kMagic, kVersion);
    return Flush();
}

bool Writer::Write(std::uint64_t time_us, Direction direction, const std::uint8_t* data,
                   std::size_t n) {
    if (out_ == nullptr) return false;
    static const char kDigits[] = "0123456789abcdef";
    char hex[2 * 4096];
    std::fprintf(out_, "%llu %c ", static_cast<unsigned long long>(time_us),
                 direction == Direction::ToDevice ? '>' : '<');
    while (n > 0) {
        const std::size_t part = n < sizeof hex / 2 ? n : sizeof hex / 2;
        for (std::size_t i = 0; i < part; ++i) {
            hex[2 * i] = kDigits[data[i] >> 4];
            hex[2 * i + 1] = kDigits[data[i] & 0xF];
        }
        std::fwrite(hex, 1, 2 * part, out_);
        data += part;
        n -= part;
    }
    return std::fputc('\n', out_) != EOF;
}

void Writer::Comment(const std::string& text) {
    if (out_ != nullptr) std::fprintf(out_, "# %s\n", text.c_str());
}

bool Writer::Flush() {
    return out_ != nullptr && std::fflush(out_) == 0;
}

bool Writer::Close(std::string& error) {
    if (out_ == nullptr) {
        error = "no trace open";
        return false;
    }
    const bool written = !std::ferror(out_);
    const bool closed = std::fclose(out_) == 0;
    out_ = nullptr;
    if (!written || !closed) {
        error = "cannot write " + file_.Temporary() + ": " + std::strerror(errno);
        return false;
    }
    return file_.Commit(error);
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
