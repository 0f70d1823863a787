// brivane._brivane.Servo: the library's servo over an arm lent to it while it runs; its
// effects, its law (a Python callable, called beside the loop on a thread of its own with
// the interpreter lock), its latest sample, its record and its statistics.
#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "errors.h"
#include "mesh.h"
#include "native.h"
#include "platform/ServoClock.h"
#include "platform/SystemError.h"
#include "records.h"
#include "servo/Servo.h"

namespace Brivane::HardwareAPI::Package {

namespace {

namespace H = Haptics;
using H::SeqLock;
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
    if (kind == "mesh") {
        H::Mesh mesh;
        mesh.mesh = t[1].cast<const NativeMesh&>().mesh;
        const py::sequence position = py::reinterpret_borrow<py::sequence>(t[2]);
        const py::sequence rotation = py::reinterpret_borrow<py::sequence>(t[3]);
        for (std::size_t i = 0; i < 3; ++i) mesh.pose.position[i] = position[i].cast<double>();
        for (std::size_t i = 0; i < 4; ++i) mesh.pose.rotation[i] = rotation[i].cast<double>();
        mesh.stiffness = t[4].cast<float>();
        mesh.damping = t[5].cast<float>();
        mesh.static_friction = t[6].cast<float>();
        mesh.dynamic_friction = t[7].cast<float>();
        return mesh;
    }
    throw py::value_error("no effect of kind " + kind);
}

// A Python law beside the loop: the servo posts each fresh sample and takes the newest force
// the law's thread computed, without the interpreter lock, so that a program that holds
// the lock stalls the law, never the wire. A force is used while fresh (a few periods) and
// faded out after; the effects render meanwhile.
struct LawAside {
    struct Post {
        H::Sample sample;
        std::uint64_t number = 0;
    };
    struct Force {
        Vec3 force{};
        double time = -1.0;  // the sample's it answers; below 0: none yet
    };
    SeqLock<Post> post;
    std::atomic<std::uint64_t> posted{0};
    SeqLock<Force> force;
    std::atomic<bool> failed{false};
    std::atomic<bool> quit{false};
    std::atomic<bool> waiting{false};
    std::mutex wake_mutex;
    std::condition_variable wake;
    // Seconds a force stays whole after its sample, and over which it fades after that.
    double fresh = 0.003;
    double fade = 0.010;
    H::Servo* servo = nullptr;  // the run's, for what the law's thread tells of it
    bool warned_behind = false;
    bool warned_grip = false;

    void Wake() {
        { const std::lock_guard<std::mutex> lock(wake_mutex); }
        wake.notify_one();
    }
};

// What one start() set going: the library's servo, the law's thread and the loans, which
// the first of the run's end and stop() gives back.
struct Run {
    std::unique_ptr<H::Servo> servo;
    std::shared_ptr<LawAside> aside = std::make_shared<LawAside>();
    std::thread law_thread;
    std::mutex loans_mutex;
    std::function<void()> give_back_arm, give_back_grip;
    long owner = 0;

    void GiveBack() {
        const std::lock_guard<std::mutex> lock(loans_mutex);
        for (std::function<void()>* loan : {&give_back_arm, &give_back_grip}) {
            if (*loan) (*loan)();
            *loan = nullptr;
        }
    }
};

// A set of effects from their fields, as brivane.effects records give them.
H::EffectSet EffectSetFrom(const py::sequence& effects_fields) {
    H::EffectSet effects;
    for (const py::handle fields : effects_fields) {
        if (!effects.add(EffectFrom(fields))) {
            throw py::value_error("a servo renders at most " +
                                  std::to_string(H::EffectSet::kCapacity) +
                                  " effects at once, not " + std::to_string(effects_fields.size()));
        }
    }
    return effects;
}

class Servo {
  public:
    Servo(py::object arm, py::object grip, std::string port, double rate, double max_force,
          double ramp, double lease, bool realtime, std::size_t samples, py::object sample_class,
          double spin, bool passivity)
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
        options_.spin = spin;
        options_.passivity = passivity;
    }
    ~Servo() {
        try {
            Stop();
        } catch (...) {
        }
    }

    void Start() {
        if (Forked()) return;
        {
            const std::shared_ptr<Run> run = Current();
            if (run && run->servo->running()) return;
        }
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> lifecycle(lifecycle_);
        std::shared_ptr<Run> previous = Current();
        if (previous && previous->servo->running()) return;  // another thread started it
        if (previous) End(*previous);                        // a run that ended by itself
        int refused = 0;
        {
            py::gil_scoped_acquire locked;
            law_error_ = py::none();  // before the thread begins: its error is its own
            auto run = std::make_shared<Run>();
            ArmLoan loan = LendArm(arm_, "servo");
            GripLoan grip;
            try {
                if (!grip_.is_none()) grip = LendGrip(grip_, "servo");
            } catch (...) {
                loan.give_back();
                throw;
            }
            run->give_back_arm = std::move(loan.give_back);
            run->give_back_grip = std::move(grip.give_back);
            run->servo = std::make_unique<H::Servo>(*loan.device, options_, grip.device);
            run->aside->fresh = std::max(0.003, 3.0 / options_.rate);
            run->owner = Platform::ProcessId();
            Run* const raw = run.get();
            run->servo->on_end([raw] { raw->GiveBack(); });
            {
                const std::lock_guard<std::mutex> guard(effects_mutex_);
                run->servo->set_effects(effects_);
            }
            run->aside->servo = run->servo.get();
            if (!law_.is_none()) run->servo->set_law(ServoLaw(*run));
            run->law_thread = std::thread([this, aside = run->aside] { AsideLoop(*aside); });
            {
                py::gil_scoped_release unlocked_again;
                refused = run->servo->start();
            }
            if (refused != 0) {
                py::gil_scoped_release unlocked_again;
                End(*run);
            } else {
                const std::lock_guard<std::mutex> guard(current_mutex_);
                run_ = std::move(run);
            }
        }
        if (refused != 0) {
            py::gil_scoped_acquire locked;
            RaiseRefused(refused);
        }
    }

    // Stops the thread and gives the arm (and the grip) back. From the law's own thread, it
    // only asks the servo to stop: the law's thread ends once the law returns.
    void Stop() {
        if (Forked()) return;
        const std::shared_ptr<Run> run = Current();
        if (!run) return;
        if (run->law_thread.get_id() == std::this_thread::get_id()) {
            py::gil_scoped_release unlocked;
            run->servo->stop();
            return;
        }
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> lifecycle(lifecycle_);
        End(*run);
    }

    bool Running() const {
        const std::shared_ptr<Run> run = Current();
        return run && run->servo->running();
    }

    // The exception that stopped the servo, or None.
    py::object Error() const {
        if (!law_error_.is_none()) return law_error_;
        const std::shared_ptr<Run> run = Current();
        const H::ServoStop stop = run ? run->servo->stopped_by() : H::ServoStop{};
        const py::module_ errors = py::module_::import("brivane.errors");
        switch (stop.kind) {
            case H::ServoStop::Kind::LineLost:
                return errors.attr("_from_native")("line_lost", Printable(port_), "servo",
                                                   1.0 / options_.rate, stop.error, py::bytes());
            case H::ServoStop::Kind::Interrupted:
                return errors.attr("_from_native")("stopped", Printable(port_), "servo",
                                                   1.0 / options_.rate, 0, py::bytes());
            case H::ServoStop::Kind::NoAnswer:
                return errors.attr("_from_native")(
                    "no_answer", Printable(port_), "servo", 1.0, 0, py::bytes(), "",
                    "the arm stopped answering for longer than its timeout; the servo sent "
                    "zero force and stopped. Check that the arm is powered and its cable "
                    "seated, then start the servo again");
            case H::ServoStop::Kind::LawFailed:
                return py::reinterpret_steal<py::object>(PyObject_CallFunction(
                    PyExc_RuntimeError, "s",
                    ("the servo's law failed: " + std::string(stop.text.data())).c_str()));
            default:
                return py::none();
        }
    }

    void SetEffects(const py::sequence& effects_fields) {
        const H::EffectSet effects = EffectSetFrom(effects_fields);
        const std::lock_guard<std::mutex> guard(effects_mutex_);
        effects_ = effects;
        if (const std::shared_ptr<Run> run = Current()) run->servo->set_effects(effects_);
    }

    // False, changing nothing, for a set of another shape than the one the servo has.
    bool Glide(const py::sequence& effects_fields, double seconds) {
        const H::EffectSet effects = EffectSetFrom(effects_fields);
        const std::lock_guard<std::mutex> guard(effects_mutex_);
        if (!H::SameShape(effects_, effects)) return false;
        const std::shared_ptr<Run> run = Current();
        if (run && !run->servo->glide(effects, seconds)) return false;
        effects_ = effects;
        return true;
    }

    py::object GetLaw() const { return law_; }
    // The law's thread reads law_ with the interpreter lock, as this does: it sees the old
    // law or the new one. The servo's own hook is swapped whole.
    void SetLaw(py::object law) {
        law_ = std::move(law);
        compiled_ = 0;
        if (const std::shared_ptr<Run> run = Current()) run->servo->set_law(ServoLaw(*run));
    }
    // A compiled law, `void law(const double* sample, double* force)` at `address`, called in
    // the servo's thread; `law`, what holds its code, is kept while the servo may call it.
    void SetCompiledLaw(py::object law, std::uintptr_t address) {
        law_ = std::move(law);
        compiled_ = address;
        if (const std::shared_ptr<Run> run = Current()) run->servo->set_law(ServoLaw(*run));
    }

    double Epoch() const {
        const std::shared_ptr<Run> run = Current();
        return run ? run->servo->epoch() : 0.0;
    }

    void Renew() {
        if (const std::shared_ptr<Run> run = Current()) run->servo->renew();
    }

    py::object State() const {
        const std::shared_ptr<Run> run = Current();
        return SampleRecord(run ? run->servo->latest() : H::Sample{});
    }

    py::tuple Stats() const {
        const std::shared_ptr<Run> run = Current();
        const H::ServoStatistics s = run ? run->servo->statistics() : H::ServoStatistics{};
        return py::make_tuple(s.periods, s.overruns, s.failures, s.rate_hz, s.period_p50_us,
                              s.period_p99_us, s.period_max_us, s.lateness_p99_us,
                              s.lateness_max_us, s.late, s.extra, s.behind, s.grip_lost,
                              s.passivity_periods, s.dissipated);
    }

    // Every sample since the last call (those of a run before this one's first), as the
    // bytes of consecutive Sample structs, and how many were dropped because the record
    // overflowed meanwhile. Copies only what is new, under a lock of the readers' own.
    py::tuple TakeSamples() {
        std::vector<H::Sample> taken;
        std::uint64_t dropped = 0;
        {
            py::gil_scoped_release unlocked;
            const std::lock_guard<std::mutex> reading(samples_mutex_);
            taken.swap(carried_);
            dropped = carried_dropped_;
            carried_dropped_ = 0;
            if (const std::shared_ptr<Run> run = Current()) dropped += Drain(*run, taken);
        }
        return py::make_tuple(py::bytes(reinterpret_cast<const char*>(taken.data()),
                                        taken.size() * sizeof(H::Sample)),
                              dropped);
    }

    double Rate() const { return options_.rate; }
    double MaxForce() const { return options_.max_force; }
    double Ramp() const { return options_.ramp; }
    double Spin() const { return options_.spin; }
    double LeaseSeconds() const { return options_.lease; }
    void SetLease(double seconds) {
        options_.lease = seconds;
        if (const std::shared_ptr<Run> run = Current()) run->servo->set_lease(seconds);
    }

  private:
    std::shared_ptr<Run> Current() const {
        const std::lock_guard<std::mutex> guard(current_mutex_);
        return run_;
    }

    // A fork's copy of a servo that runs in the parent: nothing of it runs here, and nothing
    // of it is joined, stopped or given back (the arm is the parent's). Its run is let go.
    bool Forked() {
        const std::shared_ptr<Run> run = run_;
        if (!run || run->owner == Platform::ProcessId()) return false;
        new std::shared_ptr<Run>(std::move(run_));  // never destroyed: it would join
        return true;
    }

    // Appends the run's new samples to `into`; the count dropped. Under samples_mutex_.
    static std::uint64_t Drain(Run& run, std::vector<H::Sample>& into) {
        H::SampleRing& ring = run.servo->samples();
        const std::size_t base = into.size();
        into.resize(base + ring.unread());
        const H::SampleRing::Taken got = ring.take(into.data() + base, into.size() - base);
        into.resize(base + got.count);
        return got.dropped;
    }

    // Ends `run`: the servo stopped (its zero sent), the law's thread joined, the loans given
    // back, the samples not yet taken kept for the next take. Without the interpreter lock,
    // under lifecycle_.
    void End(Run& run) {
        run.servo->stop();
        run.aside->quit.store(true);
        run.aside->Wake();
        if (run.law_thread.joinable()) run.law_thread.join();
        run.GiveBack();
        const std::lock_guard<std::mutex> reading(samples_mutex_);
        carried_dropped_ += Drain(run, carried_);
    }

    void RaiseRefused(int refused) {
        char system_text[256] = {};
        if (!Platform::SystemErrorText(refused, system_text, sizeof system_text)) {
            std::strcpy(system_text, "unknown");
        }
        const std::string text =
            "[Errno " + std::to_string(refused) + "] " + std::string(system_text);
        if (options_.realtime) {
            PyErr_SetObject(
                PyExc_PermissionError,
                py::make_tuple(refused,
                               "the system refused the servo a real-time priority or locked "
                               "memory (" +
                                   text +
                                   "); allow them (an rtprio and memlock limit, for example "
                                   "'@realtime - rtprio 98' and '@realtime - memlock unlimited' "
                                   "in /etc/security/limits.d/, or CAP_SYS_NICE and "
                                   "CAP_IPC_LOCK), or start without realtime=True")
                    .ptr());
            throw py::error_already_set();
        }
        throw std::runtime_error("the servo's thread could not start: " + text);
    }

    py::object SampleRecord(const H::Sample& s) const {
        return Record(
            sample_class_,
            py::make_tuple(s.time, Floats(s.position.data(), 3), Floats(s.velocity.data(), 3),
                           Floats(s.force.data(), 3), s.period, Floats(s.orientation.data(), 4),
                           s.hall, s.grip_sequence, s.grip_time, s.energy, s.damping,
                           Floats(s.proxy.data(), 3)));
    }

    H::Law ServoLaw(Run& run) const {
        if (law_.is_none()) return {};
        if (compiled_ != 0) return H::CompiledLaw(CallCompiled, reinterpret_cast<void*>(compiled_));
        return Law(run.aside);
    }
    // The compiled law's address travels as the context: nothing shared to outlive it.
    static void CallCompiled(const double* sample, double* force, void* context) {
        using Function = void (*)(const double*, double*);
        reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(context))(sample, force);
    }

    // The law as the servo calls it: it posts the sample for the law's thread and returns
    // the newest force that thread computed, whole while fresh, fading after. It never
    // waits and never touches a Python object.
    static H::Law Law(std::shared_ptr<LawAside> aside) {
        return [aside = std::move(aside)](const H::Sample& sample) -> Vec3 {
            LawAside& a = *aside;
            if (a.failed.load(std::memory_order_acquire))
                throw std::runtime_error("the law raised");
            const std::uint64_t number = a.posted.load(std::memory_order_relaxed) + 1;
            a.post.store({sample, number});
            a.posted.store(number);
            if (a.waiting.load()) a.wake.notify_one();
            const LawAside::Force force = a.force.load();
            if (force.time < 0.0) return Vec3{};
            const double age = sample.time - force.time - a.fresh;
            if (age <= 0.0) return force.force;
            if (age >= a.fade) return Vec3{};
            const double share = age / a.fade;
            const double gain = 1.0 - share * share;
            return {static_cast<float>(force.force[0] * gain),
                    static_cast<float>(force.force[1] * gain),
                    static_cast<float>(force.force[2] * gain)};
        };
    }

    // The law's thread: calls the law with each newest sample, with the interpreter lock.
    // What the law raises is kept as the servo's error and stops it.
    //
    // The same thread says once, as a RuntimeWarning, that the servo cannot hold its rate or
    // has lost the grip: the servo's own thread may not.
    void AsideLoop(LawAside& aside) {
        std::uint64_t seen = 0;
        auto told = std::chrono::steady_clock::now();
        while (!aside.quit.load()) {
            {
                // The servo wakes this thread without a lock of its own: a wake-up that slips
                // between the test and the wait is made up for by the next short one.
                std::unique_lock<std::mutex> lock(aside.wake_mutex);
                aside.waiting.store(true);
                aside.wake.wait_for(lock, std::chrono::milliseconds(2), [&] {
                    return aside.quit.load() || aside.posted.load() != seen;
                });
                aside.waiting.store(false);
            }
            if (aside.quit.load()) break;
            const auto now = std::chrono::steady_clock::now();
            if (now - told > std::chrono::milliseconds(50)) {
                told = now;
                if (!Tell(aside)) break;
            }
            if (aside.posted.load() == seen) continue;
            const LawAside::Post post = aside.post.load();
            seen = post.number;
            // An interpreter that is ending ends a thread that takes its lock.
            if (_Py_IsFinalizing()) break;
            py::gil_scoped_acquire locked;
            if (law_.is_none() || compiled_ != 0) continue;
            try {
                // brivane.Servo's wrapper returns None or 3 finite floats, or raises.
                const py::object result = law_(SampleRecord(post.sample));
                const Vec3 force = result.is_none() ? Vec3{} : Three(result);
                aside.force.store({force, post.sample.time});
            } catch (py::error_already_set& raised) {
                law_error_ = raised.value();
                aside.failed.store(true, std::memory_order_release);
                break;
            }
        }
    }

    // Warns of what the servo's statistics newly say; false when the interpreter is ending.
    bool Tell(LawAside& aside) {
        if (aside.servo == nullptr || (aside.warned_behind && aside.warned_grip)) return true;
        const H::ServoStatistics stats = aside.servo->statistics();
        std::string text;
        if (stats.behind && !aside.warned_behind) {
            aside.warned_behind = true;
            char rate[64];
            std::snprintf(rate, sizeof rate, "%g Hz; it renders at %.0f Hz", options_.rate,
                          stats.rate_hz);
            text = "the servo on " + Printable(port_) +
                   " cannot hold its rate: half the periods overran (the arm's answers late or "
                   "lost, or the machine late to run the servo) at " +
                   rate +
                   ". Lower the rate, allow it a real-time priority, or find what delays the "
                   "line";
        } else if (stats.grip_lost && !aside.warned_grip) {
            aside.warned_grip = true;
            text =
                "the servo's grip line was lost: its samples keep the grip's last orientation "
                "and hall level (flag grip_lost); plug the grip back in and reopen() it after "
                "stopping the servo";
        }
        if (text.empty()) return true;
        if (_Py_IsFinalizing()) return false;
        py::gil_scoped_acquire locked;
        if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) != 0) PyErr_Clear();
        return true;
    }

    const py::object arm_;   // keeps the arm while the servo may drive it
    const py::object grip_;  // and the grip it reads, or None
    const std::string port_;
    const py::object sample_class_;
    H::ServoOptions options_;
    std::mutex effects_mutex_;
    H::EffectSet effects_;
    py::object law_ = py::none();        // with the interpreter lock
    std::uintptr_t compiled_ = 0;        // a compiled law's address, with the lock; 0: none
    py::object law_error_ = py::none();  // set on the law's thread, with the interpreter lock
    // start() and stop(), one at a time; held while a run ends, never by a read.
    std::mutex lifecycle_;
    // The current run: taken for a moment by every call, never held while waiting.
    mutable std::mutex current_mutex_;
    std::shared_ptr<Run> run_;
    // The samples' reader; and what ended runs left untaken.
    std::mutex samples_mutex_;
    std::vector<H::Sample> carried_;
    std::uint64_t carried_dropped_ = 0;
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
    layout["flags"] = offsetof(H::Sample, flags);
    layout["grip_sequence"] = offsetof(H::Sample, grip_sequence);
    layout["grip_time"] = offsetof(H::Sample, grip_time);
    layout["energy"] = offsetof(H::Sample, energy);
    layout["damping"] = offsetof(H::Sample, damping);
    layout["proxy"] = offsetof(H::Sample, proxy);
    return layout;
}

}  // namespace

void RegisterServo(py::module_& m) {
    py::class_<Servo> servo(m, "Servo");
    servo.def(py::init<py::object, py::object, std::string, double, double, double, double, bool,
                       std::size_t, py::object, double, bool>());
    servo.def("start", &Servo::Start);
    servo.def("stop", &Servo::Stop);
    servo.def_property_readonly("running", &Servo::Running);
    servo.def_property_readonly("error", &Servo::Error);
    servo.def("set_effects", &Servo::SetEffects);
    servo.def("glide", &Servo::Glide);
    servo.def_property("law", &Servo::GetLaw, &Servo::SetLaw);
    servo.def("set_compiled_law", &Servo::SetCompiledLaw);
    servo.def("renew", &Servo::Renew);
    servo.def_property_readonly("epoch", &Servo::Epoch);
    servo.def_property_readonly("state", &Servo::State);
    servo.def("stats", &Servo::Stats);
    servo.def("take_samples", &Servo::TakeSamples);
    servo.def_property_readonly("rate", &Servo::Rate);
    servo.def_property_readonly("max_force", &Servo::MaxForce);
    servo.def_property_readonly("ramp", &Servo::Ramp);
    servo.def_property_readonly("spin", &Servo::Spin);
    servo.def_property("lease", &Servo::LeaseSeconds, &Servo::SetLease);
    m.def("sample_layout", &SampleLayout);
}

}  // namespace Brivane::HardwareAPI::Package
