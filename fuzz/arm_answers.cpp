// The arm's answers: the first byte picks an operation, the rest is what the arm sends.
#include <cstddef>
#include <cstdint>

#include "FuzzLine.h"
#include "devices/Kalvar.h"

using namespace Brivane::HardwareAPI;
using Devices::Vec3;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Fuzzing::FuzzLine& line = Fuzzing::FuzzLine::Get();
    line.Load(data + 1, size - 1);
    Devices::Kalvar arm(&line.stream(), Fuzzing::kTimeout);
    const Vec3 command{0.1f, -0.2f, 0.3f};
    Vec3 first{}, second{};
    switch (data[0] % 14) {
        case 0: arm.get_motor_currents(); break;
        case 1: arm.get_device_orientation(); break;
        case 2: arm.get_power_status(); break;
        case 3: arm.get_temperature(); break;
        case 4: arm.end_effector_force(command); break;
        case 5: arm.end_effector_position(command); break;
        case 6: arm.joint_torques(command); break;
        case 7: arm.joint_angles(command); break;
        case 8: arm.get_end_effector_position(true); break;
        case 9: arm.get_end_effector_position(false); break;
        case 10: arm.adjust_angles(command); break;
        case 11: arm.ReceiveState(first, second); break;
        case 12: arm.ReceiveJointState(first, second); break;
        case 13: arm.ReceiveCurrent(first); break;
    }
    return 0;
}
