// An object's port, and how every call reaches it: without the interpreter lock, under the
// object's locks, and closing the port when its line is lost.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/traffic.h"
#include "errors.h"
#include "io/SerialStream.h"
#include "platform/SystemError.h"

namespace Brivane::HardwareAPI::Package {

// A device just opened may take longer to wake than a loop allows for an answer.
constexpr double kShortestWakeLimit = 0.5;

// An object's port: open; closed by close(); or closed when its line was lost, keeping the
// system's error number, which every call raises again as LineLost until the port is
// opened anew. Changed under all of its object's locks; `drop`, the object's own, takes
// them to close a lost line.
class Line {
  public:
    explicit Line(std::function<void()> drop) : drop_(std::move(drop)) {}

    // Opens the port `name`: 0, or the system's error number when it did not open (the
    // line is closed then). Faults reach Python as exceptions: the stream writes no lines.
    int Open(const std::string& name) {
        stream_ = std::make_unique<IO::SerialStream>(name.c_str(), false);
        stream_->SetErrorOutput(ErrorOutput::Quiet);
        stream_->SetInterruptCheck(Python::PythonSignalCheck);
        lost_ = 0;
        open_ = true;
        if (stream_->Open() >= 0) return 0;
        const int error = Platform::LastSystemError();
        Close();
        return error;
    }
    // Closes the port; `lost`, the error number of a lost line, when that is why.
    void Close(int lost = 0) {
        stream_.reset();
        lost_ = lost;
        open_ = false;
    }
    // Whether the port is open on a line that was lost.
    bool Faulted() const { return stream_ && stream_->Fault() != 0; }
    // Takes the object's locks and closes the port if its line was lost.
    void Drop() { drop_(); }

    IO::SerialStream* get() const { return stream_.get(); }
    IO::SerialStream* operator->() const { return stream_.get(); }
    explicit operator bool() const { return stream_ != nullptr; }
    int Lost() const { return lost_; }
    // Without any lock, for the closed property.
    bool Closed() const { return !open_; }

  private:
    std::function<void()> drop_;
    std::unique_ptr<IO::SerialStream> stream_;
    int lost_ = 0;
    std::atomic<bool> open_{false};
};

// Runs `call` without the interpreter lock and holding `mutexes`, once the object is known
// to be open and its line sound: raises ValueError for an object closed by close() (`what`
// on `port`); returns the fault of a line already lost, without running `call`, or 0. A
// line that `call` finds lost is closed at once, under every lock of the object.
template <typename Call, typename... Mutexes>
int OnOpenLine(const char* what, const std::string& port, Line& line, Call&& call,
               Mutexes&... mutexes) {
    bool closed = false;
    int fault = 0;
    Python::ReleasingInterpreterLock([&] {
        bool lost = false;
        {
            const std::scoped_lock locks(mutexes...);
            if (!line) {
                fault = line.Lost();
                closed = fault == 0;
            } else if ((fault = line->Fault()) == 0) {
                call();
                lost = line->Fault() != 0;
            } else {
                lost = true;
            }
        }
        if (lost) line.Drop();
    });
    if (closed) RaiseClosed(what, port);
    return fault;
}

}  // namespace Brivane::HardwareAPI::Package
