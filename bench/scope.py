#!/usr/bin/python3
"""What the live view (brivane.scope) costs a 1 kHz servo, on brivane-sim.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/scope.py \
        [--seconds 5] [--rounds 3]

The servo at 1 kHz on a simulated arm that a hand holds, pushing 1 N, for SECONDS each way,
in ROUNDS that take turns, so that each way sees the same machine:

  alone       the Python main thread asleep;
  image       brivane.scope(servo, plot=..., duration=SECONDS): taking the samples 20 times
              a second, then drawing them once, to a PNG;
  scope       the main thread running the scope's own loop on an Agg canvas instead of a
              window: taking the samples, putting the last 5 s into the panels and drawing
              them with canvas.draw() at each refresh (at most 20 a second, and drawing at
              most half the time), what a window costs without the screen;
  law ...     the same two with a law (one returning None) on the servo: a law needs the
              interpreter lock each period, which the drawing holds.

Per way, the servo's own figures (servo.stats): period p50, p99 and maximum, overruns and
failed exchanges; and for the scope its refreshes a second and its thread's processor time.
"""
import argparse
import pathlib
import statistics
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from simulator import Simulator  # noqa: E402

import brivane  # noqa: E402

from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from brivane import _scope as live_view  # noqa: E402

WAYS = ("alone", "image", "scope", "law, alone", "law, scope")


def run(way, seconds):
    """The servo's stats after `seconds` one way; with the scope, its refreshes and its
    thread's processor time (s)."""
    with Simulator("arm", "--hand", "hold=200") as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [brivane.ConstantForce((1, 0, 0))]
        if way.startswith("law"):
            servo.law = lambda sample: None
        refreshes = 0
        with servo:
            cpu = time.thread_time()
            if way == "image":
                with tempfile.TemporaryDirectory() as folder:
                    brivane.scope(servo, plot=pathlib.Path(folder, "servo.png"), duration=seconds)
            elif way.endswith("scope"):
                figure = Figure()
                canvas = FigureCanvasAgg(figure)
                live = live_view._Live(servo, 5.0, figure)

                def refresh(until):
                    nonlocal refreshes
                    live_view._redraw(live, canvas, until, time.sleep)
                    refreshes += 1
                    return True

                live_view._follow(live, seconds, refresh)
            else:
                time.sleep(seconds)
            cpu = time.thread_time() - cpu
        return servo.stats, refreshes, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    print(f"the servo at 1 kHz with and without the scope, {args.seconds:g} s per way, "
          f"{args.rounds} rounds taking turns")
    print(f"{'way':<14}{'period p50':>11}{'p99':>7}{'max':>8}{'overruns':>10}{'failures':>10}"
          f"{'refresh/s':>11}{'cpu ms/refresh':>16}{'cpu %':>7}")
    results = {way: [] for way in WAYS}
    for _ in range(args.rounds):
        for way in WAYS:
            stats, refreshes, cpu = run(way, args.seconds)
            results[way].append(stats)
            scope = ""
            if refreshes:
                scope = (f"{refreshes / args.seconds:>11.1f}{cpu * 1e3 / refreshes:>16.0f}"
                         f"{cpu / args.seconds:>7.0%}")
            print(f"{way:<14}{stats.period_p50_us:>11.0f}{stats.period_p99_us:>7.0f}"
                  f"{stats.period_max_us:>8.0f}{stats.overruns:>10}{stats.failures:>10}{scope}")

    print("\nmedians over the rounds (µs; overruns per 1000 periods)")
    for way in WAYS:
        runs = results[way]
        p99 = statistics.median(s.period_p99_us for s in runs)
        share = statistics.median(s.overruns / max(s.periods, 1) * 1000 for s in runs)
        print(f"  {way:<12} period p99 {p99:>6.0f}   overruns {share:>5.1f}")


if __name__ == "__main__":
    main()
