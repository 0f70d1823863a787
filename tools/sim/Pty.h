#pragma once

#include <string>

// The device's end of a pseudo-terminal, for the simulator, the proxy and the replay: the
// master side, the slave held open so that the line does not hang up between users, and a
// watch on the opens and closes of the port by its users.
namespace Brivane::Sim {

class Pty {
  public:
    Pty();  // exits with a message when the system refuses
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& Path() const { return path_; }
    int Master() const { return master_; }  // non-blocking
    int Watch() const { return watch_; }    // readable when users came or went

    // Counts the opens and closes that happened; returns how often the last user left.
    int CountUsers();
    bool Opened() const { return opened_; }
    int Users() const { return users_; }
    // What the users wrote that was not read is discarded, and the port is free again for
    // an exclusive open.
    void Clear();

  private:
    int master_ = -1;
    int slave_ = -1;
    int watch_ = -1;
    std::string path_;
    int users_ = 0;
    bool opened_ = false;
};

[[noreturn]] void Fail(const char* what);

// Writes `data` to the non-blocking `fd`, waiting while it is full; returns how much was
// written: less than `n` when the line is gone or `quit` has become readable. A program that
// stops reading fills the line for good, as this end holds the slave open.
std::size_t WriteAll(int fd, const void* data, std::size_t n, int quit);

}  // namespace Brivane::Sim
