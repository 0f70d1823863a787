"""Effects made of numbers at the ends of what the servo's 32-bit floats hold: a wall's normal
of any finite size, parameters too large for such a float refused by name, and a force past
the float range held to max_force by a servo on brivane-sim rather than dropped."""
import math
import pathlib
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")

#: The largest 32-bit float.
FLOAT32_MAX = float(numpy.finfo(numpy.float32).max)
HALF = math.sqrt(0.5)
THIRD = math.sqrt(1 / 3)


@pytest.mark.parametrize("normal, unit", [
    ((0, 0, 2), (0, 0, 1)),
    ((0, 0, 1e200), (0, 0, 1)),
    ((3e200, 4e200, 0), (0.6, 0.8, 0)),
    ((1e308, -1e308, 1e308), (THIRD, -THIRD, THIRD)),
    ((0, 3e-300, 4e-300), (0, 0.6, 0.8)),
    ((5e-324, 0, 5e-324), (HALF, 0, HALF)),
])
def test_a_walls_normal_of_any_finite_size_is_made_of_unit_length(normal, unit):
    plane = brivane.Plane((0, 0, 0), normal, 100)
    assert plane.normal == pytest.approx(unit, abs=1e-12)


@pytest.mark.parametrize("make, field, says", [
    (lambda: brivane.Plane((0, 0, 0), (0, 0, 0), 100), "normal", "must not be zero"),
    (lambda: brivane.Plane((0, 0, 0), (0, math.nan, 1), 100), "normal[1]", "finite"),
    (lambda: brivane.Plane((0, 0, 0), (-math.inf, 0, 1), 100), "normal[0]", "finite"),
    (lambda: brivane.Spring((0, 0, 0), 1e39), "stiffness", "32-bit floats"),
    (lambda: brivane.Plane((0, 0, 0), (0, 0, 1), (100, 100, 1e39)), "stiffness[2]",
     "32-bit floats"),
    (lambda: brivane.Plane((1e39, 0, 0), (0, 0, 1), 100), "point[0]", "32-bit floats"),
    (lambda: brivane.Spring((-1e39, 0, 0), 100), "anchor[0]", "32-bit floats"),
    (lambda: brivane.Spring((0, 0, 0), 100, damping=3.5e38), "damping", "32-bit floats"),
    (lambda: brivane.Damper(1e300), "damping", "32-bit floats"),
    (lambda: brivane.ConstantForce((0, -1e300, 0)), "force[1]", "32-bit floats"),
    (lambda: brivane.Box((-1e39, 0, 0), (1, 1, 1), 100), "low[0]", "32-bit floats"),
    (lambda: brivane.Sphere((0, 0, 0), 1e39, 100), "radius", "32-bit floats"),
    (lambda: brivane.Sphere((0, 0, 1e39), 1, 100), "center[2]", "32-bit floats"),
])
def test_a_parameter_the_servo_cannot_hold_is_refused_by_name(make, field, says):
    with pytest.raises(ValueError) as raised:
        make()
    message = str(raised.value)
    assert message.startswith(field + " must ") and says in message, message


@pytest.fixture
def arm():
    """An arm held by a simulated hand, a spring of 200 N/m."""
    with Simulator("arm", "--hand", "hold=200") as simulator, \
            brivane.Arm(simulator.port, timeout=1.0) as arm:
        yield arm


@pytest.mark.parametrize("effects", [
    # 1e76 N towards +x.
    [brivane.Spring((1e38, 0, 0), 1e38)],
    # 1e38 m behind the largest float's stiffest wall, which faces +x.
    [brivane.Plane((1e38, 0, 0), (1, 0, 0), FLOAT32_MAX)],
    # Each within the float range, their sum past it.
    [brivane.ConstantForce((FLOAT32_MAX, 0, 0)), brivane.ConstantForce((FLOAT32_MAX, 0, 0))],
], ids=["spring", "plane", "sum"])
def test_a_force_past_the_float_range_is_held_to_max_force_not_dropped(arm, effects):
    servo = brivane.Servo(arm, rate=500, max_force=2.0, ramp=0.0)
    servo.effects = effects
    with servo:
        end = time.monotonic() + 5
        while servo.stats.periods < 100 and time.monotonic() < end:
            time.sleep(0.01)
    forces = servo.samples()["force"]
    # Pushed along +x, and at times by the whole 2 N (between, a period may fade or fail):
    # never dropped for a force past the float range.
    assert numpy.all(numpy.isfinite(forces)) and numpy.all(abs(forces[:, 1:]) < 1e-6)
    assert numpy.all((forces[:, 0] >= 0) & (forces[:, 0] <= 2.0 + 1e-5))
    assert numpy.isclose(forces[:, 0], 2.0, atol=1e-5).any(), forces[:5]
