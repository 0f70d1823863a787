#!/usr/bin/python3
"""Draws the pictures of docs/viewing.md again, from sessions against brivane-sim:

    PYTHONPATH=$PWD/build/python BRIVANE_SIM=$PWD/build/brivane-sim \\
        BRIVANE_TRACE=$PWD/build/brivane-trace /usr/bin/python3 docs/images/draw.py

- trace-wall.png: a servo rendering a wall for half a second at 1 kHz, recorded through the
  proxy (about 1,000 frames), as brivane-trace --plot draws it;
- trace-grip.png: a grip streaming its status blocks, likewise;
- trace-million.png: the made-up session of a million frames that bench/trace_data.py reads;
- scope-wall.png: brivane.scope's image of the same wall as trace-wall.png, for 2 s;
- print-wall.png: those samples again as a one-column figure of a paper (brivane.plots,
  style "print"), its height, force and period only;
- print-trace-wall.png: trace-wall.png's session likewise, with brivane-trace --style print,
  its answers later than 300 µs marked.
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPOSITORY = HERE.parents[1]
sys.path.insert(0, str(REPOSITORY / "examples"))
sys.path.insert(0, str(REPOSITORY / "bench"))
from simulator import Simulator, simulator_path  # noqa: E402
from trace_data import made_up_session  # noqa: E402

import brivane  # noqa: E402
from brivane import plots  # noqa: E402

DECODER = os.environ.get("BRIVANE_TRACE", "brivane-trace")


def recorded(device_port, trace, session):
    """Runs `session(port)` through a proxy in front of `device_port`, recording `trace`."""
    proxy = subprocess.Popen([simulator_path(), "--proxy", device_port, "--record", str(trace)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    session(proxy.stdout.readline().strip())
    proxy.communicate(timeout=30)


def wall(watch):
    """A session of a servo rendering a wall 5 mm above where the arm starts, which
    watch(servo) watches while it runs."""
    def session(port):
        with brivane.Arm(port) as arm:
            start = arm.force((0, 0, 0)).position
            with brivane.Servo(arm, rate=1000, max_force=4.0, ramp=0.1) as servo:
                servo.effects = [brivane.Plane((start[0], start[1], start[2] + 0.005),
                                               (0, 0, 1), 500.0, damping=5.0)]
                watch(servo)
    return session


def grip(port):
    with brivane.Grip(port) as handle:
        for _ in handle.messages(duration=1.0):
            pass


def plot(trace, name, *options):
    subprocess.run([DECODER, "--overwrite", "--plot", str(HERE / name), *options, str(trace)],
                   check=True)


def scoped(servo):
    """The scope's image of `servo` for 2 s, then its samples as a paper's figure."""
    samples = brivane.scope(servo, plot=HERE / "scope-wall.png", overwrite=True, duration=2.0)
    plots.plot_samples(samples, HERE / "print-wall.png", effects=servo.effects, style="print",
                       panels=("z", "force", "period"), size=(3.5, 2.4), overwrite=True)


def main():
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        with Simulator("arm", "--hand", "push=0,0,-1") as arm:
            recorded(arm.port, folder / "wall.trace", wall(lambda servo: time.sleep(0.5)))
        plot(folder / "wall.trace", "trace-wall.png")
        plot(folder / "wall.trace", "print-trace-wall.png", "--style", "print", "--panels",
             "z,force,answer_us", "--size", "3.5,2.4", "--late", "300us")
        with Simulator("grip", "--rate", "200", "--status", "stuffed") as handle:
            recorded(handle.port, folder / "grip.trace", grip)
        plot(folder / "grip.trace", "trace-grip.png")
        with Simulator("arm", "--hand", "push=0,0,-1") as arm:
            wall(scoped)(arm.port)
        made_up_session(folder / "million.trace", 1_000_000)
        plot(folder / "million.trace", "trace-million.png")


if __name__ == "__main__":
    main()
