#!/usr/bin/env python3
"""A virtual wall: the template of a haptic force loop.

    virtual_wall.py [--port PORT] [--seconds S] [--stiffness N/m] [--offset MM] [--push N]

The wall is a horizontal plane OFFSET mm above where the end effector starts (default 5,
so it starts inside the wall). Inside the wall a spring pushes the end effector out, with
damping while it moves; outside no force acts. Without --port the arm is simulated, and
the loop also plays the user's hand: a steady downward push (default 1 N) that the wall
holds at a depth of push / stiffness.

Each pass of the loop is one exchange: send the force computed from the last state, get
the new state. Keep the pass short and free of printing: the rate of the loop is the
stiffness a wall can have before it buzzes.
"""
import argparse
import sys
import time

from simulator import REPOSITORY, Simulator

try:
    import BrivaneHardwareAPI as api
except ImportError:
    sys.path.insert(0, str(REPOSITORY / "build" / "python"))
    import BrivaneHardwareAPI as api

UP = 2  # the vertical axis of the arm's frame
DAMPING = 5.0  # N·s/m, while moving into the wall
MAX_FORCE = 4.0  # N: a wall pushed deep holds firm without kicking the hand away


def wall_force(height, velocity, wall, stiffness):
    """The force of the wall on an end effector at `height` moving at `velocity`."""
    depth = wall - height
    if depth <= 0:
        return 0.0
    return min(MAX_FORCE, stiffness * depth - DAMPING * min(velocity, 0.0))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", help="the arm's port (default: simulated)")
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--stiffness", type=float, default=500.0, help="N/m (default 500)")
    parser.add_argument("--offset", type=float, default=5.0,
                        help="height of the wall above the start, mm (default 5)")
    parser.add_argument("--push", type=float,
                        help="simulated hand's push into the wall, N (default 1 when "
                             "simulated, else 0)")
    args = parser.parse_args()
    push = args.push if args.push is not None else (1.0 if args.port is None else 0.0)

    simulator = Simulator("arm") if args.port is None else None
    try:
        stream = api.SerialStream(args.port or simulator.port)
        arm = api.Kalvar(stream)
        if arm.device_wakeup()[1] != 4:
            print("no Kalvar answered", file=sys.stderr)
            return 1

        position, _ = arm.end_effector_force([0.0, 0.0, 0.0])
        wall = position[UP] + args.offset / 1000
        print(f"wall at height {wall:.4f} m; the end effector starts at {position[UP]:.4f} m")

        force = [0.0, 0.0, 0.0]
        wall_push = 0.0
        exchanges = 0
        deepest = 0.0
        start = time.perf_counter()
        report = start + 0.5
        while True:
            now = time.perf_counter()
            if now - start >= args.seconds:
                break
            position, velocity = arm.end_effector_force(force)
            exchanges += 1
            wall_push = wall_force(position[UP], velocity[UP], wall, args.stiffness)
            force[UP] = wall_push - push
            deepest = max(deepest, wall - position[UP])
            if now >= report:  # now and then, not every pass
                print(f"{now - start:4.1f} s  depth {(wall - position[UP]) * 1e3:+7.3f} mm  "
                      f"wall's force {wall_push:6.3f} N")
                report += 0.5
        arm.end_effector_force([0.0, 0.0, 0.0])
        elapsed = time.perf_counter() - start

        print(f"{exchanges} exchanges, {exchanges / elapsed:,.0f} per second")
        print(f"deepest {deepest * 1e3:.3f} mm, final depth {(wall - position[UP]) * 1e3:.3f} mm")
        if push:
            print(f"(a push of {push:g} N rests at {push / args.stiffness * 1e3:.3f} mm)")
        return 0
    finally:
        if simulator:
            simulator.stop()


if __name__ == "__main__":
    sys.exit(main())
