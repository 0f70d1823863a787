#!/usr/bin/python3
"""The servo's timing against a bare thread's and a Python loop's, on brivane-sim.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/servo.py \
        [--seconds 20]

Every way in the same run, so that each sees the same machine:

  floor       a bare C++ thread sleeping to absolute deadlines at 1 kHz, no I/O
              (bench/deadline_floor.cpp): its lateness is what any periodic thread gets;
  servo       brivane.Servo at 1 kHz for SECONDS, the Python main thread idle, then
              churning (allocating and collecting garbage at 100% of its thread);
  python      the best Python loop with brivane.Arm (sleep to near the deadline, spin to it,
              exchange), in the same two conditions (the churn on a second thread);
  rates       the servo at 1, 2, 4 and 8 kHz for a quarter of SECONDS each: overruns;
  walls       the simulated hand pushing 1 N into a Plane at 1,000, 3,000 and 10,000 N/m:
              the depth and the peak-to-peak wobble once settled, servo and Python loop.

Lateness: how long after its deadline a period's work began. Period deviation: how far
each period's length was from the nominal one.
"""
import argparse
import gc
import json
import pathlib
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from simulator import Simulator, simulator_path  # noqa: E402

import brivane  # noqa: E402

WALL_PUSH = 1.0  # N, the simulated hand's


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else 0.0


class Churn:
    """Allocation and garbage collection at 100% of a thread, holding the interpreter lock
    as any busy Python thread does."""

    def __init__(self):
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            junk = [{"a": [i] * 8} for i in range(2000)]
            junk.append(junk)
            del junk
            gc.collect(0)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exception):
        self.stop.set()
        self.thread.join()


def floor(seconds):
    program = pathlib.Path(simulator_path()).parent / "deadline_floor"
    result = subprocess.run([str(program), "1000", str(seconds)], capture_output=True, text=True,
                            check=True)
    return json.loads(result.stdout)


def servo_run(rate, seconds, churn=False, effects=()):
    with Simulator("arm") as simulator, brivane.Arm(simulator.port, timeout=0.05) as arm:
        servo = brivane.Servo(arm, rate=rate, ramp=0.0)
        servo.effects = list(effects)
        with servo:
            cpu = time.process_time()
            if churn:
                end = time.monotonic() + seconds
                while time.monotonic() < end:  # the main thread itself churns
                    junk = [{"a": [i] * 8} for i in range(2000)]
                    junk.append(junk)
                    del junk
                    gc.collect(0)
            else:
                time.sleep(seconds)
            # With the main thread asleep the process's processor time is the servo thread's.
            cpu = time.process_time() - cpu
        samples = servo.samples()
        servo_run.cpu_us_per_period = cpu * 1e6 / max(servo.stats.periods, 1)
        return servo.stats, samples


def python_loop(seconds, churn=False, stiffness=None, wall=None, simulator_options=()):
    """The best a Python program does with brivane.Arm: sleep to near the deadline, spin to
    it, exchange. With a wall, the loop computes the plane's force itself."""
    period = 0.001
    late, periods, heights = [], [], []
    with Simulator("arm", *simulator_options) as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        state = arm.force((0, 0, 0))
        top = state.position[2]
        force = (0.0, 0.0, 0.0)
        context = Churn() if churn else None
        if context:
            context.__enter__()
        try:
            deadline = time.perf_counter() + period
            end = deadline + seconds
            last = None
            while deadline < end:
                left = deadline - time.perf_counter()
                if left > 0.0005:
                    time.sleep(left - 0.0005)
                while time.perf_counter() < deadline:
                    pass
                now = time.perf_counter()
                late.append((now - deadline) * 1e6)
                if last is not None:
                    periods.append((now - last) * 1e6)
                last = now
                try:
                    state = arm.force(force)
                except brivane.NoAnswer:
                    force = (0.0, 0.0, 0.0)
                else:
                    if stiffness is not None:
                        depth = top + wall - state.position[2]
                        push = stiffness * depth - 5.0 * min(state.velocity[2], 0.0) \
                            if depth > 0 else 0.0
                        force = (0.0, 0.0, min(push, 4.0))
                        heights.append(state.position[2] - top)
                deadline += period
                if time.perf_counter() > deadline:  # skip, never burst
                    deadline += period * (1 + int((time.perf_counter() - deadline) / period))
        finally:
            if context:
                context.__exit__()
    return late, periods, heights


def deviation(periods_us, nominal_us):
    return [abs(p - nominal_us) for p in periods_us]


def wall_figures(heights_m, rate):
    """Depth (mm below the wall) and the peak-to-peak wobble over the last half second."""
    tail = heights_m[-int(rate / 2):]
    depth = -statistics.fmean(tail) * 1000
    return depth, (max(tail) - min(tail)) * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    args = parser.parse_args()
    seconds = args.seconds

    print(f"servo timing, {seconds:g} s per run at 1 kHz")
    base = floor(seconds)
    print(f"{'way':<26}{'late p50':>10}{'late p99':>10}{'late max':>10}{'per p99 dev':>13}"
          f"{'overruns':>10}{'failures':>10}")
    print(f"{'floor: bare thread':<26}{base['late_p50_us']:>10.0f}{base['late_p99_us']:>10.0f}"
          f"{base['late_max_us']:>10.0f}{'':>13}{'':>10}{'':>10}")
    results = {}
    for churn in (False, True):
        label = "churning" if churn else "idle"
        stats, samples = servo_run(1000, seconds, churn)
        devs = deviation(samples["period"][1:] * 1e6, 1000.0)
        results[("servo", churn)] = percentile(devs, 0.99)
        results[("servo late", churn)] = stats.late_p99_us
        results[("servo overruns", churn)] = stats.overruns
        print(f"{'servo, main ' + label:<26}{'':>10}{stats.late_p99_us:>10.0f}"
              f"{stats.late_max_us:>10.0f}{percentile(devs, 0.99):>13.0f}{stats.overruns:>10}"
              f"{stats.failures:>10}")
        if not churn:
            print(f"{'  its CPU per period':<26}{servo_run.cpu_us_per_period:>10.1f} us")
        late, periods, _ = python_loop(seconds, churn)
        devs = deviation(periods, 1000.0)
        results[("python", churn)] = percentile(devs, 0.99)
        overruns = sum(1 for p in periods if p > 2000)
        print(f"{'python loop, ' + label:<26}{percentile(late, 0.5):>10.0f}"
              f"{percentile(late, 0.99):>10.0f}{max(late):>10.0f}{percentile(devs, 0.99):>13.0f}"
              f"{overruns:>10}{'':>10}")
    limit = 1.5 * base["late_p99_us"] + 50
    late = results[("servo late", False)]
    print(f"\ntargets, against the ways of this run")
    print(f"  idle: servo late p99 {late:.0f} us <= 1.5 x floor's + 50 = {limit:.0f} us: "
          f"{'met' if late <= limit else 'MISSED'}")
    overruns = results[("servo overruns", False)]
    print(f"  idle: servo overruns {overruns} (target 0 on a quiet machine): "
          f"{'met' if overruns == 0 else 'MISSED'}")
    ratio = results[("servo", True)] / max(results[("python", True)], 1e-9)
    print(f"  churning: servo period p99 deviation / python loop's = {ratio:.2f} (target <= 0.2): "
          f"{'met' if ratio <= 0.2 else 'MISSED'}")

    print(f"\nrates, {seconds / 4:g} s each{'':<6}{'periods':>10}{'overruns':>10}{'share':>9}"
          f"{'failures':>10}{'late p99':>10}")
    for rate in (1000, 2000, 4000, 8000):
        stats, _ = servo_run(rate, seconds / 4)
        share = stats.overruns / max(stats.periods, 1)
        print(f"  {rate:>5} Hz{'':<18}{stats.periods:>10}{stats.overruns:>10}{share:>8.2%}"
              f"{stats.failures:>10}{stats.late_p99_us:>10.0f}")

    print(f"\nwalls: the hand pushes {WALL_PUSH:g} N into a plane; depth and peak-to-peak wobble "
          "over the last 0.5 s, mm")
    print(f"{'stiffness N/m':<16}{'expected':>10}{'servo depth':>13}{'p-p':>8}"
          f"{'python depth':>14}{'p-p':>8}")
    hand = ("--hand", f"push=0,0,{-WALL_PUSH}")
    for stiffness in (1000, 3000, 10000):
        with Simulator("arm", *hand) as simulator, \
                brivane.Arm(simulator.port, timeout=0.05) as arm:
            top = arm.force((0, 0, 0)).position
            servo = brivane.Servo(arm, rate=1000, ramp=0.1, max_force=4.0)
            servo.effects = [brivane.Plane(top, (0, 0, 1), stiffness, damping=5.0)]
            with servo:
                time.sleep(max(2.0, seconds / 10))
            samples = servo.samples()
        heights = list(samples["position"][:, 2] - top[2])
        servo_depth, servo_pp = wall_figures(heights, 1000)
        _, _, py_heights = python_loop(max(2.0, seconds / 10), False, stiffness, 0.0, hand)
        py_depth, py_pp = wall_figures(py_heights, 1000)
        print(f"{stiffness:<16}{WALL_PUSH / stiffness * 1000:>10.3f}{servo_depth:>13.3f}"
              f"{servo_pp:>8.3f}{py_depth:>14.3f}{py_pp:>8.3f}")


if __name__ == "__main__":
    main()
