"""The passivity observer and controller against brivane-sim's arm, pushed by its simulated
hand into a wall stiffer than the rate can render: without it the wall buzzes, with it the
hand rests on the wall."""
import pathlib
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")


def wall(passivity):
    """0.8 s of a 10,000 N/m wall at 500 Hz, 1 mm below the hand, which pushes into it with
    1 N; the samples, and the stats."""
    with Simulator("arm", "--hand", "push=0,0,-1") as simulator, \
            brivane.Arm(simulator.port, timeout=0.5) as arm:
        start = arm.force((0, 0, 0)).position
        point = (start[0], start[1], start[2] - 0.001)
        with brivane.Servo(arm, rate=500, ramp=0.0, max_force=5.0,
                           passivity=passivity) as servo:
            servo.effects = [brivane.Plane(point, (0, 0, 1), stiffness=10000)]
            time.sleep(0.8)
        return servo.samples(), servo.stats


def wobble(samples):
    """Peak to peak of the height over the last 0.3 s (m)."""
    z = samples["position"][:, 2]
    settled = z[samples["time"] > samples["time"][-1] - 0.3]
    return settled.max() - settled.min()


def test_passivity_steadies_a_wall_that_buzzes_without_it():
    buzzing, plain = wall(False)
    steady, guarded = wall(True)
    assert wobble(buzzing) > 0.0005  # a limit cycle of a millimetre or more
    assert wobble(steady) < 0.25 * wobble(buzzing)
    assert plain.passivity_periods == 0 and not buzzing["damping"].any()
    # What it did, in the samples and the stats: the damping it added, the energy it left.
    assert guarded.passivity_periods > 10 and guarded.dissipated > 0
    assert (steady["damping"] > 0).sum() == pytest.approx(guarded.passivity_periods, abs=5)
    assert steady["energy"][-1] < 1e-3
