#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The trace file: what went over a serial line, one line per chunk as it was read.
//
//   brivane-trace 1
//   # port: /dev/ttyACM0
//   # settings: 115200 8N1, raw, exclusive, DTR raised
//   # start: 2026-12-09T04:30:00.123456Z
//   1520 > 2a000000000000000000000000
//   1604 < 2b...
//
// Each chunk line: microseconds since the start, '>' for bytes to the device or '<' for bytes
// from it, then the bytes in hex. Lines that start with '#' and empty lines are comments.
namespace Brivane::Trace {

inline constexpr const char* kMagic = "brivane-trace";
inline constexpr int kVersion = 1;
// The latest time a chunk may have: 2^53 µs (285 years), below which a double still holds
// every microsecond, as the decoder's seconds and the replay's speed need.
inline constexpr std::uint64_t kMostTimeUs = std::uint64_t{1} << 53;

enum class Direction : std::uint8_t { ToDevice, FromDevice };

struct Chunk {
    std::uint64_t time_us = 0;
    Direction direction = Direction::ToDevice;
    std::size_t offset = 0;  // into Trace::bytes
    std::size_t length = 0;
    std::size_t line = 0;
};

struct Trace {
    std::vector<std::string> comments;  // those before the first chunk, without the '#'
    std::vector<Chunk> chunks;
    std::vector<std::uint8_t> bytes;  // every chunk's bytes, one after the other

    const std::uint8_t* Data(const Chunk& chunk) const { return bytes.data() + chunk.offset; }
};

// Why a text is no trace: the line (1 for the first) and what is wrong with it.
struct Error {
    std::size_t line = 0;
    std::string what;
};

// Reads a whole trace from text; false with `error` set when it is not one (or when it is
// too large to be held: an error at line 0).
bool Parse(const char* text, std::size_t n, Trace& trace, Error& error);
// The same from a file; a file that cannot be read is an error at line 0, and so is what is
// not a regular file (a FIFO, a device), which may never end.
bool ReadFile(const std::string& path, Trace& trace, Error& error);
// Opens a regular file to read, without waiting for a FIFO's writer: its descriptor, or -1
// with `why` saying why and `problem` the errno (0 for what is not a regular file).
int OpenToRead(const std::string& path, std::string& why, int& problem);

// The hidden name NewFile gives its temporary file beside `target`: `folder` (the target's,
// empty for the working folder), then `lead`, the PID, '-', the attempt and `tail`. It is
// .STEM-PID-N.EXT (.arm-1234-0.trace beside arm.trace), or where that would be longer than
// the file system takes, .brivane-HASH-PID-N.EXT of fixed length, HASH from the target's name
// (and without .EXT if even that is too long).
struct TemporaryName {
    std::string folder;
    std::string lead;
    std::string tail;
};
TemporaryName TemporaryNameOf(const std::string& target);

// An output file (a trace, a plot) made under a temporary name beside its target
// (TemporaryNameOf) and renamed onto it when whole, so that the target is the whole output or
// is left as it was. A target that exists, a symlink too, is replaced only when `overwrite`
// says so; a symlink is then replaced itself, never written through.
class NewFile {
  public:
    NewFile() = default;
    ~NewFile();  // removes the temporary file unless it was put in place
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates the temporary file, open for writing; false with `error` saying why.
    bool Create(const std::string& target, bool overwrite, std::string& error);
    int Fd() const { return fd_; }
    const std::string& Temporary() const { return temporary_; }
    // Puts the temporary file, written out, in the target's place. False with `error` saying
    // why; the temporary file is then kept, since it holds the whole output.
    bool Commit(std::string& error);

  private:
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool overwrite_ = false;
    bool keep_ = false;
};

// Writes a trace as chunks come, into a NewFile. Buffered: Flush writes out what is held.
class Writer {
  public:
    Writer() = default;
    ~Writer();  // a trace not closed is not put in place
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Creates the file and writes the first line; false with `error` saying why.
    bool Open(const std::string& path, bool overwrite, std::string& error);
    bool Write(std::uint64_t time_us, Direction direction, const std::uint8_t* data, std::size_t n);
    void Comment(const std::string& text);  // without its '#'
    bool Flush();
    // Writes out the rest and puts the trace in place; false with `error` saying why.
    bool Close(std::string& error);

  private:
    NewFile file_;
    std::FILE* out_ = nullptr;
};

// The time now in UTC as 2026-12-09T04:30:00.123456Z.
std::string UtcNow();

}  // namespace Brivane::Trace
