#!/usr/bin/python3
"""A trace as data: brivane.trace.read on a made-up arm session of a million frames, against
reading the same text with a plain Python loop, and brivane-trace --csv and --plot on it.

    PYTHONPATH=$PWD/build/python BRIVANE_TRACE=$PWD/build/brivane-trace \\
        /usr/bin/python3 bench/trace_data.py [--frames N] [--keep FILE]

Each reader runs in a process of its own, so that its peak memory (the resident set's high
mark, above the same interpreter's after importing numpy and brivane) is its own. The plain
loop is the least a Python reader does: each line split, its hex made bytes, and the
position and velocity of each end-effector state unpacked into lists.
"""
import argparse
import math
import os
import pathlib
import random
import struct
import subprocess
import sys
import tempfile
import time

READERS = {
    "brivane.trace.read": """
session = brivane.trace.read(path)
rows = len(session.exchanges)
""",
    "plain Python loop": """
import struct
times, positions = [], []
rows = 0
with open(path) as text:
    for line in text:
        if line[0] in "#b\\n":
            continue
        time_us, direction, data = line.split(None, 2)
        chunk = bytes.fromhex(data)
        if direction == ">":
            times.append(int(time_us) / 1e6)
            rows += 1
        elif chunk[0] == 0x2B:
            positions.append(struct.unpack_from("<6f", chunk, 1))
""",
}

MEASURE = """
import resource, sys, time
import numpy, brivane, brivane.trace
path = sys.argv[1]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
started = time.perf_counter()
{code}
elapsed = time.perf_counter() - started
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(elapsed, (peak - base) / 1024, rows)
"""


def made_up_session(path, frames):
    """An arm's force loop at 1 kHz: the hand moves slowly round a circle against a spring
    and bobs up and down, the host's period wanders around 1 ms with now and then a late
    one, the answers take 60-150 µs and now and then far longer."""
    def floats(*values):
        return struct.pack(f"<{len(values)}f", *values).hex()

    chance = random.Random(1)
    turn = 2 * math.pi / 100.0  # a circle in 100 s
    with open(path, "w") as out:
        out.write("brivane-trace 1\n# port: made up\n")
        t, lines = 0.0, []
        for i in range(frames // 2):
            s = t / 1e6
            x, y = 0.02 * math.cos(turn * s), 0.02 * math.sin(turn * s)
            z = 0.1 + 0.005 * math.sin(7 * turn * s)
            velocity = (-0.02 * turn * math.sin(turn * s), 0.02 * turn * math.cos(turn * s),
                        0.005 * 7 * turn * math.cos(7 * turn * s))
            answer = 60 + chance.expovariate(1 / 20) + (chance.random() < 0.001) * 600
            lines.append(f"{int(t)} > 2a{floats(-200 * x, -200 * y, 0.0)}\n"
                         f"{int(t + answer)} < 2b{floats(x, y, z, *velocity)}\n")
            t += 1000 + chance.gauss(0, 15) + (chance.random() < 0.0005) * 2500
            if len(lines) == 10000:
                out.write("".join(lines))
                lines.clear()
        out.write("".join(lines))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--keep", help="keep the made-up trace in this file")
    args = parser.parse_args()
    folder = pathlib.Path(tempfile.mkdtemp())
    path = pathlib.Path(args.keep) if args.keep else folder / "million.trace"
    made_up_session(path, args.frames)
    size = path.stat().st_size
    print(f"a made-up arm session of {args.frames:,} frames: {size / 1e6:.1f} MB")
    print(f"  {'':20} {'seconds':>8} {'peak MB':>8} {'rows':>9}")
    for name, code in READERS.items():
        out = subprocess.run([sys.executable, "-c", MEASURE.format(code=code), str(path)],
                             check=True, capture_output=True, text=True).stdout
        elapsed, peak, rows = out.split()
        print(f"  {name:20} {float(elapsed):8.2f} {float(peak):8.0f} {int(rows):9,}")
    decoder = os.environ.get("BRIVANE_TRACE", "brivane-trace")
    for what in ("--csv", "--plot"):
        out = folder / ("session.csv" if what == "--csv" else "session.png")
        started = time.perf_counter()
        subprocess.run([decoder, what, str(out), str(path)], check=True,
                       stderr=subprocess.DEVNULL)
        print(f"  brivane-trace {what:6} {time.perf_counter() - started:8.2f} s"
              f"  ({out.stat().st_size / 1e6:.1f} MB)")
        out.unlink()
    if not args.keep:
        path.unlink()
    folder.rmdir()


if __name__ == "__main__":
    main()
