#!/usr/bin/env python3
"""A 1 kHz force loop with brivane, printing the arm's loop statistics every second.

    brivane_loop.py                      # a simulated arm (brivane-sim)
    brivane_loop.py --port /dev/ttyACM0 --seconds 10

The loop holds the end effector near where it started with a soft spring. A lost answer
raises NoAnswer within the arm's time-out (here 5 ms, five periods): the loop counts it
and goes on; a lost line ends it.
"""
import argparse
import sys
import time

from simulator import REPOSITORY, Simulator

try:
    import brivane
except ImportError:  # not on PYTHONPATH: the package next to the default build
    sys.path.insert(0, str(REPOSITORY / "build" / "python"))
    import brivane

PERIOD = 0.001  # s
SPRING = 100.0  # N/m
MAX_FORCE = 2.0  # N per axis


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="the arm's port (default: simulated)")
    parser.add_argument("--seconds", type=float, default=3.0)
    args = parser.parse_args()

    simulator = None if args.port else Simulator("arm")
    port = args.port or simulator.port
    try:
        with brivane.Arm(port, timeout=5 * PERIOD) as arm:
            print(f"{arm.port}: {arm.identity}")
            home = arm.force([0.0, 0.0, 0.0]).position
            force = [0.0, 0.0, 0.0]
            lost = 0
            start = next_tick = next_report = time.monotonic()
            while next_tick - start < args.seconds:
                try:
                    position, _ = arm.force(force)
                except brivane.NoAnswer:
                    lost += 1
                    force = [0.0, 0.0, 0.0]
                else:
                    force = [max(-MAX_FORCE, min(MAX_FORCE, SPRING * (h - p)))
                             for h, p in zip(home, position)]
                next_tick += PERIOD
                delay = next_tick - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
                if time.monotonic() >= next_report + 1.0:
                    next_report += 1.0
                    print(f"{next_report - start:4.0f} s  {arm.stats}")
                    arm.stats.reset()
            print(f"done: {lost} answers lost")
    finally:
        if simulator:
            simulator.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
