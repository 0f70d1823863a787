// brivane._brivane.Grip: a grip that owns its port. Messages are read into fixed storage,
// a batch for each receiving call, on one side; commands go out on the other, each side
// under its own lock, as the port allows one thread to read while another writes.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "devices/Handle.h"
#include "errors.h"
#include "io/SerialStream.h"
#include "native.h"
#include "owned.h"
#include "records.h"
#include "stats.h"

namespace Brivane::HardwareAPI::Package {

namespace {

using Devices::Handle;
using Devices::HandleInfoResponse;
using Devices::HandleStatusMessage;
using Message = Devices::HandleMessage;

constexpr std::size_t kBatch = 256;  // messages taken in one call, without waiting

using Batch = std::array<Message, kBatch>;

// The batches that received messages wait in, from their decoding under the read lock to
// their Python objects after it: each call has one of its own, so that another reader never
// overwrites them. A batch is made only when more calls than ever before read at once, and
// is kept for the next.
class Batches {
  public:
    class Lease {
      public:
        explicit Lease(Batches& batches) : batches_(batches), batch_(batches.Take()) {}
        ~Lease() { batches_.Give(std::move(batch_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Message& operator[](std::size_t i) { return (*batch_)[i]; }

      private:
        Batches& batches_;
        std::unique_ptr<Batch> batch_;
    };

  private:
    std::unique_ptr<Batch> Take() {
        const std::lock_guard<std::mutex> guard(mutex_);
        if (spare_.empty()) {
            spare_.reserve(++made_);  // room to give it back without allocating
            return std::make_unique<Batch>();
        }
        std::unique_ptr<Batch> batch = std::move(spare_.back());
        spare_.pop_back();
        return batch;
    }
    void Give(std::unique_ptr<Batch> batch) {
        const std::lock_guard<std::mutex> guard(mutex_);
        spare_.push_back(std::move(batch));
    }

    std::mutex mutex_;  // held for a moment, never while waiting for anything else
    std::vector<std::unique_ptr<Batch>> spare_;
    std::size_t made_ = 0;
};

// A grip's id as Python means an integer (an int, or an object that is one by __index__),
// from 0 to 65535.
std::uint16_t DeviceId(py::handle id) {
    if (!PyIndex_Check(id.ptr())) {
        throw py::type_error(std::string("device_id must be an int from 0 to 65535 (0 for any "
                                         "grip), not ") +
                             Py_TYPE(id.ptr())->tp_name);
    }
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(id.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || value < 0 || value > 0xFFFF) {
        throw py::value_error("device_id must be from 0 to 65535 (0 for any grip), not " +
                              std::string(py::str(index)));
    }
    return static_cast<std::uint16_t>(value);
}

// User data as bytes() takes it, but for an int, which bytes() takes for a count of zeros.
std::string UserData(py::handle data) {
    auto bytes = py::reinterpret_steal<py::object>(
        PyLong_Check(data.ptr()) ? nullptr : PyBytes_FromObject(data.ptr()));
    if (!bytes) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            throw py::value_error("user_data must hold numbers from 0 to 255");
        }
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        throw py::type_error(std::string("user_data must be bytes, a bytes-like object or "
                                         "a sequence of numbers from 0 to 255, not ") +
                             Py_TYPE(data.ptr())->tp_name);
    }
    return std::string(PyBytes_AS_STRING(bytes.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

class Grip : public OwnedDevice<Grip, Handle> {
  public:
    static constexpr DeviceWords kWords{
        "grip", " with it",
        "a servo reads this grip; stop the servo first (its samples carry the grip's "
        "orientation and hall level)"};

    Grip(py::handle port, double timeout, py::object info, py::object status, py::object error)
        : OwnedDevice(port, timeout),
          info_(std::move(info)),
          status_(std::move(status)),
          error_(std::move(error)) {
        Open();
    }

    // Opens the port, wakes the grip and waits for its information message; status
    // messages that come first are passed over.
    void Open() {
        Devices::GripIdentity identity;
        Outcome outcome = OpenDevice([&](Handle& grip, const Limits& limits) {
            const Outcome woken = grip.identify(identity, limits);
            if (identity.informed) info_message_ = identity.info;
            return woken;
        });
        if (!identity.informed) {
            Close();
            if (outcome.kind == Outcome::Kind::BadAnswer) {
                RaiseWrongDevice(port_, "something answered the wake-up, but not as a grip does");
            }
            // A grip that sent only status messages: no information message in time.
            const bool status_only = outcome.answered();
            if (status_only) outcome.kind = Outcome::Kind::NoAnswer;
            RaiseFor(outcome, port_, status_only ? "wake-up (no information message)" : "wake-up",
                     WakeLimit());
        }
    }

    // A HandleInfo, as receive() makes them.
    py::object Info() const { return Record(info_, GripInfo(info_message_)); }

    // Up to `limit` messages: the first waits up to `timeout` seconds, the rest are only
    // those already here. An empty list when nothing came in time.
    py::list Receive(double timeout, std::size_t limit) {
        limit = std::clamp<std::size_t>(limit, 1, kBatch);
        Batches::Lease batch(batches_);
        std::size_t count = 0;
        Outcome outcome;
        const auto receive = [&] {
            std::size_t junk = 0;
            const Deadline deadline = Deadline::After(timeout);
            while (count < limit) {
                outcome = ReceiveOne(batch[count], deadline, junk);
                if (!outcome.answered()) break;
                ++count;
                if (line_->Available() <= 0) break;
            }
        };
        if (const int fault = Undriven("receive", receive, mutex_)) outcome = LostLine(fault);
        // Nothing whole in time is no error here: a message the deadline cut is finished by
        // the next call. A lost line is.
        if (count == 0 && !outcome.answered() && outcome.kind != Outcome::Kind::NoAnswer) {
            RaiseFor(outcome, port_, "receive", timeout);
        }
        py::list messages(count);
        for (std::size_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(messages.ptr(), static_cast<Py_ssize_t>(i),
                            Python(batch[i]).release().ptr());
        }
        return messages;
    }

    // Requests the status and decodes the stuffed status block that answers. A block that
    // is not closed by END, or names another grip, is no status of this grip: most often
    // the grip sends its status as plain messages, which receive() reads.
    py::tuple Status(double timeout) {
        Devices::StavrinStatus status;
        Outcome outcome;
        const auto exchange = [&] {
            const Deadline deadline = Deadline::After(timeout);
            outcome = device_->request_status();
            if (outcome.answered()) outcome = device_->status(status, deadline);
        };
        if (const int lost = Undriven("status", exchange, mutex_, send_mutex_)) {
            outcome = LostLine(lost);
        }
        if (!outcome.answered()) {
            RaiseFor(outcome, port_, "status", timeout,
                     "no status block of this grip (id " +
                         std::to_string(info_message_.device_id & 0xFF) +
                         ") closed by 0xC0 came; a grip that sends its status as plain 0xDA "
                         "messages answers so: read those with receive() or messages()");
        }
        py::tuple quaternion(4);
        for (int k = 0; k < 4; ++k) quaternion[k] = py::float_(status.quaternion[k]);
        return py::make_tuple(status.device_id, quaternion, status.error_flag,
                              status.hall_effect_sensor_level, status.buttons,
                              status.battery_level);
    }

    void SendState(std::uint16_t device_id, const std::string& user_data) {
        if (user_data.size() > 255) {
            throw py::value_error("user_data holds " + std::to_string(user_data.size()) +
                                  " bytes; a handle state carries at most 255");
        }
        Send("send_state", [&] {
            return device_->send_state(device_id,
                                       reinterpret_cast<const std::uint8_t*>(user_data.data()),
                                       static_cast<std::uint8_t>(user_data.size()));
        });
    }
    void RequestStatus() {
        Send("request_status", [&] { return device_->request_status(); });
    }

  private:
    // One message into `message`: Answered, NoAnswer (nothing by the deadline, or with
    // received bytes, a message cut short), or LineLost. Junk is passed over and counted.
    Outcome ReceiveOne(Message& message, const Deadline& deadline, std::size_t& junk) {
        for (;;) {
            Outcome outcome = device_->receive(message, deadline);
            if (outcome.kind != Outcome::Kind::BadAnswer) return outcome;
            ++junk;
            if (deadline.Expired()) {  // a flood of junk ends there too
                outcome = Outcome{};
                outcome.kind = Outcome::Kind::NoAnswer;
                return outcome;
            }
        }
    }

    template <typename Call>
    void Send(const char* operation, Call&& call) {
        Outcome outcome;
        const auto send = [&] { outcome = call(); };
        if (const int lost = OnLine(send, send_mutex_)) {
            outcome = LostLine(lost);
        }
        if (!outcome.answered()) {
            RaiseFor(outcome, port_, operation, timeout_, "",
                     "the line did not take the frame in time: the grip is not reading it "
                     "(flow control holds it back); check that it is powered and awake");
        }
    }

    py::object Python(const Message& message) const {
        switch (message.kind) {
            case Message::Kind::Info:
                return Record(info_, GripInfo(message.info));
            case Message::Kind::Status: {
                const HandleStatusMessage& s = message.status;
                const py::tuple quaternion = py::make_tuple(s.quaternion[0], s.quaternion[1],
                                                            s.quaternion[2], s.quaternion[3]);
                const py::bytes data(reinterpret_cast<const char*>(s.user_data),
                                     s.user_data_length);
                return Record(status_, py::make_tuple(s.device_id, quaternion, s.error_flag,
                                                      s.hall_effect_sensor_level, data));
            }
            case Message::Kind::Error:
                return Record(error_,
                              py::make_tuple(message.error.device_id, message.error.error_code));
            case Message::Kind::None:
                break;
        }
        return py::none();
    }

    py::object info_, status_, error_;  // the record classes messages are made into
    Batches batches_;
    HandleInfoResponse info_message_;
};

}  // namespace

GripLoan LendGrip(py::handle grip, const char* to) {
    return Grip::LendOf(grip, to);
}

void RegisterGrip(py::module_& m) {
    py::class_<Grip> grip(m, "Grip");
    grip.def(py::init<py::handle, double, py::object, py::object, py::object>());
    Grip::Define(grip);
    grip.def_property_readonly("info", &Grip::Info);
    grip.def("receive", &Grip::Receive);
    grip.def("status", &Grip::Status);
    grip.def("send_state", [](Grip& g, py::handle device_id, py::handle user_data) {
        g.SendState(DeviceId(device_id), UserData(user_data));
    });
    grip.def("request_status", &Grip::RequestStatus);
}

}  // namespace Brivane::HardwareAPI::Package
