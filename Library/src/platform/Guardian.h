#pragma once

#include <cstddef>
#include <cstdint>

namespace Brivane::HardwareAPI::Platform {

class SerialPort;

// Last words for a port that outlives its process. A device keeps applying the last command
// it was sent; when the process that streams commands dies (killed, crashed, exited without
// cleaning up), nothing in it can send the command that ends them. A guardian is a small
// process of its own that shares the port, waits for this one to be gone, and then writes a
// frame the caller gave (such as a zero-force command) on it.
//
// What it guarantees (POSIX):
// - Once this process is gone (any signal, _exit, a crash, an exec), the port receives the
//   last words within 100 ms, a few milliseconds on an idle machine: the guardian wakes when
//   the system closes this process's files, or, should a copy of it made by fork() hold its
//   link, when its look at its parent (every 10 ms) finds it gone. A process that dumps core
//   is gone only once its dump is written.
// - A frame the line had taken only part of is completed first (the port's ledger,
//   PortLedger.h), so the device never sees the last words inside a torn frame, except when
//   the process died inside the system write itself: what that write took cannot be told,
//   and it is taken as having gone out whole.
// - Ctrl-C, a terminal hang-up, or a signal to the process group do not reach it: it has a
//   session of its own and ignores SIGINT, SIGTERM, SIGHUP and SIGPIPE.
// - It holds nothing but the port and its link to this process, and the port no longer than
//   the watch: after Dismiss, or the last words, it is gone and the port is free.
// - A copy of this process made by fork() neither ends the watch nor holds the guardian up.
//
// What it cannot do: survive what kills it too (SIGKILL to every process of a control group
// or container, the end of the pid namespace whose first process this one is), or write on
// a line the device has left.
//
// Its cost: Watch forks this process, so it takes as long as copying the process's page
// tables, and the guardian keeps the pages of that copy that this process writes later.
// Watch early, before the big allocations and the servo loop; watching again on the same
// port only changes the words.
//
// Watch and Dismiss are for one thread at a time, and are called while no write on the port
// is under way (before the writing thread starts or after it stopped, or on that thread).
// The port stays open while watched: closing it ends the watch as Dismiss does.
class Guardian {
  public:
    static constexpr std::size_t kMaxWords = 64;

    Guardian() = default;
    ~Guardian() { Dismiss(); }
    Guardian(const Guardian&) = delete;
    Guardian& operator=(const Guardian&) = delete;

    // Starts watching: from now on, should this process end without Dismiss(), `port`
    // receives `last_words` (at most kMaxWords bytes; none only completes a torn frame) after
    // whatever frame the process had half-written on it. Returns 0 once the guardian is in
    // place, or the system's error number: EINVAL for words too long, EBADF for a port that is
    // not open, EBUSY for a port another guardian watches. Watching already: the same port
    // takes the new words in place, another port ends the old watch first. Where there is no
    // guardian (Supported() false) returns 0 and watches nothing.
    int Watch(SerialPort& port, const std::uint8_t* last_words, std::size_t length);
    // Ends the watch without writing (the caller has written its own last frame), and waits
    // until the guardian is gone. Nothing when not watching.
    void Dismiss();
    // A guardian watches for this process, and is still there.
    bool Watching() const;
    // Whether this platform has guardians: POSIX yes, Windows not yet.
    static bool Supported();

  private:
    // Drops what a copy of the watching process made by fork() inherited, touching neither
    // the guardian nor the link (the watching process still owns them).
    void Forget();
    // Unlinks the port and the fork handler from the watch.
    void Detach();

    [[maybe_unused]] SerialPort* port_ = nullptr;
    [[maybe_unused]] void* shared_ = nullptr;  // the ledger and the words, shared with it
    [[maybe_unused]] int link_ = -1;           // this end of the socket to it
    [[maybe_unused]] int process_ = -1;        // its process id
    [[maybe_unused]] int owner_ = -1;          // the process that watches
    [[maybe_unused]] int slot_ = -1;           // where a fork() finds the link to close it
};

}  // namespace Brivane::HardwareAPI::Platform
