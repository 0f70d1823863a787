"""Compiled laws and glides, judged on the wire of an arm played in a child process: a
compiled law's force goes out each period while Python holds the interpreter lock, and a
glide moves the force in small steps."""
import ctypes
import sys
import time

import pytest

from test_servo_faults import PlayedArm, wait_for

brivane = pytest.importorskip("brivane")
numba = pytest.importorskip("numba")

SIGNATURE = numba.types.void(numba.types.CPointer(numba.types.float64),
                             numba.types.CPointer(numba.types.float64))


@numba.cfunc(SIGNATURE)
def _law(sample, force):
    # The effects' x force again (sample[7]), and 0.5 N along z.
    force[0] = sample[7]
    force[2] = 0.5


@pytest.fixture
def played():
    arm = PlayedArm()
    yield arm
    arm.close()


def hold_the_interpreter_lock(seconds):
    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)  # nothing else gets the lock from this loop
    try:
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            pass
        return start, time.monotonic()
    finally:
        sys.setswitchinterval(interval)


@pytest.mark.parametrize("given", ["cfunc", "ctypes", "address"])
def test_a_compiled_laws_force_goes_out_each_period_while_python_holds_the_lock(played, given):
    function = {"cfunc": _law, "ctypes": _law.ctypes, "address": _law.address}[given]
    law = brivane.CompiledLaw(function)
    with brivane.Arm(played.path, timeout=0.5) as device:
        with brivane.Servo(device, rate=1000, ramp=0.0) as servo:
            servo.effects = [brivane.ConstantForce((1.0, 0, 0))]
            servo.law = law
            assert servo.law is law
            assert wait_for(lambda: servo.state.force == (2.0, 0.0, 0.5))
            held_from, held_until = hold_the_interpreter_lock(0.3)
    during = [f[1:] for f in played.forces() if held_from + 0.01 < f[0] < held_until]
    assert len(during) > 100
    # Every period's force is the law's with the effects'; a busy machine's lost answer fades
    # it, along the same direction.
    whole = [f for f in during if f == [2.0, 0.0, 0.5]]
    assert len(whole) > 0.9 * len(during)
    assert all(abs(x - 4 * z) < 1e-5 and y == 0.0 for x, y, z in during)
    assert servo.stats.failures < 0.05 * len(during)


def python_callback():
    kind = ctypes.CFUNCTYPE(None, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double))
    return kind(lambda sample, force: None)


def wrong_cfunc():
    return numba.cfunc(numba.types.void(numba.types.CPointer(numba.types.float32)))(
        lambda sample: None)


@pytest.mark.parametrize("make, error, text", [
    (python_callback, TypeError, "calls back into Python"),
    (wrong_cfunc, TypeError, "numba cfunc"),
    (lambda: (lambda sample: (0, 0, 0)), TypeError, "servo.law = function"),
    (lambda: 0, ValueError, "pointer to code"),
    (lambda: True, TypeError, "not a bool"),
])
def test_a_compiled_law_refuses_what_the_servo_cannot_call(make, error, text):
    with pytest.raises(error, match=text):
        brivane.CompiledLaw(make())


def x_steps(forces):
    """The forces' x parts from the first push to the last before the stop's zero, and the
    largest change between two in a row."""
    xs = [f[1] for f in forces]
    first = next(i for i, x in enumerate(xs) if x > 0)
    xs = xs[first - 1:-1]
    return xs, max(abs(b - a) for a, b in zip(xs, xs[1:]))


def test_a_glide_moves_the_force_in_small_steps_where_a_swap_steps_it(played):
    with brivane.Arm(played.path, timeout=0.5) as device:
        with brivane.Servo(device, rate=500, ramp=0.0) as servo:
            servo.effects = [brivane.ConstantForce((0.0, 0, 0))]
            assert wait_for(lambda: servo.stats.periods > 10)
            servo.glide([brivane.ConstantForce((1.0, 0, 0))], 0.1)  # 50 periods
            assert servo.effects == (brivane.ConstantForce((1.0, 0, 0)),)
            assert wait_for(lambda: servo.state.force[0] == 1.0)
            stats = servo.stats
    xs, largest = x_steps(played.forces())
    assert sum(0.05 < x < 0.95 for x in xs) >= 25
    # A glide moves by the time that passed: a period the machine stretched steps it
    # further, and a lost answer fades the force. The steps are judged on a run it kept.
    if stats.failures == 0 and stats.overruns == 0:
        assert largest < 0.05  # 2 % of 1 N a period, a late wake-up's doubled


def test_a_glide_to_a_set_of_another_shape_is_refused_and_changes_nothing(played):
    with brivane.Arm(played.path, timeout=0.5) as device:
        with brivane.Servo(device, rate=500, ramp=0.0) as servo:
            servo.effects = [brivane.ConstantForce((0.5, 0, 0))]
            for other in ([brivane.Damper(1.0)], [], [brivane.ConstantForce((1, 0, 0))] * 2):
                with pytest.raises(ValueError, match="servo.effects ="):
                    servo.glide(other, 0.1)
            with pytest.raises(ValueError, match="seconds"):
                servo.glide([brivane.ConstantForce((1.0, 0, 0))], -1)
            assert servo.effects == (brivane.ConstantForce((0.5, 0, 0)),)
            assert wait_for(lambda: servo.state.force[0] == 0.5)
