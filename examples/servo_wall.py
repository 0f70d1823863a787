#!/usr/bin/env python3
"""A wall the servo renders in C++, with Python only watching.

    servo_wall.py [--port PORT] [--seconds S] [--stiffness N/m] [--push N]

The wall is a horizontal plane 5 mm above where the end effector starts, so it starts
inside it. Without --port the arm is simulated, with a hand pushing it down (default 1 N),
which the wall holds at a depth of push / stiffness. The servo's thread exchanges a force
with the arm 1000 times a second; this program only reads its figures.
"""
import argparse
import sys
import time

from simulator import REPOSITORY, Simulator

try:
    import brivane
except ImportError:
    sys.path.insert(0, str(REPOSITORY / "build" / "python"))
    import brivane


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="the arm's port (default: a simulated arm)")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--stiffness", type=float, default=500.0, help="N/m")
    parser.add_argument("--push", type=float, default=1.0, help="the simulated hand's, N")
    args = parser.parse_args()

    simulator = None
    port = args.port
    if port is None:
        simulator = Simulator("arm", "--hand", f"push=0,0,{-args.push}")
        port = simulator.port
    try:
        with brivane.Arm(port) as arm:
            start = arm.force((0, 0, 0)).position
            wall = (start[0], start[1], start[2] + 0.005)
            with brivane.Servo(arm, rate=1000, max_force=4.0, ramp=0.2) as servo:
                servo.effects = [brivane.Plane(wall, (0, 0, 1), args.stiffness, damping=5.0)]
                end = time.monotonic() + args.seconds
                while time.monotonic() < end:
                    time.sleep(0.25)
                    state = servo.state
                    print(f"height {1000 * (state.position[2] - wall[2]):+6.2f} mm, "
                          f"force {state.force[2]:5.2f} N")
            depth = 1000 * (wall[2] - servo.state.position[2])
            stats = servo.stats
            print(f"final depth {depth:.2f} mm; {stats.periods} periods at {stats.rate_hz:.0f} Hz, "
                  f"{stats.overruns} overruns, {stats.failures} failures, period p99 "
                  f"{stats.period_p99_us:.0f} us")
            if servo.error:
                raise servo.error
    finally:
        if simulator:
            simulator.stop()


if __name__ == "__main__":
    main()
