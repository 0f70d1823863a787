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
#include <new>

namespace Brivane::Trace {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "0 > 00": a time, a direction and one byte.
constexpr std::size_t kShortestChunk = 6;

const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "a special file";
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

bool ParseText(const char* text, std::size_t n, Trace& trace, Error& error) {
    trace = Trace{};
    const char* const end = text + n;
    // Held at once: a chunk for each line long enough to be one, and the bytes its digits
    // can make. Counted by what the lines hold, not by how many there are: empty lines and
    // comments hold no chunk. Only a hint: when memory is short, the vectors grow instead.
    std::size_t chunks = 0, bytes = 0;
    for (const char* at = text; at < end;) {
        if (*at == '\n') {  // an empty line, told without a call
            ++at;
            continue;
        }
        const char* stop = static_cast<const char*>(std::memchr(at, '\n', end - at));
        const std::size_t length = static_cast<std::size_t>((stop ? stop : end) - at);
        if (length >= kShortestChunk && *at >= '0' && *at <= '9') {
            ++chunks;
            bytes += (length - 4) / 2;  // all but a time digit, the direction and two spaces
        }
        if (stop == nullptr) break;
        at = stop + 1;
    }
    try {
        trace.chunks.reserve(chunks);
        trace.bytes.reserve(bytes);
    } catch (const std::bad_alloc&) {
        trace = Trace{};
    }
    const char* at = text;
    std::size_t line = 0;
    while (at < end) {
        ++line;
        if (*at == '\n' && line > 1) {  // an empty line: a comment
            ++at;
            continue;
        }
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

}  // namespace

bool Parse(const char* text, std::size_t n, Trace& trace, Error& error) {
    try {
        return ParseText(text, n, trace, error);
    } catch (const std::bad_alloc&) {
        trace = Trace{};
        return Fail(error, 0, "too large to be held in memory");
    }
}

int OpenToRead(const std::string& path, std::string& why, int& problem) {
    // Non-blocking, so that a FIFO without a writer is refused rather than waited for; a
    // regular file reads as it would without.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat about {};
    if (fd < 0 || ::fstat(fd, &about) != 0) {
        problem = errno;
        if (fd >= 0) ::close(fd);
        why = std::strerror(problem);
        return -1;
    }
    if (!S_ISREG(about.st_mode)) {
        // A device or a FIFO may never end: what a trace holds is read from a file.
        ::close(fd);
        problem = 0;
        why = std::string(KindOf(about.st_mode)) + ", not a regular file";
        if (!S_ISDIR(about.st_mode)) why += ": save the trace to a file and read that";
        return -1;
    }
    return fd;
}

bool ReadFile(const std::string& path, Trace& trace, Error& error) {
    std::string why;
    int problem = 0;
    const int fd = OpenToRead(path, why, problem);
    struct stat about {};
    if (fd < 0 || ::fstat(fd, &about) != 0) {
        if (fd >= 0) {
            why = std::strerror(errno);
            ::close(fd);
        }
        return Fail(error, 0, "cannot be read: " + why);
    }
    // Read whole, in as few calls as the file's size allows; a file that grows meanwhile is
    // read to its end all the same.
    std::size_t size = static_cast<std::size_t>(std::max<off_t>(about.st_size, 0)) + 1;
    // Not cleared: every byte used is read.
    std::unique_ptr<char[]> text(new (std::nothrow) char[size]);
    std::size_t n = 0;
    for (;;) {
        if (text != nullptr && n == size) {
            std::unique_ptr<char[]> more(new (std::nothrow) char[2 * size]);
            if (more != nullptr) std::memcpy(more.get(), text.get(), n);
            text = std::move(more);
            size *= 2;
        }
        if (text == nullptr) {
            ::close(fd);
            return Fail(error, 0, "too large to be held in memory");
        }
        const ssize_t got = ::read(fd, text.get() + n, size - n);
        if (got > 0) {
            n += static_cast<std::size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            const int failed = errno;
            ::close(fd);
            return Fail(error, 0, "cannot be read: " + std::string(std::strerror(failed)));
        }
    }
    ::close(fd);
    return Parse(text.get(), n, trace, error);
}

TemporaryName TemporaryNameOf(const std::string& target) {
    TemporaryName name;
    const std::size_t slash = target.rfind('/');
    name.folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = target.substr(name.folder.size());
    std::size_t dot = base.rfind('.');
    if (dot == std::string::npos || dot == 0) dot = base.size();
    const std::string extension = base.substr(dot);
    name.lead = "." + base.substr(0, dot) + "-";
    name.tail = extension;
    // The longest name a process of this system makes: a PID of 10 digits, attempt 99.
    const long most = ::pathconf(name.folder.empty() ? "." : name.folder.c_str(), _PC_NAME_MAX);
    const std::size_t limit = most > 0 ? static_cast<std::size_t>(most) : 255;
    constexpr std::size_t kNumbers = 10 + 1 + 2;
    if (name.lead.size() + kNumbers + name.tail.size() <= limit) return name;
    // A target's name near the limit: one of fixed length, told from another target's by a
    // hash of this one's name; with the extension where it still fits.
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : base) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    name.lead = std::string(".brivane-") + digits + "-";
    if (name.lead.size() + kNumbers + name.tail.size() > limit) name.tail.clear();
    return name;
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
    // Beside the target, so that the rename stays on one file system; hidden, and where it
    // fits with the target's name and extension.
    const TemporaryName name = TemporaryNameOf(target);
    const std::string stem = name.folder + name.lead + std::to_string(::getpid()) + "-";
    for (int attempt = 0; fd_ < 0; ++attempt) {
        temporary_ = stem + std::to_string(attempt) + name.tail;
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
