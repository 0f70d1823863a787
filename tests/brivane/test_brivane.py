"""The brivane package, against the simulator and pseudo-terminal devices that fail."""
import errno
import math
import pathlib
import os
import signal
import struct
import subprocess
import sys
import threading
import time
import uuid

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")

WAKE_ANSWER = b"\x0b" + struct.pack("<HBBB", 7, 4, 3, 14) + bytes(range(16))
INFO = bytes([0xD0, 0x2C, 0x01, 0x05, 0x06, 0x07, 0x08])


def state_answer(*values):
    return b"\x2b" + struct.pack("<6f", *values)


def woken_arm(device, **options):
    device.respond(1, WAKE_ANSWER)
    arm = brivane.Arm(device.path, **options)
    assert device.join() == b"\x0a"
    return arm


@pytest.fixture
def sim():
    started = []

    def start(device="arm", *options):
        simulator = Simulator(device, *options)
        started.append(simulator)
        return simulator

    yield start
    for simulator in started:
        simulator.stop()


def test_arm_calls_and_records(sim):
    simulator = sim("arm")
    with brivane.Arm(simulator.port) as arm:
        assert arm.identity == brivane.Identity(1, 4, 3, 14, uuid.UUID(
            "5b1d0d5e-0a7c-4b5a-9c3e-000000000001"))
        state = arm.force([0.0, 0.0, 0.0])
        assert isinstance(state, brivane.State) and len(state.position) == 3
        assert isinstance(arm.torques((0, 0, 0)), brivane.JointState)
        assert arm.temperature() > 0 and arm.powered() is True
        assert len(arm.currents()) == 3 and len(arm.orientation()) == 4
        assert isinstance(arm.firmware_id(), uuid.UUID)
        assert arm.stats.exchanges == 7 and arm.stats.failures == 0
        arm.stats.reset()
        assert arm.stats.snapshot() == brivane.Stats(0, 0, 0.0, 0.0, 0.0, 0.0)
    assert arm.closed
    with pytest.raises(ValueError, match="closed"):
        arm.temperature()
    with brivane.Arm(simulator.port):  # the with block let the port go
        pass


@pytest.mark.parametrize("fault, raised, attribute", [
    ("drop-every=2", brivane.NoAnswer, None),
    ("wrong-code", brivane.WrongDevice, None),
    ("stop", brivane.LineLost, ("errno", errno.EIO)),
])
def test_each_fault_raises_its_error_and_the_arm_recovers(sim, fault, raised, attribute):
    simulator = sim("arm", *([] if fault == "stop" else ["--fault", fault]))
    if raised is brivane.WrongDevice:
        with pytest.raises(raised, match=simulator.port):
            brivane.Arm(simulator.port, timeout=0.2)
        return
    arm = brivane.Arm(simulator.port, timeout=0.2)
    if fault == "stop":
        simulator.stop()
    with pytest.raises(raised) as error:
        arm.force([0, 0, 0])
    assert error.value.port == simulator.port and error.value.operation == "force"
    if attribute:
        assert getattr(error.value, attribute[0]) == attribute[1]
        assert isinstance(error.value, OSError)
        started = time.monotonic()
        with pytest.raises(raised):  # at once, until reopen()
            arm.force([0, 0, 0])
        assert time.monotonic() - started < 0.05
    failures = 1
    if not attribute:
        assert isinstance(error.value, TimeoutError)
        # The dropped answer is owed: calls send nothing until the line has stayed quiet for
        # ten time-outs (a late answer would land meanwhile), then the next answer is read.
        until = time.monotonic() + 5.0
        while True:
            try:
                arm.force([0, 0, 0])
                break
            except brivane.NoAnswer:
                failures += 1
                assert time.monotonic() < until, "not recovered"
    assert arm.stats.failures == failures


def test_port_errors_say_why(tmp_path):
    file = tmp_path / "log"
    file.write_bytes(b"x")
    for port, number in [("/dev/brivane-nothing", errno.ENOENT), (str(file), errno.ENOTTY)]:
        with pytest.raises(brivane.PortError) as error:
            brivane.Arm(port)
        assert error.value.errno == number and port in str(error.value)
    assert file.read_bytes() == b"x"


def test_a_bad_answer_keeps_its_bytes_and_a_late_rest_is_dropped(device):
    arm = woken_arm(device, timeout=0.1)
    device.respond(13, b"\x55\x01\x02")
    with pytest.raises(brivane.BadAnswer) as error:
        arm.force([0, 0, 1])
    assert error.value.received == b"\x55\x01\x02"
    answer = state_answer(1, 2, 3, 4, 5, 6)
    device.respond(13, answer[:9])
    with pytest.raises(brivane.NoAnswer):
        arm.force([0, 0, 1])
    device.join()
    device.send(answer[9:])
    time.sleep(0.02)
    device.respond(13, state_answer(7, 8, 9, 1, 1, 1))
    assert arm.force([0, 0, 1]).position == (7, 8, 9)


def test_the_time_out_is_kept_and_checked(device):
    arm = woken_arm(device, timeout=0.05)
    started = time.monotonic()
    with pytest.raises(brivane.NoAnswer, match="50 ms"):
        arm.temperature()
    assert 0.05 <= time.monotonic() - started < 0.1
    for bad in (0, -1, math.inf, math.nan):
        with pytest.raises(ValueError):
            arm.timeout = bad
    with pytest.raises(TypeError):
        arm.timeout = "1"
    arm.timeout = 0.2
    assert arm.timeout == 0.2


def test_two_arms_keep_two_calibrations_and_the_module_keeps_its_own(sim, api):
    first, second = (brivane.Arm(sim("arm", "--serial", n).port) for n in (1, 2))
    before = second.host_position()
    first.calibrate([10.0, -30.0, 40.0])
    assert first.offsets != (0.0, 0.0, 0.0) and second.offsets == (0.0, 0.0, 0.0)
    assert second.host_position() == pytest.approx(before, abs=1e-5)
    assert first.host_position() != pytest.approx(before, abs=1e-3)
    module_arm = api.Kalvar(api.SerialStream(sim("arm").port))
    assert module_arm.get_end_effector_position(False)[0] == pytest.approx(before, abs=1e-5)


def test_waits_release_the_interpreter_lock_and_ctrl_c_ends_them(device):
    arm = woken_arm(device, timeout=5.0)
    ticks = []
    ticker = threading.Thread(target=lambda: [ticks.append(time.sleep(0.01)) for _ in range(20)])
    ticker.start()
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt))
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            arm.temperature()
    finally:
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
    assert time.monotonic() - started < 0.6
    ticker.join()
    assert len(ticks) == 20


def test_threads_sharing_an_arm_never_mix_answers(sim):
    arm = brivane.Arm(sim("arm").port, timeout=1.0)
    failures = []

    def loop(call, check):
        for _ in range(300):
            if not check(call()):
                failures.append(call)

    threads = [threading.Thread(target=loop, args=(lambda: arm.force([0, 0, 0]),
                                                   lambda s: isinstance(s, brivane.State))),
               threading.Thread(target=loop, args=(arm.temperature, lambda t: 20 < t < 60))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == [] and arm.stats.exchanges == 600


def test_grip_messages_status_and_commands(sim, device):
    simulator = sim("grip", "--rate", 1000)
    with brivane.Grip(simulator.port, timeout=0.5) as grip:
        assert grip.info == brivane.HandleInfo(1, 100, 2, 1, 9)
        grip.send_state(1, b"\xaa\xbb")
        messages = list(grip.messages(duration=0.2))
        assert len(messages) > 50 and all(isinstance(m, brivane.HandleStatus) for m in messages)
        assert messages[-1].user_data == b"\xaa\xbb"
    stuffed = sim("grip", "--rate", 0, "--status", "stuffed")
    with brivane.Grip(stuffed.port, timeout=0.5) as grip:
        block = grip.status()
        assert isinstance(block, brivane.StatusBlock) and 3.0 <= block.battery_level <= 4.3
    # A grip of its own: an error message, then silence.
    device.respond(1, INFO)
    grip = brivane.Grip(device.path, timeout=0.1)
    device.join()
    device.send(bytes([0xDF, 0x34, 0x12, 0x09]))
    assert grip.receive() == brivane.HandleError(0x1234, 9)
    assert grip.receive(timeout=0.05) is None
    grip.send_state(7)
    assert device.receive_all() == bytes.fromhex("db070000")


ERROR_MESSAGE = bytes([0xDF, 0x34, 0x12, 0x09])


@pytest.mark.parametrize("line", [
    b"\x00\x77\x42" + ERROR_MESSAGE,  # junk before a message is passed over
    ERROR_MESSAGE[:2],                # a message the time-out cuts is finished by the next call
], ids=["junk", "cut"])
def test_a_grip_passes_over_junk_and_loses_no_message_a_time_out_cuts(device, line):
    device.respond(1, INFO)
    grip = brivane.Grip(device.path, timeout=0.05)
    device.join()
    device.send(line)
    if line != ERROR_MESSAGE[:2]:
        assert grip.receive() == brivane.HandleError(0x1234, 9)
    else:
        assert grip.receive() is None  # no whole message in time, and no error
        device.send(ERROR_MESSAGE[2:])
        assert grip.receive() == brivane.HandleError(0x1234, 9)
    assert grip.receive(timeout=0.02) is None


def test_find_arms_probes_every_port_at_once(sim, tmp_path):
    ports = [sim("arm", "--serial", n, "--latency-us", 200_000).port for n in (1, 2)]
    silent = sim("arm", "--fault", "silent").port
    started = time.monotonic()
    found = brivane.find_arms([*ports, silent, "/dev/brivane-nothing"], timeout=0.5)
    assert time.monotonic() - started < 0.9  # one probe's wait, not four
    assert [f.port.device for f in found] == ports
    assert [f.identity.device_id for f in found] == [1, 2]
    assert brivane.find_grips(ports, timeout=0.3) == []


@pytest.mark.parametrize("checked", ["a program using it", "the package itself"])
def test_mypy_strict_passes(tmp_path, checked):
    pytest.importorskip("mypy")
    program = tmp_path / "program.py"
    program.write_text(
        "import brivane\n\n\n"
        "def loop(port: str) -> float:\n"
        "    with brivane.Arm(port, timeout=0.01) as arm:\n"
        "        z: float = arm.force([0.0, 0.0, 1.0]).position[2]\n"
        "        messages: list[brivane.Found] = brivane.find_arms([port])\n"
        "        return z + len(messages) + arm.stats.snapshot().p99_us\n")
    package = pathlib.Path(brivane.__file__).parent.parent
    target = [str(program)] if checked == "a program using it" else ["-p", "brivane"]
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         *target], capture_output=True, text=True, env={**os.environ, "MYPYPATH": str(package)})
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("timeout, failures", [(1.0, 0), (0.1, 1)], ids=["late", "lost"])
def test_the_worst_exchange_stays_in_the_stats_until_reset(sim, timeout, failures):
    simulator = sim("arm")
    arm = brivane.Arm(simulator.port, timeout=timeout)
    os.kill(simulator.process.pid, signal.SIGSTOP)  # a 200 ms stall
    threading.Timer(0.2, os.kill, (simulator.process.pid, signal.SIGCONT)).start()
    try:
        arm.force([0, 0, 0])
    except brivane.NoAnswer:
        time.sleep(0.3)  # the late answer has come, to be dropped
    for _ in range(1100):  # more than the recent window
        arm.force([0, 0, 0])
    stats = arm.stats.snapshot()
    assert stats.exchanges == 1101 and stats.failures == failures
    assert stats.max_us >= timeout * 1e6 if failures else stats.max_us >= 190_000
    arm.stats.reset()
    assert arm.stats.max_us == 0.0


@pytest.mark.parametrize("target", [(0.0, 0.0, 0.0), (10.0, -30.0, 40.0), (-20.0, 5.0, 90.0)])
def test_offsets_are_in_degrees_as_calibrate_takes_them(sim, target):
    with brivane.Arm(sim("arm").port) as arm:
        measured = arm.torques((0, 0, 0)).angles
        before = arm.host_position()
        arm.calibrate(target)
        assert arm.offsets == pytest.approx([m - t for m, t in zip(measured, target)], abs=1e-4)
        arm.calibrate(measured)  # the measured pose for itself: no offsets, as before
        assert arm.offsets == pytest.approx((0, 0, 0), abs=1e-4)
        assert arm.host_position() == pytest.approx(before, abs=1e-5)


def status_message(number):
    data = struct.pack("<I", number)
    return bytes([0xDA]) + struct.pack("<HBB4fB", 1, 0, 0, 0, 0, 0, 1, len(data)) + data


@pytest.mark.parametrize("read", ["messages", "receive"])
def test_threads_reading_one_grip_each_get_their_own_messages_in_order(device, read):
    device.respond(1, INFO)
    grip = brivane.Grip(device.path, timeout=0.05)
    device.join()
    sent = threading.Event()
    got = [[], []]

    def reader(numbers):
        while True:
            done = sent.is_set()  # then a time with nothing means nothing is left
            if read == "messages":
                batch = list(grip.messages(duration=0.05))
            else:
                batch = [m for m in [grip.receive()] if m is not None]
            numbers.extend(struct.unpack("<I", m.user_data)[0] if isinstance(
                m, brivane.HandleStatus) and len(m.user_data) == 4 else -1 for m in batch)
            if not batch and done:
                return

    threads = [threading.Thread(target=reader, args=(numbers,)) for numbers in got]
    for thread in threads:
        thread.start()
    device.send(b"".join(status_message(n) for n in range(20_000)))
    sent.set()
    for thread in threads:
        thread.join()
    assert sorted(got[0] + got[1]) == list(range(20_000))  # none lost, none twice
    assert all(numbers == sorted(numbers) for numbers in got)


def holds(port):
    """Whether this process has `port` open."""
    names = []
    for fd in pathlib.Path("/proc/self/fd").iterdir():
        try:
            names.append(os.readlink(fd))
        except OSError:  # closed meanwhile
            pass
    return any(name == port or name.startswith(port + " ") for name in names)


@pytest.mark.parametrize("form", ["str", "bytes", "Path", "undecodable", "NUL str", "NUL bytes"])
def test_ports_are_named_as_os_fspath_takes_paths(sim, tmp_path, form):
    arm_sim, grip_sim = sim("arm"), sim("grip", "--rate", 0)

    def named(port, label):
        if form == "undecodable":  # a name that is no UTF-8, as a file system allows
            link = os.fsencode(tmp_path) + b"/\xff-" + label
            os.symlink(port, link)
            return link
        return {"str": port, "bytes": os.fsencode(port), "Path": pathlib.Path(port),
                "NUL str": port + "\0x", "NUL bytes": os.fsencode(port) + b"\0x"}[form]

    arm_name, grip_name = named(arm_sim.port, b"arm"), named(grip_sim.port, b"grip")
    if form.startswith("NUL"):  # the system would open the name cut at the NUL
        with brivane.Arm(arm_sim.port) as arm:
            for call in (lambda: brivane.Arm(arm_name), lambda: brivane.Grip(grip_name),
                         lambda: brivane.find_arms([arm_name]), lambda: arm.reopen(arm_name),
                         lambda: brivane.find_grips([grip_name])):
                with pytest.raises(ValueError, match="NUL"):
                    call()
            assert arm.port == arm_sim.port and not arm.closed
        return
    arm_text, grip_text = os.fsdecode(arm_name), os.fsdecode(grip_name)
    assert [f.port.device for f in brivane.find_arms([arm_name])] == [arm_text]
    assert [f.port.device for f in brivane.find_grips([grip_name])] == [grip_text]
    with brivane.Arm(arm_name) as arm, brivane.Grip(grip_name) as grip:
        assert (arm.port, grip.port) == (arm_text, grip_text)
        arm.reopen(arm_name)
        grip.reopen(grip_name)
    with brivane.Arm(arm_text) as arm:  # the name shown opens the same port
        assert arm.identity.device_id == 1


@pytest.mark.parametrize("kind, call", [
    ("arm", lambda arm: arm.force([0, 0, 0])),
    ("grip", lambda grip: grip.receive()),
    ("grip", lambda grip: grip.send_state(1, b"x")),
], ids=["arm", "grip receive", "grip send"])
def test_a_lost_line_closes_the_port_and_calls_say_to_reopen(sim, kind, call):
    options = ("--rate", 0) if kind == "grip" else ()
    simulator = sim(kind, *options)
    device = (brivane.Arm if kind == "arm" else brivane.Grip)(simulator.port, timeout=0.2)
    simulator.stop()
    with pytest.raises(brivane.LineLost):
        call(device)
    assert device.closed and not holds(simulator.port)
    for _ in range(2):  # still the lost line, at once, not a closed object
        with pytest.raises(brivane.LineLost, match=r"the line was lost .*call reopen\(\)"):
            call(device)
    device.reopen(sim(kind, *options).port)
    assert not device.closed
    call(device)
    device.close()
    with pytest.raises(ValueError, match="closed"):
        call(device)


@pytest.mark.parametrize("kind", ["arm", "grip"])
def test_reopen_takes_the_port_a_replugged_device_came_back_on(sim, kind):
    first = sim(kind, "--serial", 1)
    device = (brivane.Arm if kind == "arm" else brivane.Grip)(first.port)
    first.stop()
    second = sim(kind, "--serial", 2)
    device.reopen(pathlib.Path(second.port))
    woken = device.identity if kind == "arm" else device.info
    assert device.port == second.port and woken.device_id == 2
    device.close()
    device.reopen()  # the port it names now
    assert not device.closed and device.port == second.port
    device.close()


def arrays(*shapes):
    numpy = pytest.importorskip("numpy")
    return [numpy.zeros(shape) for shape in shapes]


ARGUMENTS = [  # (call, raised, message); None: taken
    (lambda arm, grip: brivane.Arm(None), TypeError, "port must be a port's path.*not NoneType"),
    (lambda arm, grip: brivane.find_arms("/dev/ttyUSB0"), TypeError, "ports must be an iterable"),
    (lambda arm, grip: brivane.find_arms([None]), TypeError, "each port of ports must be"),
    (lambda arm, grip: arm.force(5.0), TypeError, "force must be 3 numbers.*not float"),
    (lambda arm, grip: arm.force([1, 2]), TypeError, "force must be 3 numbers.*length 2"),
    (lambda arm, grip: arm.force([1, 2, 3, 4]), TypeError, "force must be 3 numbers.*length 4"),
    (lambda arm, grip: arm.force([[1, 2, 3]] * 3), TypeError, "force must be 3 numbers"),
    (lambda arm, grip: arm.torques(b"\0\0\0"), TypeError, "torques must be 3 numbers.*bytes"),
    (lambda arm, grip: arm.calibrate("abc"), TypeError, "angles must be 3 numbers.*not str"),
    (lambda arm, grip: arm.force([0, math.nan, 0]), ValueError, "element 1 of 'force'"),
    (lambda arm, grip: grip.send_state(70000, b""), ValueError, "device_id must be from 0 to 65535"),
    (lambda arm, grip: grip.send_state(1.0), TypeError, "device_id must be an int.*not float"),
    (lambda arm, grip: grip.send_state(1, 5), TypeError, "user_data must be bytes.*not int"),
    (lambda arm, grip: grip.send_state(1, "x"), TypeError, "user_data must be bytes.*not str"),
    (lambda arm, grip: grip.send_state(1, [256]), ValueError, "user_data must hold numbers"),
    (lambda arm, grip: list(grip.messages("1")), TypeError, "duration must be a number"),
    (lambda arm, grip: list(grip.messages(-1)), ValueError, "duration must be a number"),
    # Any sequence or array that holds three numbers is taken, whatever its shape.
    (lambda arm, grip: [arm.force(a) for a in arrays((3,), (1, 3), (3, 1), (1, 1, 3))], None, ""),
    (lambda arm, grip: [arm.force(v) for v in ((0, 0, 0), [[0], [0], [0]], range(3))], None, ""),
    (lambda arm, grip: grip.send_state(True, bytearray(b"\x01")), None, ""),
]


@pytest.mark.parametrize("call, raised, message", ARGUMENTS, ids=[
    f"{i}-{raised.__name__ if raised else 'taken'}" for i, (_, raised, _) in enumerate(ARGUMENTS)])
def test_arguments_are_refused_by_name_with_what_they_take(sim, call, raised, message):
    with brivane.Arm(sim("arm").port) as arm, brivane.Grip(sim("grip", "--rate", 0).port) as grip:
        if raised is None:
            call(arm, grip)
            return
        with pytest.raises(raised, match=message):
            call(arm, grip)
        assert arm.stats.exchanges == 0  # refused before anything is sent


@pytest.mark.parametrize("kind", ["arm", "grip"])
def test_a_device_is_opened_and_found_again_by_its_identity(sim, tmp_path, kind):
    """By its identity a device opens wherever it answers; reopen() finds it again when it
    comes back under another name, as a replugged USB device does; another device, or none,
    is said to be so."""
    Device, find, key = ((brivane.Arm, brivane.find_arms, "uuid") if kind == "arm" else
                         (brivane.Grip, brivane.find_grips, "device_id"))
    first, other, later = tmp_path / "first", tmp_path / "other", tmp_path / "later"
    other.symlink_to(sim(kind, "--serial", "7").port)
    unplugged = sim(kind, "--serial", "9")
    first.symlink_to(unplugged.port)
    ports = [other, first, later]  # `later` is where the device will come back
    wanted = getattr(next(f.identity for f in find(ports) if f.port.device == str(first)), key)

    device = Device(**{key: wanted}, ports=ports)
    assert device.port == str(first)
    with pytest.raises(brivane.WrongDevice, match=f"not {wanted}"):
        Device(other, **{key: wanted})
    with pytest.raises(brivane.NotFound, match="no .* answered on 3 ports"):
        Device(**{key: 12345 if kind == "grip" else uuid.uuid4()}, ports=ports)

    unplugged.stop()
    first.unlink()
    later.symlink_to(sim(kind, "--serial", "9").port)
    device.reopen()
    assert device.port == str(later)
    assert getattr(device.identity if kind == "arm" else device.info, key) == wanted
    device.close()
