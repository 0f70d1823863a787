#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Decode.h"
#include "Trace.h"

// A trace followed as brivane-sim --proxy writes it: the proxy writes under a hidden name
// beside its target (.arm-PID-0.trace beside arm.trace, see TemporaryNameOf), flushed every
// 100 ms, and renames it onto the target when the session ends. The follower reads what each
// flush adds and keeps the latest seconds of it.
namespace Brivane::Trace {

// The file a running brivane-sim --proxy writes for `target` (the newest, if several), and
// that proxy; an empty path and 0 when none does.
struct Writing {
    std::string path;
    pid_t writer = 0;
};
Writing BeingWritten(const std::string& target);

class Follower {
  public:
    Follower() = default;
    ~Follower();
    Follower(const Follower&) = delete;
    Follower& operator=(const Follower&) = delete;

    // Finds the trace: the one a running proxy writes for `target`, or `target` itself when
    // no proxy writes it (a whole trace). False with `error` saying why.
    bool Open(const std::string& target, std::string& error);
    const std::string& Source() const { return source_; }

    enum class Read { Nothing, More, Ended, Bad };
    // Takes in what was added since the last call. Ended once the proxy has ended (or for a
    // whole trace, once it is read), Bad with `error` for text that is no trace.
    Read Poll(Error& error);

    // The latest chunks, which Trim keeps to at most half as much again as it is told.
    const Trace& Window() const { return window_; }
    // Once the window spans 1.5 times `seconds`, drops the chunks before the first request
    // (or message) of `session` (decoded from Window()) in the last `seconds` that starts
    // after every frame before it ended, counting the frames dropped. True when it did.
    bool Trim(const Session& session, double seconds);
    std::size_t FramesDropped() const { return frames_dropped_; }

  private:
    bool Take(const std::string& text, Error& error);
    bool Gone() const;

    std::string source_;
    std::string target_;
    int fd_ = -1;
    dev_t device_ = 0;  // of the file read, told from another that takes its name
    ino_t inode_ = 0;
    pid_t writer_ = 0;     // the proxy, 0 for a whole trace
    std::string pending_;  // a line not yet whole
    std::size_t lines_ = 0;
    Trace window_;
    std::uint64_t last_us_ = 0;
    std::size_t frames_dropped_ = 0;
};

}  // namespace Brivane::Trace
