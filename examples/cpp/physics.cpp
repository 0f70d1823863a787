// The Kalvar arm in a MuJoCo scene, built against the installed library and MuJoCo:
//   physics PORT [SECONDS]
// A table with two boxes on it, and the arm's tool, a small sphere, floating beside one. The
// tool is a free body of the scene, tied to the arm's end effector by a virtual coupling: a
// spring-damper that the servo renders on the arm at 1 kHz, while the engine steps the
// scene at 500 Hz on a thread of its own and applies the same force to the tool the other
// way round. Push the arm out along its z axis (the scene's x) and the tool pushes the box
// across the table until it stops against the other, heavy enough not to give: then the arm
// stops too, held by the coupling's spring. After SECONDS (3 by default) or at Ctrl-C it
// prints the servo's statistics, the engine's, how far the box went and what held the arm
// at the end.
//
// Against the simulator, whose hand pushes the arm out along its z with 1.5 N, as slowly as
// the hand's own damping (30 N·s/m) lets it, so that the arm is still near its rest when the
// example starts:
//   build/brivane-sim --device arm --hand push=0,0,1.5 --hand hold=0,30 &   # prints its port
//   build-example/physics /dev/pts/N 3
// The box moves 0.03 m and stops against the other; the arm ends held with the hand's 1.5 N.
//
// The two threads never wait for each other. The engine publishes the tool's position and
// velocity after each step through a sequence lock that the servo's law reads without
// retrying (a read that overlaps a store keeps the tool's state of the step before); the
// engine reads back the forces the servo sent the arm from the servo's own record of its
// periods, of which it is the one reader.
#include <BrivaneHardwareAPI/Kalvar.h>
#include <BrivaneHardwareAPI/SerialStream.h>
#include <BrivaneHardwareAPI/Servo.h>
#include <mujoco/mujoco.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace api = Brivane::HardwareAPI;
namespace haptics = Brivane::HardwareAPI::Haptics;
using Clock = std::chrono::steady_clock;

namespace {

using Vec3d = std::array<double, 3>;

// The arm's workspace in the scene: each arm metre is two scene metres, the end effector's
// position at the start is the tool's home, and the arm's axes are turned onto the scene's:
// its z, along which it reaches out in a straight line, is the scene's x, across the table;
// its x, which its base sweeps, the scene's y; its y the scene's z, up. A scene force F on
// the tool's point is 2 F on the arm, so that the coupling's power is the same on both
// sides: a scale that only stretched positions would make energy out of nothing.
constexpr double kScale = 2.0;
constexpr Vec3d kHome = {-0.045, 0.0, 0.025};  // 5 mm behind the box, at its mid-height

// The arm's axis along the scene's axis i.
constexpr std::size_t ArmAxis(std::size_t i) {
    return (i + 2) % 3;
}

// The coupling, in scene units. On the arm it is kScale² stiffer and damps kScale² more
// (400 N/m, 4 N·s/m), well within what 1 kHz renders stably against the hand; and the
// 0.1 kg tool it pulls around at 500 Hz rings at 5 Hz, far below the engine's rate.
constexpr double kStiffness = 100.0;  // N/m
constexpr double kDamping = 1.0;      // N·s/m

// The engine's steps per second; the scene's timestep is set to one step.
constexpr double kEngineRate = 500.0;

// Metres and kilograms, z up; the table's top is at z = 0, the tool starts at kHome.
// Contacts: the boxes touch the table and each other (contype and conaffinity 1 and 2), the
// tool only the boxes (2), so that it floats over the table as the arm holds it.
constexpr char kScene[] = R"(<mujoco model="table">
  <option gravity="0 0 -9.81"/>
  <worldbody>
    <geom name="table" type="box" size="0.3 0.2 0.02" pos="0.05 0 -0.02" friction="0.3"
          contype="1" conaffinity="1"/>
    <body name="box" pos="0 0 0.025">
      <joint type="free"/>
      <geom name="box" type="box" size="0.025 0.025 0.025" mass="0.1" friction="0.3"
            contype="3" conaffinity="3"/>
    </body>
    <body name="other" pos="0.095 0 0.04">
      <joint type="free"/>
      <geom name="other" type="box" size="0.04 0.06 0.04" mass="2" friction="0.3"
            contype="3" conaffinity="3"/>
    </body>
    <body name="tool">
      <joint type="free"/>
      <geom name="tool" type="sphere" size="0.015" mass="0.1" contype="2" conaffinity="2"/>
    </body>
  </worldbody>
</mujoco>
)";

struct BodyState {
    Vec3d position{};
    Vec3d velocity{};
};

// What the servo's law needs: where the arm started, and the tool as the engine last left it.
struct Coupling {
    haptics::Vec3 start{};
    haptics::SeqLock<BodyState> published;  // read with try_load: the law never waits
    BodyState tool;                         // the servo thread's own copy
};

// The force on the arm: the spring-damper between the arm's point in the scene and the tool,
// turned and scaled back to the arm.
haptics::Vec3 CouplingForce(Coupling& coupling, const haptics::Sample& sample) {
    coupling.published.try_load(coupling.tool);
    haptics::Vec3 force{};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::size_t a = ArmAxis(i);
        const double point = kHome[i] + kScale * (sample.position[a] - coupling.start[a]);
        const double speed = kScale * sample.velocity[a];
        const double on_tool = kStiffness * (point - coupling.tool.position[i]) +
                               kDamping * (speed - coupling.tool.velocity[i]);
        force[a] = static_cast<float>(-kScale * on_tool);
    }
    return force;
}

struct ModelDeleter {
    void operator()(mjModel* model) const { mj_deleteModel(model); }
};
struct DataDeleter {
    void operator()(mjData* data) const { mj_deleteData(data); }
};

// The scene, loaded from kScene through MuJoCo's virtual file system.
std::unique_ptr<mjModel, ModelDeleter> LoadScene() {
    const auto files = std::make_unique<mjVFS>();  // large: 2000 names of 1000 characters
    mj_defaultVFS(files.get());
    const int size = static_cast<int>(std::strlen(kScene));
    if (mj_makeEmptyFileVFS(files.get(), "scene.xml", size) != 0)
        throw std::runtime_error("MuJoCo could not make the scene's file");
    std::memcpy(files->filedata[mj_findFileVFS(files.get(), "scene.xml")], kScene, size);
    char error[1000] = "";
    std::unique_ptr<mjModel, ModelDeleter> model(
        mj_loadXML("scene.xml", files.get(), error, sizeof error));
    mj_deleteVFS(files.get());
    if (!model) throw std::runtime_error(std::string("MuJoCo refused the scene: ") + error);
    model->opt.timestep = 1.0 / kEngineRate;
    return model;
}

// A free body's place in the model's arrays.
struct FreeBody {
    int body = -1;
    int qpos = -1;      // its position (3), then its orientation
    int qvel = -1;      // its linear velocity (3), then its angular one
    double half = 0.0;  // its geom's half size along x

    FreeBody(const mjModel* model, const char* name) {
        body = mj_name2id(model, mjOBJ_BODY, name);
        const int geom = mj_name2id(model, mjOBJ_GEOM, name);
        if (body < 0 || geom < 0) throw std::runtime_error(std::string("no body ") + name);
        qpos = model->jnt_qposadr[model->body_jntadr[body]];
        qvel = model->jnt_dofadr[model->body_jntadr[body]];
        half = model->geom_size[3 * geom];
    }
    double x(const mjData* data) const { return data->qpos[qpos]; }
};

// The loaded scene, its bodies found, the tool at its home.
struct Scene {
    std::unique_ptr<mjModel, ModelDeleter> model = LoadScene();
    std::unique_ptr<mjData, DataDeleter> data{mj_makeData(model.get())};
    FreeBody tool{model.get(), "tool"};
    FreeBody box{model.get(), "box"};
    FreeBody other{model.get(), "other"};

    Scene() {
        if (!data) throw std::runtime_error("MuJoCo could not make the scene's data");
        for (std::size_t i = 0; i < 3; ++i) data->qpos[tool.qpos + i] = kHome[i];
    }
};

// What the engine did, for the report; the engine's thread writes it, main reads it after
// the join.
struct EngineReport {
    std::uint64_t steps = 0;
    std::uint64_t late = 0;  // steps that ended past the next one's deadline
    double seconds = 0.0;
    double step_total_us = 0.0;  // in mj_step
    double step_max_us = 0.0;
    double box_start = 0.0;  // the boxes' x; the gap between them; the box's speed
    double box_end = 0.0;
    double other_start = 0.0;
    double other_end = 0.0;
    double gap_end = 0.0;
    double box_speed_end = 0.0;
};

// Steps the scene to absolute deadlines until `stop`. Before each step it applies to the
// tool the mean of the forces the servo sent the arm since the step before, the other way
// round and scaled to the scene, and holds up the tool's weight; after it, it publishes
// the tool's state for the servo's law.
void RunEngine(Scene& scene, haptics::Servo& servo, Coupling& coupling,
               const std::atomic<bool>& stop, EngineReport& report) {
    const mjModel* model = scene.model.get();
    mjData* data = scene.data.get();
    const FreeBody& tool = scene.tool;
    const FreeBody& box = scene.box;
    const FreeBody& other = scene.other;
    report.box_start = box.x(data);
    report.other_start = other.x(data);
    const double weight = -model->body_mass[tool.body] * model->opt.gravity[2];

    std::array<haptics::Sample, 64> taken;
    Vec3d arm_force{};  // kept through a step that finds no new period
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / kEngineRate));
    const Clock::time_point began = Clock::now();
    Clock::time_point deadline = began;
    while (!stop.load(std::memory_order_relaxed)) {
        Vec3d sum{};
        std::size_t count = 0;
        for (;;) {
            const haptics::SampleRing::Taken got = servo.samples().take(taken.data(), taken.size());
            for (std::size_t k = 0; k < got.count; ++k) {
                for (std::size_t i = 0; i < 3; ++i) sum[i] += taken[k].force[i];
            }
            count += got.count;
            if (got.count < taken.size()) break;
        }
        if (count > 0) {
            for (std::size_t i = 0; i < 3; ++i) arm_force[i] = sum[i] / count;
        }
        mjtNum* applied = data->xfrc_applied + 6 * tool.body;  // force (3), then torque
        for (std::size_t i = 0; i < 3; ++i) applied[i] = -arm_force[ArmAxis(i)] / kScale;
        applied[2] += weight;

        const Clock::time_point step_began = Clock::now();
        mj_step(model, data);
        const double step_us =
            std::chrono::duration<double, std::micro>(Clock::now() - step_began).count();
        report.step_total_us += step_us;
        if (step_us > report.step_max_us) report.step_max_us = step_us;
        ++report.steps;

        BodyState state;
        for (std::size_t i = 0; i < 3; ++i) {
            state.position[i] = data->qpos[tool.qpos + i];
            state.velocity[i] = data->qvel[tool.qvel + i];
        }
        coupling.published.store(state);

        deadline += period;
        const Clock::time_point now = Clock::now();
        if (now > deadline) {
            ++report.late;
            deadline = now;  // one late step, never a burst to catch up
        } else {
            std::this_thread::sleep_until(deadline);
        }
    }
    report.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    report.box_end = box.x(data);
    report.other_end = other.x(data);
    report.gap_end = (other.x(data) - other.half) - (box.x(data) + box.half);
    report.box_speed_end = data->qvel[box.qvel];
}

// The engine's thread, stopped and joined whichever way main ends.
class EngineThread {
  public:
    EngineThread(Scene& scene, haptics::Servo& servo, Coupling& coupling)
        : thread_([this, &scene, &servo, &coupling] {
              RunEngine(scene, servo, coupling, stop_, report_);
          }) {}
    ~EngineThread() { join(); }
    EngineThread(const EngineThread&) = delete;
    EngineThread& operator=(const EngineThread&) = delete;

    const EngineReport& join() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
        return report_;
    }

  private:
    std::atomic<bool> stop_{false};
    EngineReport report_;
    std::thread thread_;  // last: it starts once the rest is made
};

std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) {
    interrupted.store(true);
}

int Run(const char* port, double seconds) {
    api::IO::SerialStream stream(port, true);
    if (stream.Fault() != 0) return 1;  // the library has printed why
    api::Devices::Kalvar arm(&stream, 5.0f);
    api::DeviceInfo info;
    const api::Deadline wake_limit = api::Deadline::After(1.0);
    if (!arm.identify(info, api::Devices::Limits::By(wake_limit)).answered()) {
        std::fprintf(stderr, "no arm answered on %s\n", port);
        return 1;
    }
    api::Devices::EndEffectorState state;
    if (!arm.force({0.0f, 0.0f, 0.0f}, state, api::Deadline::After(0.1)).answered()) {
        std::fprintf(stderr, "the arm did not tell where it is\n");
        return 1;
    }
    // The servo counts a late answer; a line on stderr for each would only slow it down.
    stream.SetErrorOutput(api::ErrorOutput::Quiet);

    Scene scene;
    Coupling coupling;
    coupling.start = state.position;
    BodyState home;
    home.position = kHome;
    coupling.published.store(home);

    haptics::ServoOptions options;  // 1 kHz
    options.max_force = 3.0;        // 1.5 N on the tool
    // The coupling starts at rest, the tool where the arm is: nothing to fade in, and a ramp
    // would let the hand run ahead of the tool meanwhile.
    options.ramp = 0.0;
    haptics::Servo servo(arm, options);
    servo.set_law(
        [&coupling](const haptics::Sample& sample) { return CouplingForce(coupling, sample); });
    EngineThread engine(scene, servo, coupling);  // after the servo: joined before it
    if (const int error = servo.start(); error != 0) {
        std::fprintf(stderr, "the servo did not start (error %d)\n", error);
        return 1;
    }
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    while (Clock::now() < end && servo.running() && !interrupted.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const bool ran = servo.running();
    const haptics::Sample held = servo.latest();
    servo.stop();  // sends a zero force
    const EngineReport& report = engine.join();

    const haptics::ServoStatistics s = servo.statistics();
    std::printf("servo: %llu periods at %.1f Hz: %llu overruns, %llu failures\n",
                static_cast<unsigned long long>(s.periods), s.rate_hz,
                static_cast<unsigned long long>(s.overruns),
                static_cast<unsigned long long>(s.failures));
    std::printf(
        "servo period p50 %.0f us, p99 %.0f us, max %.0f us; lateness p99 %.0f us, "
        "max %.0f us\n",
        s.period_p50_us, s.period_p99_us, s.period_max_us, s.lateness_p99_us, s.lateness_max_us);
    const double step_us = report.step_total_us / static_cast<double>(report.steps);
    std::printf(
        "engine: MuJoCo %s, %llu steps at %.1f Hz of %.0f asked, %llu late; a step "
        "takes %.1f us on average (%.0f steps a second, stepping alone), %.0f us at "
        "most\n",
        mj_versionString(), static_cast<unsigned long long>(report.steps),
        report.steps / report.seconds, kEngineRate, static_cast<unsigned long long>(report.late),
        step_us, 1e6 / step_us, report.step_max_us);
    const double moved = report.box_end - report.box_start;
    // Stopped against it: within a millimetre of it (contacts are soft), and still.
    if (report.gap_end < 0.001 && std::abs(report.box_speed_end) < 0.01) {
        std::printf(
            "box moved %.3f m, stopped against the other at x=%.3f m (the other moved "
            "%.3f m)\n",
            moved, report.box_end, report.other_end - report.other_start);
    } else {
        std::printf("box moved %.3f m, %.3f m short of the other, at %.3f m/s\n", moved,
                    report.gap_end, report.box_speed_end);
    }
    std::printf("arm at %.4f %.4f %.4f m, held with %.3f %.3f %.3f N\n", held.position[0],
                held.position[1], held.position[2], held.force[0], held.force[1], held.force[2]);
    if (!ran && !interrupted.load()) {
        const haptics::ServoStop stop = servo.stopped_by();
        std::fprintf(stderr, "the servo stopped early (kind %d, error %d) %s\n",
                     static_cast<int>(stop.kind), stop.error, stop.text.data());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc == 3 ? std::strtod(argv[2], nullptr) : 3.0;
    if (argc < 2 || argc > 3 || !(seconds > 0.0)) {
        std::fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, OnInterrupt);  // ends the run as its time would
    try {
        return Run(argv[1], seconds);
    } catch (const std::exception& error) {  // the servo and the engine stopped on the way out
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
