// What the arm and the grip objects share: a device that owns its port, opened, reopened
// and closed from Python, and lent to a servo's thread meanwhile.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "common/traffic.h"
#include "errors.h"
#include "line.h"
#include "native.h"
#include "records.h"

namespace Brivane::HardwareAPI::Package {

namespace py = pybind11;

// How an object names its device in its messages.
struct DeviceWords {
    const char* what;         // "arm": "the arm on /dev/ttyACM0 is closed"
    const char* lend_advice;  // after "...; reopen() it before starting a servo"
    const char* driven;       // after "close on /dev/ttyACM0: ", while a servo has it
};

// The port, the time-out, the line and the `Device` made on it, for `Self` (Arm, Grip),
// which derives from this, names itself by Self::kWords and opens by its own Open(), which
// calls OpenDevice(). The locks: `mutex_` is held by the exchanges a servo's loan excludes
// (all of the arm's, the grip's reads) and guards `driven_`; `send_mutex_` by the grip's
// sends, which a loan allows. Opening, closing and closing a lost line take both.
template <typename Self, typename Device>
class OwnedDevice {
  public:
    // Opens the port, or `port` from now on, and wakes the device.
    void Reopen(const py::object& port) {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            RefuseWhileDriven("reopen");
        }
        if (!port.is_none()) port_ = PortPath(port, "port");
        static_cast<Self&>(*this).Open();
    }

    void Close() {
        const std::scoped_lock locks(mutex_, send_mutex_);
        RefuseWhileDriven("close");
        device_.reset();
        line_.Close();
    }
    // True once the port is closed, by close() or because its line was lost.
    bool Closed() const { return line_.Closed(); }

    // The device for a servo's thread, which has the exchanges under mutex_ until Return():
    // the object's own calls that take mutex_ refuse meanwhile.
    Device* Lend(const char* to) {
        const std::lock_guard<std::mutex> guard(mutex_);
        RefuseWhileDriven(to);
        if (!device_ || line_.Faulted()) {
            throw py::value_error(
                std::string("the ") + Self::kWords.what + " on " + Printable(port_) +
                " is closed; reopen() it before starting a servo" + Self::kWords.lend_advice);
        }
        driven_ = true;
        return device_.get();
    }
    // A line the servo lost is closed now, as the object's own calls close it.
    void Return() {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            driven_ = false;
        }
        line_.Drop();
    }
    // Lends the device of `owner`, a Python object of class Self, `to` a servo.
    static DeviceLoan<Device> LendOf(py::handle owner, const char* to) {
        Self& lender = owner.cast<Self&>();
        DeviceLoan<Device> loan;
        loan.device = lender.Lend(to);
        loan.give_back = [&lender] { lender.Return(); };
        return loan;
    }

    double timeout_value() const { return timeout_; }
    void set_timeout(double seconds) { timeout_ = seconds; }
    py::str port() const { return PortText(port_); }

    // The methods and properties of the lifecycle, the same on each class.
    static void Define(py::class_<Self>& cls) {
        cls.def("reopen", &Self::Reopen, py::arg("port") = py::none());
        cls.def("close", &Self::Close, py::call_guard<py::gil_scoped_release>());
        cls.def_property_readonly("closed", &Self::Closed);
        cls.def_property_readonly("port", &Self::port);
        cls.def_property("timeout", &Self::timeout_value, &Self::set_timeout);
    }

  protected:
    OwnedDevice(py::handle port, double timeout)
        : port_(PortPath(port, "port")), timeout_(timeout) {}

    // How long a wake-up may take: a device just opened may be slower than its time-out.
    double WakeLimit() const { return std::max(timeout_.load(), kShortestWakeLimit); }

    // Opens the port, makes the device on it (with the time-out and `arguments`) and wakes
    // it by `wake(device, limits)`, under every lock and without the interpreter lock.
    // Raises PortError when the port did not open; else returns what `wake` did, for Self
    // to judge (and to close() the port when the device is not what it should be).
    template <typename Wake, typename... Arguments>
    Outcome OpenDevice(Wake&& wake, const Arguments&... arguments) {
        int error = 0;
        Outcome outcome;
        const std::string name = port_;
        Python::ReleasingInterpreterLock([&] {
            const std::scoped_lock locks(mutex_, send_mutex_);
            device_.reset();
            if ((error = line_.Open(name)) != 0) return;
            device_ =
                std::make_unique<Device>(line_.get(), static_cast<float>(timeout_), arguments...);
            const Deadline deadline = Deadline::After(WakeLimit());
            outcome = wake(*device_, Limits::By(deadline));
        });
        if (!line_) RaisePortError(port_, error);
        return outcome;
    }

    // Runs `call` on the open line under `mutexes`, as OnOpenLine does: the fault of a line
    // already lost, or 0.
    template <typename Call, typename... Mutexes>
    int OnLine(Call&& call, Mutexes&... mutexes) {
        return OnOpenLine(Self::kWords.what, port_, line_, call, mutexes...);
    }
    // The same for a call a servo's loan excludes (`mutexes` hold mutex_): raises
    // RuntimeError for `operation` while a servo has the device.
    template <typename Call, typename... Mutexes>
    int Undriven(const char* operation, Call&& call, Mutexes&... mutexes) {
        bool refused = false;
        const int fault = OnLine(
            [&] {
                if (!(refused = driven_)) call();
            },
            mutexes...);
        if (refused) RaiseDriven(operation);
        return fault;
    }

    // Under mutex_.
    void RefuseWhileDriven(const char* operation) const {
        if (driven_) RaiseDriven(operation);
    }
    [[noreturn]] void RaiseDriven(const char* operation) const {
        throw std::runtime_error(std::string(operation) + " on " + Printable(port_) + ": " +
                                 Self::kWords.driven);
    }

    std::string port_;             // read and changed only under the interpreter lock
    std::atomic<double> timeout_;  // set from any thread, read by exchanges
    std::mutex mutex_, send_mutex_;
    Line line_{[this] {
        const std::scoped_lock locks(mutex_, send_mutex_);
        // A servo's thread may still be using the device: the loss is closed on its return.
        if (!line_.Faulted() || driven_) return;
        device_.reset();
        line_.Close(line_->Fault());
    }};
    std::unique_ptr<Device> device_;  // made on line_, and dropped before it
    bool driven_ = false;             // under mutex_: a servo has the device
};

}  // namespace Brivane::HardwareAPI::Package
