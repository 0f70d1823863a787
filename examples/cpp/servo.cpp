// A servo loop on the Kalvar arm from C++, built against the installed library:
//   servo PORT [SECONDS]
// Wakes the arm, puts a wall 1 cm below where the end effector starts, and renders it at
// 1 kHz on the library's servo thread for SECONDS (2 by default). Then prints the loop's
// statistics and how it ended.
#include <BrivaneHardwareAPI/Kalvar.h>
#include <BrivaneHardwareAPI/SerialStream.h>
#include <BrivaneHardwareAPI/Servo.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace api = Brivane::HardwareAPI;
namespace haptics = Brivane::HardwareAPI::Haptics;

int main(int argc, char** argv) {
    const double seconds = argc == 3 ? std::strtod(argv[2], nullptr) : 2.0;
    if (argc < 2 || argc > 3 || !(seconds > 0.0)) {
        std::fprintf(stderr, "usage: %s PORT [SECONDS]\n", argv[0]);
        return 2;
    }
    api::IO::SerialStream stream(argv[1], true);
    if (stream.Fault() != 0) return 1;  // the library has printed why
    api::Devices::Kalvar arm(&stream, 5.0f);
    api::DeviceInfo info;
    const api::Deadline wake_limit = api::Deadline::After(1.0);
    if (!arm.identify(info, api::Devices::Limits::By(wake_limit)).answered()) {
        std::fprintf(stderr, "no arm answered on %s\n", argv[1]);
        return 1;
    }
    api::Devices::EndEffectorState state;
    if (!arm.force({0.0f, 0.0f, 0.0f}, state, api::Deadline::After(0.1)).answered()) {
        std::fprintf(stderr, "the arm did not tell where it is\n");
        return 1;
    }

    // The servo counts a late answer; a line on stderr for each would only slow it down.
    stream.SetErrorOutput(api::ErrorOutput::Quiet);

    haptics::Plane wall;
    wall.point = {state.position[0], state.position[1], state.position[2] - 0.01f};
    wall.normal = {0.0f, 0.0f, 1.0f};
    wall.stiffness = {500.0f, 500.0f, 500.0f};
    wall.damping = 2.0f;
    haptics::EffectSet effects;
    effects.add(wall);

    haptics::ServoOptions options;  // 1 kHz, at most 3 N, faded in over 0.5 s
    haptics::Servo servo(arm, options);
    servo.set_effects(effects);
    if (const int error = servo.start(); error != 0) {
        std::fprintf(stderr, "the servo did not start (error %d)\n", error);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const bool ran = servo.running();
    servo.stop();  // sends a zero force

    const haptics::ServoStatistics s = servo.statistics();
    std::printf("%llu periods at %.1f Hz: %llu overruns, %llu failures\n",
                static_cast<unsigned long long>(s.periods), s.rate_hz,
                static_cast<unsigned long long>(s.overruns),
                static_cast<unsigned long long>(s.failures));
    std::printf("period p50 %.0f us, p99 %.0f us, max %.0f us; lateness p99 %.0f us, max %.0f us\n",
                s.period_p50_us, s.period_p99_us, s.period_max_us, s.lateness_p99_us,
                s.lateness_max_us);
    const haptics::Sample last = servo.latest();
    std::printf("last at %.4f %.4f %.4f m, force %.3f %.3f %.3f N\n", last.position[0],
                last.position[1], last.position[2], last.force[0], last.force[1], last.force[2]);
    if (!ran) {
        const haptics::ServoStop stop = servo.stopped_by();
        std::fprintf(stderr, "the servo stopped early (kind %d, error %d) %s\n",
                     static_cast<int>(stop.kind), stop.error, stop.text.data());
        return 1;
    }
    return 0;
}
