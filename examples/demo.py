#!/usr/bin/env python3
"""A tour of BrivaneHardwareAPI with a Kalvar arm and a Handle grip.

    demo.py                                   # simulated devices (brivane-sim)
    demo.py --arm /dev/ttyACM0 --grip /dev/ttyUSB0

A device without a port is simulated. The tour: the versions, opening the ports, wake-up
and identity, a force loop at the highest rate the link allows, the host's kinematics
beside the arm's own position, a calibration, and the grip's status messages through a
subclass's callbacks; then the same arm through the brivane package, with exceptions,
with-blocks and loop statistics. It ends with a summary table; the exit status is 0 when every
device answered as expected.
"""
import argparse
import math
import os
import sys
import time

from simulator import REPOSITORY, Simulator

try:
    import BrivaneHardwareAPI as api
except ImportError:  # not on PYTHONPATH: the module next to the default build
    sys.path.insert(0, str(REPOSITORY / "build" / "python"))
    import BrivaneHardwareAPI as api
import brivane  # noqa: E402  (beside the module)

HOME = [0.0, -45.0, 45.0]  # joint angles (degrees) of the arm's home pose
SPRING = 200.0  # N/m: the force loop pulls the arm along a small circle
DAMPING = 2.0  # N·s/m
RADIUS = 0.005  # m
MAX_FORCE = 3.0  # N per axis: a hand that holds the arm back is pushed gently, not hard


def section(title: str) -> None:
    print(f"\n== {title}")


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def fmt(vector, digits=4):
    return "[" + ", ".join(f"{v:+.{digits}f}" for v in vector) + "]"


def distance(a, b):
    return math.sqrt(sum((x - y) ** 2 for x, y in zip(a, b)))


class Grip(api.Handle):
    """A grip that keeps what its callbacks receive."""

    def __init__(self, stream):
        super().__init__(stream)
        self.info = None
        self.errors = []
        self.statuses = 0
        self.last_status = None

    def OnReceiveHandleInfo(self, tool_data_remaining, device_id, model, hardware, firmware):
        self.info = dict(device_id=device_id, model=model, hardware=hardware,
                         firmware=firmware, tool_data_remaining=tool_data_remaining)

    def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall_level,
                                     user_data_length, user_data):
        self.statuses += 1
        self.last_status = dict(device_id=device_id, quaternion=quaternion,
                                error_flag=error_flag, hall_level=hall_level,
                                user_data=user_data)

    def OnReceiveHandleErrorResponse(self, device_id, error_code):
        self.errors.append((device_id, error_code))


def open_port(name, port, simulators, *options):
    """The given port, or a simulated device's: (stream, label)."""
    if port is None:
        simulator = Simulator(name, *options)
        simulators.append(simulator)
        port, label = simulator.port, f"{simulator.port} (simulated)"
    else:
        if not os.path.exists(port):
            sys.exit(f"demo: no such port: {port}")
        label = port
    print(f"{name}: opening {label}")
    return api.SerialStream(port), label


def arm_tour(arm, seconds, summary, exchanges=None):
    section("Arm: wake-up and identity")
    info = arm.device_wakeup_dict()
    print(f"device info        {info}")
    if info["device_model_number"] != 4:
        print("no Kalvar answered (model number 4 expected)")
        return False
    print(f"device id          {arm.get_device_id()}")
    print(f"firmware           {arm.get_firmware_version()}")
    print(f"base orientation   {fmt(arm.get_device_orientation())}")
    print(f"temperature        {arm.get_temperature():.1f}")
    print(f"motor currents     {fmt(arm.get_motor_currents())}")
    print(f"powered            {arm.get_power_status()}")
    summary.append(("arm", f"id {info['device_id']}, model {info['device_model_number']}, "
                           f"hardware {info['hardware_version']}, "
                           f"firmware {info['firmware_version']}"))

    if exchanges is None:
        section(f"Arm: force loop for {seconds:g} s, as fast as the link allows")
    else:
        section(f"Arm: force loop of {exchanges} exchanges, as fast as the link allows")
    print(f"a spring of {SPRING:g} N/m pulls the arm along a circle of {RADIUS * 1e3:g} mm, "
          "once a second")
    anchor, _ = arm.end_effector_force([0.0, 0.0, 0.0])
    force = [0.0, 0.0, 0.0]
    latencies = []
    squared_error = 0.0
    clock = time.perf_counter_ns
    start = clock()
    end = start + int(seconds * 1e9)
    while True:
        before = clock()
        if before >= end if exchanges is None else len(latencies) >= exchanges:
            break
        position, velocity = arm.end_effector_force(force)
        latencies.append(clock() - before)
        # Counted, the circle is timed by the exchanges at a nominal 1 kHz: the same session
        # sends the same forces whatever the link's speed.
        elapsed_ns = before - start if exchanges is None else len(latencies) * 1e6
        turn = 2 * math.pi * elapsed_ns / 1e9
        target = [anchor[0] + RADIUS * math.sin(turn), anchor[1],
                  anchor[2] + RADIUS * (1 - math.cos(turn))]
        squared_error += distance(position, target) ** 2
        force = [max(-MAX_FORCE, min(MAX_FORCE, SPRING * (t - p) - DAMPING * v))
                 for t, p, v in zip(target, position, velocity)]
    elapsed = (clock() - start) / 1e9
    arm.end_effector_force([0.0, 0.0, 0.0])
    latencies.sort()
    rate = len(latencies) / elapsed
    p50, p90, p99 = (percentile(latencies, q) / 1e3 for q in (0.5, 0.9, 0.99))
    print(f"{len(latencies)} exchanges in {elapsed:.2f} s: {rate:,.0f} per second")
    print(f"latency µs         p50 {p50:.0f}, p90 {p90:.0f}, p99 {p99:.0f}, "
          f"max {latencies[-1] / 1e3:.0f}")
    print(f"tracking error     {math.sqrt(squared_error / len(latencies)) * 1e3:.2f} mm rms")
    summary.append(("force loop", f"{rate:,.0f} exchanges/s; latency p50 {p50:.0f} µs, "
                                  f"p99 {p99:.0f} µs"))

    section("Arm: the host's kinematics beside the arm's own position")
    time.sleep(0.3)  # let go, and let the arm come to rest
    angles, _ = arm.joint_torques([0.0, 0.0, 0.0])
    onboard, _ = arm.get_end_effector_position(True)
    host, _ = arm.get_end_effector_position(False)
    print(f"joint angles       {fmt(angles, 2)} degrees")
    print(f"arm's position     {fmt(onboard)} m")
    print(f"host's position    {fmt(host)} m   "
          f"(difference {distance(host, onboard) * 1e6:.1f} µm)")

    section("Arm: calibration in the home pose")
    print(f"driving the joints to the home pose {fmt(HOME, 1)} degrees")
    deadline = time.monotonic() + 0.5
    steps = 0
    while (time.monotonic() < deadline if exchanges is None else steps < exchanges):
        angles, _ = arm.joint_angles(HOME)
        steps += 1
    arm.adjust_angles(HOME)
    offsets = [m - h for m, h in zip(angles, HOME)]
    onboard, _ = arm.get_end_effector_position(True)
    host, _ = arm.get_end_effector_position(False)
    print(f"measured angles    {fmt(angles, 3)} degrees")
    print("adjust_angles(HOME): the host now takes those angles for the home pose")
    print(f"arm's position     {fmt(onboard)} m")
    print(f"host's position    {fmt(host)} m   "
          f"(difference {distance(host, onboard) * 1e6:.1f} µm)")
    summary.append(("host vs arm position", f"{distance(host, onboard) * 1e6:.1f} µm after "
                                            f"calibration (offsets {fmt(offsets, 3)} degrees)"))
    return True


def grip_tour(grip, seconds, summary, simulated):
    section("Grip: wake-up, handle state and status messages through callbacks")
    grip.SendDeviceWakeup()
    for _ in range(50):  # the information message, maybe after some status messages
        if grip.Receive() < 0 or grip.info is not None:
            break
    if grip.info is None:
        print("no Handle answered the wake-up")
        return False
    print(f"handle information {grip.info}")

    device_id = grip.info["device_id"]
    grip.SendHandleState(device_id, 1, 42)
    print(f"SendHandleState({device_id}, 1, 42): user data [42]")
    grip.RequestStatus()
    grip.statuses = 0
    start = time.perf_counter()
    while time.perf_counter() - start < seconds:
        if grip.Receive() < 0:
            break
    elapsed = time.perf_counter() - start
    status = grip.last_status
    if status is None:
        print("no status message arrived")
        return False
    print(f"{grip.statuses} status messages in {elapsed:.2f} s "
          f"({grip.statuses / elapsed:,.0f} per second)")
    print(f"last status        device {status['device_id']}, quaternion "
          f"{fmt(status['quaternion'], 3)}, hall level {status['hall_level']}, "
          f"user data {status['user_data']}")
    if grip.errors:
        print(f"error responses    {grip.errors}")
    summary.append(("grip", f"id {device_id}, model {grip.info['model']}, "
                            f"firmware {grip.info['firmware']}"))
    summary.append(("grip status", f"{grip.statuses / elapsed:,.0f} messages/s through "
                                   f"OnReceiveHandleStatusMessage; user data "
                                   f"{status['user_data']}"))
    # A simulated grip echoes the handle state; a real one may use its user data otherwise.
    return status["user_data"][:1] == [42] or not simulated


def brivane_tour(seconds, summary):
    """The brivane package on two simulated arms of its own, whatever ports the tour had:
    both found at once, a force loop in a with block, and a lost line caught."""
    section("brivane: two simulated arms found at once, a force loop, a lost line")
    simulators = [Simulator("arm", "--serial", n) for n in (1, 2)]
    try:
        ports = [simulator.port for simulator in simulators]
        started = time.monotonic()
        found = brivane.find_arms(ports)
        print(f"find_arms: {len(found)} of {len(ports)} ports answered in "
              f"{(time.monotonic() - started) * 1000:.0f} ms")
        for item in found:
            print(f"  {item.port.device}: device {item.identity.device_id}, "
                  f"model {item.identity.model}, uuid {item.identity.uuid}")
        with brivane.Arm(ports[0]) as arm:
            until = time.monotonic() + seconds / 2
            while time.monotonic() < until:
                arm.force([0.0, 0.0, 0.0])
            print(f"force loop: {arm.stats}")
            summary.append(("brivane force loop", f"{arm.stats.rate_hz:,.0f} Hz; p99 "
                                                  f"{arm.stats.p99_us:.0f} µs"))
            simulators[0].stop()  # as pulling the arm's cable does
            try:
                while True:
                    arm.force([0.0, 0.0, 0.0])
            except brivane.LineLost as lost:
                print(f"the simulator stopped under the loop: {type(lost).__name__}: {lost}")
                summary.append(("brivane", f"{len(found)} arms found; LineLost caught, "
                                           f"errno {lost.errno}"))
        return len(found) == 2
    finally:
        for simulator in simulators:
            simulator.stop()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arm", metavar="PORT", help="the arm's port (default: simulated)")
    parser.add_argument("--grip", metavar="PORT", help="the grip's port (default: simulated)")
    parser.add_argument("--seconds", type=float, default=1.0,
                        help="length of the force loop and of the grip's stream (default 1)")
    parser.add_argument("--exchanges", type=int, metavar="N",
                        help="a force loop and a calibration of N exchanges each instead of "
                             "timed ones, so that the arm's session repeats exactly (to "
                             "record it and replay it)")
    args = parser.parse_args()

    section("Library")
    print(f"get_cpp_version()  {api.get_cpp_version()}")
    print(f"module __version__ {api.__version__}")
    sys.stdout.flush()  # the library prints through its own stdout buffer
    api.print_cpp_version()
    summary = [("library", f"{api.get_cpp_version()} (module {api.__version__})")]

    simulators = []
    try:
        section("Ports")
        arm_stream, arm_label = open_port("arm", args.arm, simulators)
        grip_stream, grip_label = open_port("grip", args.grip, simulators, "--rate", 1000)
        summary.append(("ports", f"arm {arm_label}, grip {grip_label}"))

        arm = api.Kalvar(arm_stream)
        arm_ok = arm_tour(arm, args.seconds, summary, args.exchanges)
        grip = Grip(grip_stream)
        grip_ok = grip_tour(grip, args.seconds, summary, simulated=args.grip is None)
        del arm, grip, arm_stream, grip_stream  # closes the ports
        brivane_ok = brivane_tour(args.seconds, summary)
    finally:
        for simulator in simulators:
            simulator.stop()

    section("Summary")
    width = max(len(name) for name, _ in summary)
    for name, value in summary:
        print(f"  {name:<{width}}  {value}")
    ok = arm_ok and grip_ok and brivane_ok
    print("\nall devices answered as expected" if ok
          else "\nsome device did not answer as expected")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
