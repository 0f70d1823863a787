#!/usr/bin/python3
"""The servo with a physics engine stepping beside it, against the servo alone.

    BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/physics.py build-example

Runs the C++ examples built in the folder given (docs/cpp.md says how): physics, the arm
coupled to a MuJoCo scene stepping at 500 Hz on a thread of its own, and servo, the plain
servo rendering a wall, in turns, each against a fresh brivane-sim whose hand pushes the
arm out as the physics example needs. Printed: each run's servo period (p50, p99, max),
overruns and failures, the engine's step rate and its cost, then the medians of each way.
"""
import argparse
import pathlib
import re
import statistics
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from simulator import Simulator  # noqa: E402

HAND = ("--hand", "push=0,0,1.5", "--hand", "hold=0,30")
SERVO = re.compile(r"(?P<periods>\d+) periods at (?P<rate>[\d.]+) Hz: (?P<overruns>\d+) "
                   r"overruns, (?P<failures>\d+) failures")
PERIOD = re.compile(r"period p50 (?P<p50>\d+) us, p99 (?P<p99>\d+) us, max (?P<max>\d+) us")
ENGINE = re.compile(r"engine: .*?(?P<steps>\d+) steps at (?P<step_rate>[\d.]+) Hz of \d+ "
                    r"asked, (?P<late>\d+) late; a step takes (?P<cost>[\d.]+) us")
COLUMNS = ["p50", "p99", "max", "overruns", "failures", "step_rate", "late", "cost"]


def run(program: pathlib.Path, seconds: float) -> dict:
    with Simulator("arm", *HAND) as arm:
        result = subprocess.run([str(program), arm.port, str(seconds)], capture_output=True,
                                text=True, timeout=seconds + 60)
    if result.returncode != 0:
        sys.exit(f"{program.name} failed: {result.stdout}{result.stderr}")
    figures = {}
    for pattern in (SERVO, PERIOD, ENGINE):
        found = pattern.search(result.stdout)
        if found:
            figures.update({k: float(v) for k, v in found.groupdict().items()})
    return figures


def row(name: str, figures: dict) -> str:
    cells = [f"{figures[c]:>10.{1 if c in ('step_rate', 'cost') else 0}f}" if c in figures
             else f"{'':>10}" for c in COLUMNS]
    return (f"{name:<16}" + "".join(cells)).rstrip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("examples", type=pathlib.Path, help="the folder of the built examples")
    parser.add_argument("--seconds", type=float, default=10.0, help="each run (10)")
    parser.add_argument("--rounds", type=int, default=3, help="runs of each way (3)")
    options = parser.parse_args()
    ways = {"physics": options.examples / "physics", "servo alone": options.examples / "servo"}
    for program in ways.values():
        if not program.exists():
            sys.exit(f"no {program}: build examples/cpp there first (docs/cpp.md)")
    print(f"{options.rounds} rounds of {options.seconds:g} s each way, in turns; periods in us,"
          " the engine's steps per second and a step's mean cost in us")
    print(f"{'way':<16}" + "".join(f"{c:>10}" for c in COLUMNS))
    runs = {name: [] for name in ways}
    for _ in range(options.rounds):
        for name, program in ways.items():
            runs[name].append(run(program, options.seconds))
            print(row(name, runs[name][-1]), flush=True)
    print("medians")
    for name, figures in runs.items():
        print(row(name, {c: statistics.median(f[c] for f in figures) for c in figures[0]}))


if __name__ == "__main__":
    main()
