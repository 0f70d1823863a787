// The brivane package's native part: its own classes over the library's devices, and the
// one place where a failed exchange becomes the package's exception.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/traffic.h"
#include "devices/Device.h"
#include "io/SerialStream.h"

namespace Brivane::HardwareAPI::Package {

namespace py = pybind11;
using Devices::Limits;
using Devices::Outcome;

// Raises the exception of brivane.errors for a failed exchange. `timeout` is the limit the
// exchange had, for the message.
[[noreturn]] void RaiseFor(const Outcome& outcome, const std::string& port, const char* operation,
                           double timeout);
// Raises brivane.errors.PortError for a port that did not open, with the system's number.
[[noreturn]] void RaisePortError(const std::string& port, int error);
// Raises brivane.errors.WrongDevice: something answered on `port`, but not what was asked for.
[[noreturn]] void RaiseWrongDevice(const std::string& port, const std::string& what);

// ValueError for a call on a closed object, as on a closed file.
[[noreturn]] void RaiseClosed(const char* what, const std::string& port);

inline Outcome LostLine(int error) {
    Outcome outcome;
    outcome.kind = Outcome::Kind::LineLost;
    outcome.error = error;
    return outcome;
}

// An object's port: open; closed by close(); or closed when its line was lost, keeping the
// system's error number, which every call raises again as LineLost until the port is
// opened anew. Changed under all of its object's locks; `drop`, the object's own, takes
// them to close a lost line.
class Line {
  public:
    explicit Line(std::function<void()> drop) : drop_(std::move(drop)) {}

    void Open(std::unique_ptr<IO::SerialStream> stream) {
        stream_ = std::move(stream);
        lost_ = 0;
        open_ = true;
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

// A port named as os.fspath takes a path: a str, encoded as os.fsencode does (so that a
// name decoded with surrogate escapes gets its bytes back), bytes as they are, or an
// os.PathLike that gives either. A NUL is refused: the system would take the name as cut
// there. `argument` names it in the errors.
std::string PortPath(py::handle port, const char* argument);
// A port's name as Python shows paths, decoded as os.fsdecode does.
py::str PortText(const std::string& port);

// An instance of a record class (a NamedTuple), made the way its _make does.
py::object Record(const py::object& cls, py::tuple fields);

// A port name as the caller gave it, for messages.
std::string Printable(const std::string& port);

// Exchange counts, the worst latency since the last reset, and the latency of recent
// exchanges, kept in fixed storage: recording one costs two clock reads and a few stores.
// The worst is kept apart from the window, so that one stall in a long trial is not
// forgotten 1024 exchanges later.
class LoopStats {
  public:
    using Clock = std::chrono::steady_clock;

    void Record(Clock::time_point start, Clock::time_point end, bool answered) {
        ++exchanges_;
        if (!answered) ++failures_;
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(end - start);
        const std::size_t at = recorded_ % kRecent;
        latency_us_[at] = static_cast<std::uint32_t>(micros.count());
        max_us_ = std::max(max_us_, latency_us_[at]);
        ended_[at] = end;
        ++recorded_;
    }
    void Reset() { *this = LoopStats(); }
    // exchanges and failures since the reset, loop rate (exchanges per second over the
    // recent ones), p50 and p99 of their latency, and the worst latency since the reset, in
    // microseconds; zeros before any exchange.
    py::tuple Snapshot() const;

  private:
    static constexpr std::size_t kRecent = 1024;
    std::uint64_t exchanges_ = 0;
    std::uint64_t failures_ = 0;
    std::uint64_t recorded_ = 0;
    std::uint32_t max_us_ = 0;
    std::uint32_t latency_us_[kRecent] = {};
    Clock::time_point ended_[kRecent] = {};
};

void RegisterArm(py::module_& m);
void RegisterGrip(py::module_& m);
void RegisterPorts(py::module_& m);

}  // namespace Brivane::HardwareAPI::Package
