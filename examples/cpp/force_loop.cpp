// A force loop on the Kalvar arm from C++, built against the installed library:
//   force_loop PORT [EXCHANGES]
// Wakes the arm, holds it where it starts with a spring for EXCHANGES force exchanges
// (1000 by default), then prints the rate, the median and 99th percentile of one exchange's
// time, the exchanges that got no answer in time, and where the host's kinematics puts the
// end effector. Each exchange has 20 ms and says how it ended: a late answer costs that
// period its update, a lost line ends the loop.
#include <BrivaneHardwareAPI/Deadline.h>
#include <BrivaneHardwareAPI/Kalvar.h>
#include <BrivaneHardwareAPI/SerialStream.h>
#include <BrivaneHardwareAPI/Version.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace api = Brivane::HardwareAPI;
using Clock = std::chrono::steady_clock;

namespace {

// The nearest-rank percentile of sorted times.
double Percentile(const std::vector<double>& sorted, double percent) {
    const auto rank = static_cast<std::size_t>(std::ceil(percent / 100.0 * sorted.size()));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

int main(int argc, char** argv) {
    const long exchanges = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 1000;
    if (argc < 2 || argc > 3 || exchanges < 1) {
        std::fprintf(stderr, "usage: %s PORT [EXCHANGES]\n", argv[0]);
        return 2;
    }
    std::printf("BrivaneHardwareAPI %s\n", api::GetLibraryVersion());

    // The device uses the stream but does not own it: the stream outlives the arm here.
    api::IO::SerialStream stream(argv[1], true);
    if (stream.Fault() != 0) return 1;  // the library has printed why
    api::Devices::Kalvar arm(&stream, 5.0f);

    api::DeviceInfo info;
    const api::Deadline wake_limit = api::Deadline::After(1.0);
    if (!arm.identify(info, api::Devices::Limits::By(wake_limit)).answered()) {
        std::fprintf(stderr, "no arm answered on %s\n", argv[1]);
        return 1;
    }
    std::printf("arm %u, model %u, hardware %u, firmware %u\n", info.device_id,
                info.device_model_number, info.hardware_version, info.firmware_version);

    // A spring to where the arm is now, with some damping, held below 3 N.
    const api::Devices::Vec3 anchor = arm.end_effector_force({0.0f, 0.0f, 0.0f}).first;
    api::Devices::Vec3 force{};
    std::vector<double> times;  // microseconds
    times.reserve(static_cast<std::size_t>(exchanges));
    long unanswered = 0;
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < exchanges; ++i) {
        const Clock::time_point sent = Clock::now();
        api::Devices::EndEffectorState state;
        const api::Devices::Outcome outcome = arm.force(force, state, api::Deadline::After(0.02));
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        using Kind = api::Devices::Outcome::Kind;
        if (outcome.kind == Kind::LineLost) {
            std::fprintf(stderr, "the line was lost (error %d)\n", outcome.error);
            return 1;
        }
        if (outcome.kind != Kind::Answered) {  // no answer in time, or a wrong one
            ++unanswered;
            force = {};
            continue;
        }
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const float pull =
                200.0f * (anchor[axis] - state.position[axis]) - 2.0f * state.velocity[axis];
            force[axis] = std::clamp(pull, -3.0f, 3.0f);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    arm.end_effector_force({0.0f, 0.0f, 0.0f});

    std::sort(times.begin(), times.end());
    std::printf(
        "%ld exchanges in %.3f s: %.0f per second, p50 %.0f us, p99 %.0f us, %ld "
        "unanswered\n",
        exchanges, seconds, exchanges / seconds, Percentile(times, 50), Percentile(times, 99),
        unanswered);

    const api::Devices::Vec3 position = arm.get_end_effector_position(false).first;
    std::printf("end effector at %.4f %.4f %.4f m (host kinematics)\n", position[0], position[1],
                position[2]);
    return 0;
}
