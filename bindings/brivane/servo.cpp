// brivane._brivane.Servo: the library's servo over an arm lent to it while it runs; its
// effects, its law (a Python callable, called on the servo's thread with the interpreter
// lock), its latest sample, its record and its statistics.
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "errors.h"
#include "native.h"
#include "platform/SystemError.h"
#include "records.h"
#include "servo/Servo.h"

namespace Brivane::HardwareAPI::Package {

namespace {

namespace H = Haptics;
using H::Vec3;

// The Python side checks every number; here they are only converted.
Vec3 Three(py::handle values) {
    const py::sequence sequence = py::reinterpret_borrow<py::sequence>(values);
    return {sequence[0].cast<float>(), sequence[1].cast<float>(), sequence[2].cast<float>()};
}

// An effect from its fields, (kind, fields...), as brivane.effects lays them out.
H::Effect EffectFrom(py::handle fields) {
    const py::tuple t = py::reinterpret_borrow<py::tuple>(fields);
    const std::string kind = t[0].cast<std::string>();
    if (kind == "constant") return H::ConstantForce{Three(t[1])};
    if (kind == "spring") return H::Spring{Three(t[1]), Three(t[2]), t[3].cast<float>()};
    if (kind == "damper") return H::Damper{t[1].cast<float>()};
    if (kind == "plane") {
        return H::Plane{Three(t[1]), Three(t[2]), Three(t[3]), t[4].cast<float>()};
    }
    if (kind == "box") return H::Box{Three(t[1]), Three(t[2]), Three(t[3]), t[4].cast<float>()};
    if (kind == "sphere") {
        return H::Sphere{Three(t[1]), t[2].cast<float>(), Three(t[3]), t[4].cast<float>(),
                         t[5].cast<bool>()};
    }
    throw py::value_error("no effect of kind " + kind);
}

class Servo {
    // Runs `use` on the servo (null before the first start) under control_ and without the
    // interpreter lock: start() and stop() replace and join the servo under control_, and its
    // thread may want the interpreter lock for the law meanwhile.
    template <typename Use>
    auto WithServo(Use&& use) const {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> guard(control_);
        return use(servo_.get());
    }

  public:
    Servo(py::object arm, py::object grip, std::string port, double rate, double max_force,
          double ramp, double lease, bool realtime, std::size_t samples, py::object sample_class)
        : arm_(std::move(arm)),
          grip_(std::move(grip)),
          port_(std::move(port)),
          sample_class_(std::move(sample_class)) {
        options_.rate = rate;
        options_.max_force = max_force;
        options_.ramp = ramp;
        options_.lease = lease;
        options_.realtime = realtime;
        options_.samples = samples;
    }
    ~Servo() { Stop(); }

    void Start() {
        if (WithServo([](H::Servo* servo) { return servo && servo->running(); })) return;
        Stop();  // a run that ended by itself still holds the arm
        ArmLoan loan = LendArm(arm_, "servo");
        GripLoan grip;
        try {
            if (!grip_.is_none()) grip = LendGrip(grip_, "servo");
        } catch (...) {
            loan.give_back();
            throw;
        }
        const bool lawful = !law_.is_none();
        const int refused = WithServo([&](H::Servo*) {
            auto next = std::make_unique<H::Servo>(*loan.arm, options_, grip.grip);
            next->set_effects(effects_);
            if (lawful) next->set_law(Law());
            const int error = next->start();
            if (error != 0) {
                loan.give_back();
                if (grip.give_back) grip.give_back();
                return error;
            }
            servo_ = std::move(next);
            give_back_ = std::move(loan.give_back);
            give_back_grip_ = std::move(grip.give_back);
            return 0;
        });
        if (refused != 0) {
            char system_text[256] = {};
            if (!Platform::SystemErrorText(refused, system_text, sizeof system_text)) {
                std::strcpy(system_text, "unknown");
            }
            const std::string text =
                "[Errno " + std::to_string(refused) + "] " + std::string(system_text);
            if (options_.realtime) {
                PyErr_SetObject(
                    PyExc_PermissionError,
                    py::make_tuple(refused, "the system refused the servo a real-time priority (" +
                                                text +
                                                "); allow one (an rtprio limit, for example "
                                                "'@realtime - rtprio 98' in "
                                                "/etc/security/limits.d/, or CAP_SYS_NICE), or "
                                                "start without realtime=True")
                        .ptr());
                throw py::error_already_set();
            }
            throw std::runtime_error("the servo's thread could not start: " + text);
        }
        law_error_ = py::none();
    }

    // Stops the thread and gives the arm (and the grip) back.
    void Stop() {
        WithServo([this](H::Servo* servo) {
            if (servo) servo->stop();
            for (std::function<void()>* loan : {&give_back_, &give_back_grip_}) {
                if (*loan) (*loan)();
                *loan = nullptr;
            }
        });
    }

    bool Running() const {
        return WithServo([](H::Servo* servo) { return servo && servo->running(); });
    }

    // The exception that stopped the servo, or None.
    py::object Error() const {
        if (!law_error_.is_none()) return law_error_;
        const H::ServoStop stop =
            WithServo([](H::Servo* servo) { return servo ? servo->stopped_by() : H::ServoStop{}; });
        const py::module_ errors = py::module_::import("brivane.errors");
        switch (stop.kind) {
            case H::ServoStop::Kind::LineLost:
                return errors.attr("_from_native")("line_lost", Printable(port_), "servo",
                                                   1.0 / options_.rate, stop.error, py::bytes());
            case H::ServoStop::Kind::Interrupted:
                return errors.attr("_from_native")("stopped", Printable(port_), "servo",
                                                   1.0 / options_.rate, 0, py::bytes());
            case H::ServoStop::Kind::LawFailed:
                return py::reinterpret_steal<py::object>(PyObject_CallFunction(
                    PyExc_RuntimeError, "s",
                    ("the servo's law failed: " + std::string(stop.text.data())).c_str()));
            default:
                return py::none();
        }
    }

    void SetEffects(const py::sequence& effects_fields) {
        H::EffectSet effects;
        for (const py::handle fields : effects_fields) {
            if (!effects.add(EffectFrom(fields))) {
                throw py::value_error(
                    "a servo renders at most " + std::to_string(H::EffectSet::kCapacity) +
                    " effects at once, not " + std::to_string(effects_fields.size()));
            }
        }
        WithServo([&](H::Servo* servo) {
            effects_ = effects;
            if (servo) servo->set_effects(effects_);
        });
    }

    py::object GetLaw() const { return law_; }
    void SetLaw(py::object law) {
        law_ = std::move(law);
        const bool lawful = !law_.is_none();
        WithServo([&](H::Servo* servo) {
            if (servo) servo->set_law(lawful ? Law() : H::Law{});
        });
    }

    void Renew() {
        WithServo([](H::Servo* servo) {
            if (servo) servo->renew();
        });
    }

    py::object State() const {
        return SampleRecord(
            WithServo([](H::Servo* servo) { return servo ? servo->latest() : H::Sample{}; }));
    }

    py::tuple Stats() const {
        const H::ServoStatistics s = WithServo(
            [](H::Servo* servo) { return servo ? servo->statistics() : H::ServoStatistics{}; });
        return py::make_tuple(s.periods, s.overruns, s.failures, s.rate_hz, s.period_p50_us,
                              s.period_p99_us, s.period_max_us, s.lateness_p99_us,
                              s.lateness_max_us);
    }

    // Every sample since the last call, as the bytes of consecutive Sample structs, and how
    // many were dropped because the record overflowed meanwhile.
    py::tuple TakeSamples() {
        std::vector<H::Sample> taken;
        // Under control_: the ring has one reader at a time.
        const H::SampleRing::Taken got = WithServo([&](H::Servo* servo) {
            if (!servo) return H::SampleRing::Taken{};
            taken.resize(servo->samples().capacity());
            return servo->samples().take(taken.data(), taken.size());
        });
        return py::make_tuple(
            py::bytes(reinterpret_cast<const char*>(taken.data()), got.count * sizeof(H::Sample)),
            got.dropped);
    }

    double Rate() const { return options_.rate; }
    double MaxForce() const { return options_.max_force; }
    double Ramp() const { return options_.ramp; }
    double LeaseSeconds() const { return options_.lease; }
    void SetLease(double seconds) {
        options_.lease = seconds;
        WithServo([&](H::Servo* servo) {
            if (servo) servo->set_lease(seconds);
        });
    }

  private:
    py::object SampleRecord(const H::Sample& s) const {
        return Record(sample_class_,
                      py::make_tuple(s.time, Floats(s.position.data(), 3),
                                     Floats(s.velocity.data(), 3), Floats(s.force.data(), 3),
                                     s.period, Floats(s.orientation.data(), 4), s.hall));
    }

    // The law as the servo calls it: the Python callable, with the interpreter lock. What it
    // raises stops the servo, and is kept as its error. Only `this` is captured: the servo's
    // thread never holds a Python object outside the lock.
    H::Law Law() {
        return [this](const H::Sample& sample) -> Vec3 {
            // An interpreter that is ending ends a thread that takes its lock: stop instead,
            // with zero force, whatever stopped the program from stopping the servo first.
            if (_Py_IsFinalizing()) throw std::runtime_error("the interpreter is ending");
            py::gil_scoped_acquire locked;
            try {
                // brivane.Servo's wrapper returns None or 3 finite floats, or raises.
                const py::object force = law_(SampleRecord(sample));
                if (force.is_none()) return Vec3{};
                return Three(force);
            } catch (py::error_already_set& raised) {
                law_error_ = raised.value();
                throw std::runtime_error(raised.what());
            }
        };
    }

    const py::object arm_;   // keeps the arm while the servo may drive it
    const py::object grip_;  // and the grip it reads, or None
    const std::string port_;
    const py::object sample_class_;
    H::ServoOptions options_;
    H::EffectSet effects_;
    py::object law_ = py::none();
    py::object law_error_ = py::none();  // set on the servo's thread, with the interpreter lock
    // Under control_: the servo, its loans and the effects it is given.
    mutable std::mutex control_;
    std::unique_ptr<H::Servo> servo_;
    std::function<void()> give_back_, give_back_grip_;
};

// The record's layout, for the numpy view of samples(): each field's byte offset.
py::dict SampleLayout() {
    py::dict layout;
    layout["itemsize"] = sizeof(H::Sample);
    layout["time"] = offsetof(H::Sample, time);
    layout["position"] = offsetof(H::Sample, position);
    layout["velocity"] = offsetof(H::Sample, velocity);
    layout["force"] = offsetof(H::Sample, force);
    layout["period"] = offsetof(H::Sample, period);
    layout["orientation"] = offsetof(H::Sample, orientation);
    layout["hall"] = offsetof(H::Sample, hall);
    layout["outcome"] = offsetof(H::Sample, outcome);
    return layout;
}

}  // namespace

void RegisterServo(py::module_& m) {
    py::class_<Servo> servo(m, "Servo");
    servo.def(py::init<py::object, py::object, std::string, double, double, double, double, bool,
                       std::size_t, py::object>());
    servo.def("start", &Servo::Start);
    servo.def("stop", &Servo::Stop);
    servo.def_property_readonly("running", &Servo::Running);
    servo.def_property_readonly("error", &Servo::Error);
    servo.def("set_effects", &Servo::SetEffects);
    servo.def_property("law", &Servo::GetLaw, &Servo::SetLaw);
    servo.def("renew", &Servo::Renew);
    servo.def_property_readonly("state", &Servo::State);
    servo.def("stats", &Servo::Stats);
    servo.def("take_samples", &Servo::TakeSamples);
    servo.def_property_readonly("rate", &Servo::Rate);
    servo.def_property_readonly("max_force", &Servo::MaxForce);
    servo.def_property_readonly("ramp", &Servo::Ramp);
    servo.def_property("lease", &Servo::LeaseSeconds, &Servo::SetLease);
    m.def("sample_layout", &SampleLayout);
}

}  // namespace Brivane::HardwareAPI::Package
