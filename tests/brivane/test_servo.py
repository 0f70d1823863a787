"""brivane.Servo against brivane-sim: what it renders, records and refuses, and how it stops.
Its timing is measured by bench/servo.py, not here."""
import math
import pathlib
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")


@pytest.fixture
def arm():
    """An arm held by a simulated hand, a spring of 200 N/m: 1 N moves it 5 mm."""
    with Simulator("arm", "--hand", "hold=200") as simulator, \
            brivane.Arm(simulator.port, timeout=0.5) as arm:
        arm.simulator = simulator
        yield arm


def wait_for(condition, seconds=3.0):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.01)
    return condition()


def assert_each_period_commanded(samples, force):
    """From the first period that commanded `force` on (the effects or the law may be set
    after the start), each answered period commanded it; one a busy machine let fail, the
    same force faded (never more, never another direction)."""
    held = numpy.all(numpy.isclose(samples["force"], force, atol=1e-6), axis=1)
    assert held.any()
    first = held.argmax()
    after = samples[first:-1]  # the last one recorded the stop's zero
    share = after["force"] @ numpy.asarray(force) / numpy.dot(force, force)
    assert numpy.allclose(after["force"], numpy.outer(share, force), atol=1e-6)
    assert numpy.all((share > -1e-6) & (share < 1 + 1e-6))
    # A fresh state's force goes out whole, unless the servo's own thread woke far too late.
    fresh = held[first:-1][(after["flags"] & 2) == 0]
    assert fresh.mean() > 0.9


@pytest.mark.parametrize("effects, max_force, force", [
    ([brivane.ConstantForce((1, 0, 0))], 3.0, (1, 0, 0)),
    ([brivane.ConstantForce((10, 0, 0))], 2.0, (2, 0, 0)),  # held to max_force
    ([brivane.ConstantForce((1, 0, 0)), brivane.ConstantForce((0, 0, -0.5))], 3.0, (1, 0, -0.5)),
])
def test_servo_renders_its_effects_within_max_force_and_records_every_period(
        arm, effects, max_force, force):
    servo = brivane.Servo(arm, rate=500, max_force=max_force, ramp=0.0)
    servo.effects = effects
    start = arm.force((0, 0, 0)).position
    # The held hand gives way to the force; a busy machine's failed periods let it back a little.
    with servo:
        assert servo.running
        assert wait_for(lambda: servo.stats.periods > 150)
        assert wait_for(lambda: servo.state.position[0] - start[0] ==
                        pytest.approx(force[0] / 200, abs=1e-3))
        first = servo.samples()
    assert not servo.running and servo.error is None

    rest = servo.samples()
    samples = numpy.concatenate([first, rest])
    assert samples.dtype.names == ("time", "position", "velocity", "force", "period",
                                   "orientation", "hall", "outcome", "flags", "grip_sequence",
                                   "grip_time", "energy", "damping", "proxy")
    assert len(samples) == servo.stats.periods and servo.dropped == 0
    assert numpy.all(numpy.diff(samples["time"]) > 0)
    assert tuple(samples["force"][-1]) == pytest.approx(servo.state.force, abs=1e-6)
    assert_each_period_commanded(samples, force)
    assert len(servo.samples()) == 0  # each sample once


def test_the_arm_is_the_servos_while_it_runs(arm):
    with brivane.Servo(arm) as servo:
        for call in (lambda: arm.force((0, 0, 0)), arm.temperature, arm.close, arm.reopen):
            with pytest.raises(RuntimeError, match="a servo drives this arm; stop the servo"):
                call()
        with pytest.raises(RuntimeError, match="a servo drives this arm"):
            brivane.Servo(arm).start()
        assert arm.identity.model == 4 and arm.stats.exchanges >= 0  # no exchange: allowed
    arm.force((0, 0, 0))  # given back


@pytest.mark.parametrize("law, error, text", [
    (lambda sample: 1 / 0, ZeroDivisionError, "division"),
    (lambda sample: (1, 2), ValueError, "3 finite numbers"),
    (lambda sample: "abc", TypeError, "returned str"),
    (lambda sample: 5, TypeError, "returned int"),
])
def test_a_law_that_fails_stops_the_servo_with_its_exception(arm, law, error, text):
    servo = brivane.Servo(arm, ramp=0.0)
    servo.effects = [brivane.ConstantForce((1, 0, 0))]
    servo.start()
    servo.law = law
    assert wait_for(lambda: not servo.running)
    assert isinstance(servo.error, error) and text in str(servo.error)
    assert servo.state.force == (0.0, 0.0, 0.0)  # the last period commanded nothing
    arm.force((0, 0, 0))  # given back as it ended, before any stop()
    with pytest.raises(error):
        servo.stop()


def test_a_law_adds_its_force_each_period_from_the_latest_sample(arm):
    seen = []

    def law(sample):
        seen.append(sample)
        return (0.0, 0.0, 0.5)

    with brivane.Servo(arm, ramp=0.0) as servo:
        servo.effects = [brivane.ConstantForce((0.5, 0, 0))]
        servo.law = law
        assert wait_for(lambda: len(seen) > 50)
    assert servo.error is None
    # The law saw the effects' force, and the servo commanded both (the law's part a period
    # or two behind its sample, faded where its thread was late).
    assert {tuple(s.force) for s in seen} == {(0.5, 0.0, 0.0)}
    forces = servo.samples()["force"]
    assert numpy.any(numpy.all(numpy.isclose(forces, (0.5, 0, 0.5)), axis=1))
    assert numpy.all((forces[:-1, 2] >= 0) & (forces[:-1, 2] <= 0.5 + 1e-6))
    assert all(isinstance(s, brivane.Sample) for s in seen)
    assert all(b.time > a.time for a, b in zip(seen, seen[1:]))


@pytest.mark.parametrize("when", ["made", "set while running"])
def test_forces_fade_when_the_lease_lapses_and_come_back_when_renewed(arm, when):
    with brivane.Servo(arm, ramp=0.0, lease=0.1 if when == "made" else 0.0) as servo:
        servo.effects = [brivane.ConstantForce((1, 0, 0))]
        assert wait_for(lambda: servo.state.force[0] == 1.0)
        if when != "made":
            servo.lease = 0.1
        assert wait_for(lambda: servo.state.force[0] == 0.0)  # nobody renewed it
        servo.renew()
        assert wait_for(lambda: servo.state.force[0] == 1.0)


def test_a_lost_line_stops_the_servo_with_line_lost(arm):
    with pytest.raises(brivane.LineLost):  # raised where the servo ends
        with brivane.Servo(arm) as servo:
            assert wait_for(lambda: servo.stats.periods > 10)
            arm.simulator.stop()
            assert wait_for(lambda: not servo.running)
            assert arm.closed  # the lost line closes the arm as its own calls would
    assert isinstance(servo.error, brivane.LineLost)


def test_the_servo_keeps_its_rate_while_python_holds_the_interpreter_lock(arm):
    with brivane.Servo(arm, rate=1000) as servo:
        assert wait_for(lambda: servo.stats.periods > 0)
        before = servo.stats.periods
        end = time.monotonic() + 0.3
        while time.monotonic() < end:  # pure Python: the lock is released only now and then
            sum(i * i for i in range(1000))
        during = servo.stats.periods - before
    assert during > 100  # a loop that needed the lock would have managed a handful


@pytest.mark.parametrize("make, error", [
    (lambda: brivane.ConstantForce((1, 2)), ValueError),
    (lambda: brivane.ConstantForce((1, 2, math.nan)), ValueError),
    (lambda: brivane.Spring((0, 0, 0), -1.0), ValueError),
    (lambda: brivane.Spring((0, 0, 0), "stiff"), TypeError),
    (lambda: brivane.Plane((0, 0, 0), (0, 0, 0), 100), ValueError),
    (lambda: brivane.Box((1, 0, 0), (0, 1, 1), 100), ValueError),
    (lambda: brivane.Sphere((0, 0, 0), 0.0, 100), ValueError),
    (lambda: brivane.Damper(math.inf), ValueError),
])
def test_effects_refuse_what_no_servo_can_render(make, error):
    with pytest.raises(error):
        make()


def test_effects_are_frozen_records_of_floats():
    plane = brivane.Plane((0, 0, 1), (0, 0, 2), 500)
    assert plane.normal == (0.0, 0.0, 1.0) and plane.stiffness == (500.0, 500.0, 500.0)
    with pytest.raises(AttributeError):
        plane.point = (0, 0, 0)


def test_a_servo_with_a_grip_carries_its_pose_and_leaves_it_its_sends(arm):
    with Simulator("grip", "--rate", "500") as simulator, brivane.Grip(simulator.port) as grip:
        with brivane.Servo(arm, grip=grip) as servo:
            assert wait_for(lambda: servo.state.orientation != (0.0, 0.0, 0.0, 0.0))
            with pytest.raises(RuntimeError, match="a servo reads this grip"):
                grip.receive()
            grip.send_state(grip.info.device_id, b"\x2a")  # sends stay the program's
            samples = servo.samples()
        assert numpy.any(samples["orientation"] != 0)
        assert grip.receive(timeout=1.0) is not None  # given back


def test_a_program_that_exits_with_its_servo_running_ends_cleanly(arm):
    """The servo is stopped (zero force sent) before the interpreter goes, even with a law
    that would need it."""
    import subprocess
    program = (
        "import brivane, time\n"
        f"arm = brivane.Arm({arm.simulator.port!r})\n"
        "servo = brivane.Servo(arm)\n"
        "servo.law = lambda sample: (0.1, 0, 0)\n"
        "servo.start()\n"
        "time.sleep(0.2)\n"
        "print(servo.running)\n")
    arm.close()
    result = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                            timeout=20)
    assert result.returncode == 0 and result.stdout == "True\n", result.stderr
