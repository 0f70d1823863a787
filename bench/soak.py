#!/usr/bin/python3
"""A long run of the arm's force exchange against brivane-sim: does anything grow or fail?

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/soak.py

Runs --exchanges force exchanges (1,000,000 unless given) with Kalvar.end_effector_force
and reports the process's resident memory at the start and the end, the error lines the
library printed (its standard error is counted, not shown) and the exchanges that came
back as all zeros. Optionally with a simulator fault (--fault drop-every=N) to soak the
failure path too; that costs a time-out per dropped answer.
"""
import argparse
import os
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from simulator import Simulator  # noqa: E402

import BrivaneHardwareAPI as api  # noqa: E402


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exchanges", type=int, default=1_000_000)
    parser.add_argument("--fault", help="a brivane-sim fault mode, e.g. drop-every=100000")
    args = parser.parse_args()

    options = ["--fault", args.fault] if args.fault else []
    with Simulator("arm", *options) as simulator, tempfile.TemporaryFile() as errors:
        stream = api.SerialStream(simulator.port)
        arm = api.Kalvar(stream)
        force = [0.0, 0.0, 0.5]
        for _ in range(1000):  # warm up: the first lists and the allocator's arenas
            arm.end_effector_force(force)
        saved = os.dup(2)
        os.dup2(errors.fileno(), 2)
        zero = ([0.0] * 3, [0.0] * 3)
        zeros = 0
        start_rss = resident_kib()
        start = time.perf_counter()
        try:
            for i in range(args.exchanges):
                if arm.end_effector_force(force) == zero:
                    zeros += 1
                if i == args.exchanges // 2:
                    middle_rss = resident_kib()
        finally:
            elapsed = time.perf_counter() - start
            end_rss = resident_kib()
            os.dup2(saved, 2)
            os.close(saved)
        errors.seek(0)
        lines = errors.read().count(b"\n")

    print(f"{args.exchanges:,} exchanges in {elapsed:.1f} s ({args.exchanges / elapsed:,.0f}/s)")
    print(f"resident memory: {start_rss:,} KiB at the start, {middle_rss:,} KiB half-way, "
          f"{end_rss:,} KiB at the end")
    print(f"error lines: {lines:,}; zero results: {zeros:,}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
