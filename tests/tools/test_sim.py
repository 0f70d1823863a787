"""The device simulator, byte by byte on its pseudo-terminal, and through the module."""
import math
import os
import re
import pathlib
import select
import struct
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator, simulator_path  # noqa: E402

ARM_ID = bytes.fromhex("5b1d0d5e0a7c4b5a9c3e000000000001")


class Port:
    """The host's end of a simulated device's line, without the library."""

    def __init__(self, path):
        self.path = path
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)

    def read(self, n, timeout=2.0) -> bytes:
        data = b""
        while len(data) < n and select.select([self.fd], [], [], timeout)[0]:
            data += os.read(self.fd, n - len(data))
        return data

    def ask(self, request, n) -> bytes:
        os.write(self.fd, request)
        return self.read(n)

    def quiet(self, seconds=0.1) -> bytes:
        """Whatever arrives until the line stays quiet for `seconds`."""
        data = b""
        while select.select([self.fd], [], [], seconds)[0]:
            chunk = os.read(self.fd, 4096)
            if not chunk:
                break
            data += chunk
        return data

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
        self.fd = -1

    def reopen(self):
        self.close()
        self.fd = os.open(self.path, os.O_RDWR | os.O_NOCTTY)


@pytest.fixture
def start():
    """Starts simulators and opens their ports; stops and closes them all afterwards."""
    started = []

    def start_simulator(device, *options):
        simulator = Simulator(device, *options)
        port = Port(simulator.port)
        started.append((simulator, port))
        return port

    yield start_simulator
    for simulator, port in started:
        port.close()
        report = simulator.stop()
        assert simulator.process.returncode == 0 and report.startswith("brivane-sim: "), report


def state(code, *values) -> bytes:
    return bytes([code]) + struct.pack(f"<{len(values)}f", *values)


def test_arm_identity_answers(start):
    arm = start("arm")
    assert arm.ask(b"\x0a", 22) == bytes.fromhex("0b01000403 0e") + ARM_ID
    assert arm.ask(b"\x0d\xd1", 19) == bytes.fromhex("0dd110") + ARM_ID
    assert arm.ask(b"\x0d\xd2", 19) == bytes.fromhex("0dd210") + b"KALVAR-SIM-1.4\0\0"
    assert arm.ask(b"\x0c", 17) == state(0x0C, 0.0, 0.7071, 0.0, 0.7071)
    assert arm.ask(b"\xaa", 5) == state(0xAA, 30.0)
    assert arm.ask(b"\xab", 13) == state(0xAB, 0.0, 0.0, 0.0)
    assert arm.ask(b"\xac", 2) == b"\xac\x01"
    assert arm.quiet() == b""


def test_arm_serial_number_sets_the_identifiers(start):
    arm = start("arm", "--serial", 300)
    answer = arm.ask(b"\x0a", 22)
    assert answer[1:3] == b"\x2c\x01" and answer[-2:] == b"\x01\x2c"


def test_arm_rests_in_its_home_pose(start):
    arm = start("arm")
    rest = state(0x1B, 0.0, -45.0, 45.0, 0.0, 0.0, 0.0)
    assert arm.ask(state(0x1A, 0.0, 0.0, 0.0), 25) == rest
    assert arm.ask(state(0x1C, 0.0, -45.0, 45.0), 25) == rest
    answer = arm.ask(state(0x2A, 0.0, 0.0, 0.0), 25)
    assert answer[0] == 0x2B and struct.unpack("<3f", answer[13:]) == (0.0, 0.0, 0.0)


def test_arm_reads_commands_however_they_arrive(start):
    arm = start("arm")
    command = state(0x1A, 0.0, 0.0, 0.0)
    os.write(arm.fd, b"\x55" + command[:5])  # a stray byte, then half a command
    assert arm.quiet(0.05) == b""
    assert arm.ask(command[5:], 25)[0] == 0x1B
    os.write(arm.fd, b"\x0d\x77")  # an identifier it does not have
    assert arm.quiet(0.05) == b""
    assert arm.ask(b"\xac\xac", 4) == b"\xac\x01" * 2  # answers in order


def test_arm_stays_in_its_workspace(start):
    arm = start("arm")
    for torques in ([1.0, 1.0, -1.0], [-1.0, -1.0, 1.0], [0.0, 1.0, -1.0]):
        for _ in range(300):
            answer = struct.unpack("<6f", arm.ask(state(0x1A, *torques), 25)[1:])
        base, first, second = answer[:3]
        assert abs(base) <= 60.001 and abs(first + second) / 2 <= 70.001
        assert 19.999 <= second - first <= 170.001
        position = struct.unpack("<3f", arm.ask(state(0x2A, 0.0, 0.0, 0.0), 25)[1:13])
        assert all(math.isfinite(p) for p in position)


def test_arm_lets_go_when_the_host_stops_pushing(start):
    arm = start("arm")
    arm.ask(state(0x1A, 0.0, 0.001, 0.0), 25)  # held, it would turn the joint at 29°/s
    select.select([], [], [], 0.6)  # it lapses after 0.1 s, and damping stops the joint
    velocities = struct.unpack("<6f", arm.ask(state(0x1A, 0.0, 0.0, 0.0), 25)[1:])[3:]
    assert velocities == pytest.approx((0.0, 0.0, 0.0), abs=0.5)


@pytest.mark.parametrize("hand, force, moved", [
    ((), (0, 0, 0), (0, 0, 0)),  # no hand: the arm rests
    (("--hand", "push=0,0,-1"), (0, 0, 0), None),  # the hand pushes it down, to its limit
    (("--hand", "hold=200"), (0, 0, 1), (0, 0, 0.005)),  # 1 N against 200 N/m: 5 mm
    (("--hand", "hold=200"), (1, 0, 0), (0.005, 0, 0)),
])
def test_arm_is_moved_by_a_hand_on_request(start, hand, force, moved):
    arm = start("arm", *hand)
    command = state(0x2A, *force)
    before = struct.unpack("<6f", arm.ask(state(0x2A, 0.0, 0.0, 0.0), 25)[1:])[:3]
    for _ in range(400):  # about 0.4 s of a force loop: the hold settles
        answer = arm.ask(command, 25)
        select.select([], [], [], 0.001)
    after = struct.unpack("<6f", answer[1:])[:3]
    shift = [b - a for a, b in zip(before, after)]
    if moved is None:
        assert shift[2] < -0.001
    else:
        assert shift == pytest.approx(moved, abs=3e-4)


def test_arm_refuses_a_hand_it_cannot_have():
    for options in (("--hand", "push=1,2"), ("--hand", "hold=-5"), ("--device", "grip", "--hand",
                                                                        "push=0,0,1")):
        result = subprocess.run([simulator_path(), *options], capture_output=True, text=True,
                                timeout=10)
        assert result.returncode == 2 and "--hand" in result.stderr, options


def test_arm_ignores_commands_it_cannot_follow(start):
    arm = start("arm")
    arm.ask(state(0x2A, math.nan, math.inf, 0.0), 25)
    answer = struct.unpack("<6f", arm.ask(state(0x2A, 0.0, 0.0, 0.0), 25)[1:])
    assert all(math.isfinite(v) for v in answer)


def test_arm_motors_draw_current_and_warm_up(start):
    arm = start("arm")
    for _ in range(200):
        arm.ask(state(0x1A, 0.4, 0.0, 0.0), 25)
    currents = struct.unpack("<3f", arm.ask(b"\xab", 13)[1:])
    assert currents == pytest.approx((5.0, 0.0, 0.0))  # 0.4 N·m at 0.08 N·m per A
    assert struct.unpack("<f", arm.ask(b"\xaa", 5)[1:])[0] > 30.0


def test_arm_positions_are_the_host_kinematics(api):
    with Simulator("arm") as simulator:
        arm = api.Kalvar(api.SerialStream(simulator.port))
        try:
            for target in ([20.0, -30.0, 70.0], [0.0, -45.0, 45.0]):
                # The servo settles the joints on the target in about 0.1 s of its time,
                # however many exchanges fit into it.
                deadline = time.monotonic() + 5.0
                while time.monotonic() < deadline:
                    angles = arm.joint_angles(target)[0]
                    if max(abs(a - t) for a, t in zip(angles, target)) < 1e-3:
                        break
                assert angles == pytest.approx(target, abs=1e-3)
                arm.adjust_angles(angles)  # no offsets: the host computes what the arm does
                # Compared once the arm is still between the two readings: a slow machine
                # (the sanitizers') may find it still settling by a few micrometres.
                for _ in range(1000):
                    before = arm.get_end_effector_position(True)[0]
                    host = arm.get_end_effector_position(False)[0]
                    onboard = arm.get_end_effector_position(True)[0]
                    if max(abs(a - b) for a, b in zip(before, onboard)) < 1e-7:
                        break
                assert host == pytest.approx(onboard, abs=1e-5)
        finally:
            del arm
    # The offsets are the whole process's: leave them at zero, as found. A fresh arm rests
    # exactly in its home pose.
    with Simulator("arm") as simulator:
        api.Kalvar(api.SerialStream(simulator.port)).adjust_angles([0.0, -45.0, 45.0])


def test_arm_follows_forces_and_position_commands(api):
    with Simulator("arm") as simulator:
        arm = api.Kalvar(api.SerialStream(simulator.port))
        start, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        # On a slow machine the arm may reach its stop and rest there within the loop: it
        # must have moved up on the way.
        fastest = 0.0
        for _ in range(200):
            position, velocity = arm.end_effector_force([0.0, 0.0, 1.0])
            fastest = max(fastest, velocity[2])
        assert position[2] > start[2] and fastest > 0
        assert arm.get_motor_currents() != [0.0, 0.0, 0.0]

        target = [start[0] + 0.005, start[1], start[2]]
        for _ in range(20000):
            position, _ = arm.end_effector_position(target)
            if math.dist(position, target) < 1e-4:
                break
        assert position == pytest.approx(target, abs=1e-4)
        del arm


def test_grip_answers(start):
    grip = start("grip", "--rate", 0)
    assert grip.ask(b"\x0a", 7) == bytes.fromhex("d0 0100 64 02 01 09")
    status = grip.ask(b"\xda", 22)
    assert status[:4] == bytes.fromhex("da 0100 00") and status[-1] == 0
    assert math.hypot(*struct.unpack("<4f", status[5:21])) == pytest.approx(1.0)
    # The last handle state comes back as the status's user data.
    os.write(grip.fd, bytes.fromhex("db 0100 02 aabb"))
    assert grip.ask(b"\xda", 24)[-3:] == bytes.fromhex("02 aabb")
    os.write(grip.fd, bytes.fromhex("db 0000 01 07"))  # device 0: any grip
    assert grip.ask(b"\xda", 23)[-2:] == bytes.fromhex("01 07")
    # Errors: a handle state for another grip, a byte that is no command.
    assert grip.ask(bytes.fromhex("db 0700 00"), 4) == bytes.fromhex("df 0100 01")
    assert grip.ask(b"\x55", 4) == bytes.fromhex("df 0100 02")
    assert grip.quiet() == b""


def test_grip_streams_after_the_wake_up(start):
    grip = start("grip", "--rate", 1000, "--count", 5)
    assert grip.quiet(0.1) == b""
    received = grip.ask(b"\x0a", 7) + grip.quiet(0.2)
    assert received[:7] == bytes.fromhex("d0 0100 64 02 01 09")
    assert len(received) == 7 + 5 * 22 and received[7::22] == b"\xda" * 5


def test_grip_without_a_rate_answers_only_requests(start):
    grip = start("grip", "--rate", 0)
    assert grip.ask(b"\x0a", 7)[0] == 0xD0
    assert grip.quiet(0.2) == b""


def test_grip_drops_status_messages_nobody_reads():
    with Simulator("grip", "--rate", 100000, "--count", 20000) as simulator:
        port = Port(simulator.port)
        os.write(port.fd, b"\x0a")
        select.select([], [], [], 0.5)  # the whole stream, far more than the line holds
        port.close()
    counts = re.search(r"(\d+) messages sent \((\d+) streamed\), (\d+) dropped", simulator.report)
    sent, streamed, dropped = map(int, counts.groups())
    assert streamed == 20000 and 0 < dropped < streamed and sent == 1 + streamed - dropped


def test_grip_stuffed_status_block(start, api):
    grip = start("grip", "--rate", 0, "--status", "stuffed")
    frame = grip.ask(b"\xda", 20)
    assert frame[0] == 0xDA and frame[-1] == 0xC0 and grip.quiet() == b""

    with Simulator("grip", "--rate", 0, "--status", "stuffed", "--serial", 5) as simulator:
        handle = api.Handle(api.SerialStream(simulator.port))
        handle.RequestStatus()
        status = handle.GetStavrinStatus()
        assert status["error_flag"] == 0 and status["device_id"] == 5
        assert status["battery_level"] == pytest.approx(3.9)
        assert math.hypot(*status["quaternion"]) == pytest.approx(1.0, abs=1e-3)
        for _ in range(10):  # a stream of blocks, one after the other
            handle.RequestStatus()
            assert handle.GetStavrinStatus()["device_id"] == 5
        del handle


def test_grip_wrong_code(start):
    grip = start("grip", "--rate", 0, "--fault", "wrong-code")
    assert grip.ask(b"\x0a", 7) == bytes.fromhex("d1 0100 64 02 01 09")


@pytest.mark.parametrize("fault, answers", [
    ("silent", [b"", b"", b""]),
    ("wrong-code", [b"\xad\x01"] * 3),
    ("truncate", [b"\xac"] * 3),
    ("drop-every=2", [b"\xac\x01", b"", b"\xac\x01"]),
])
def test_fault_modes(start, fault, answers):
    arm = start("arm", "--fault", fault)
    received = []
    for _ in answers:
        os.write(arm.fd, b"\xac")
        received.append(arm.quiet(0.05))
    assert received == answers


def test_truncated_answer_is_half_a_message(start):
    arm = start("arm", "--fault", "truncate")
    os.write(arm.fd, b"\x0a")
    assert arm.quiet() == bytes.fromhex("0b01000403 0e") + ARM_ID[:5]


def test_latency_delays_the_answer(start):
    arm = start("arm", "--latency-us", 300000)
    os.write(arm.fd, b"\xac")
    assert arm.quiet(0.1) == b""
    assert arm.read(2) == b"\xac\x01"


def test_closing_the_port_powers_the_device_on_again(start):
    grip = start("grip", "--rate", 1000)
    assert grip.ask(b"\x0a", 7)[0] == 0xD0
    assert grip.read(22)[0] == 0xDA
    grip.close()  # status messages left unread
    select.select([], [], [], 0.1)  # the simulator learns of the close a moment later
    grip.reopen()
    assert grip.quiet(0.1) == b""  # asleep, and nothing stale
    assert grip.ask(b"\x0a", 7)[0] == 0xD0


def test_once_ends_when_the_port_is_closed():
    simulator = Simulator("arm", "--once")
    port = Port(simulator.port)
    assert port.ask(b"\xac", 2) == b"\xac\x01"
    port.close()
    assert simulator.process.wait(timeout=5) == 0
    assert "1 commands, 1 messages sent" in simulator.stop()


def test_options():
    help_text = subprocess.run([simulator_path(), "--help"], capture_output=True, text=True)
    assert help_text.returncode == 0 and "--fault" in help_text.stdout
    wrong = subprocess.run([simulator_path(), "--device", "kettle"], capture_output=True,
                           text=True)
    assert wrong.returncode == 2 and "--device is arm or grip" in wrong.stderr
