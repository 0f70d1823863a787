#!/usr/bin/python3
"""The recording proxy's cost, and the trace decoder's speed.

    PYTHONPATH=$PWD/build/python BRIVANE_SIM=$PWD/build/brivane-sim \\
        /usr/bin/python3 bench/trace.py [--seconds S] [--rounds N] [--frames N]

First the arm's force exchange (Kalvar.end_effector_force, as fast as it goes) against
brivane-sim directly and through brivane-sim --proxy in front of it, recording, in rounds
that take turns: the rates, the latency percentiles, the added p50 and the rate ratio. Then
brivane-trace on a made-up arm session of a million frames: the file's size per frame, and
the time to print every frame and to summarise.
"""
import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator, simulator_path  # noqa: E402

LOOP = """
import sys, time
import BrivaneHardwareAPI as api
arm = api.Kalvar(api.SerialStream(sys.argv[1]))
arm.device_wakeup()
clock = time.perf_counter_ns
latencies = []
end = clock() + int(float(sys.argv[2]) * 1e9)
start = clock()
while True:
    before = clock()
    if before >= end:
        break
    arm.end_effector_force([0.0, 0.0, 0.0])
    latencies.append(clock() - before)
elapsed = (clock() - start) / 1e9
latencies.sort()
print(len(latencies) / elapsed, *(latencies[int(q * len(latencies))] / 1e3 for q in (0.5, 0.99)))
"""


def loop(port, seconds):
    out = subprocess.run([sys.executable, "-c", LOOP, port, str(seconds)], check=True,
                         capture_output=True, text=True, timeout=60).stdout
    return [float(x) for x in out.split()]


def proxy_against_direct(seconds, rounds):
    results = {"direct": [], "proxy": []}
    with Simulator("arm") as arm, tempfile.TemporaryDirectory() as folder:
        for _ in range(rounds):
            results["direct"].append(loop(arm.port, seconds))
            proxy = subprocess.Popen([simulator_path(), "--proxy", arm.port, "--overwrite",
                                      "--record", os.path.join(folder, "bench.trace")],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            port = proxy.stdout.readline().strip()
            results["proxy"].append(loop(port, seconds))
            proxy.communicate(timeout=30)
    print(f"force exchange for {seconds:g} s, {rounds} rounds each (medians)")
    print(f"  {'':8} {'rate/s':>9} {'p50 µs':>8} {'p99 µs':>8}")
    medians = {}
    for way, runs in results.items():
        medians[way] = [statistics.median(run[i] for run in runs) for i in range(3)]
        rate, p50, p99 = medians[way]
        print(f"  {way:8} {rate:9,.0f} {p50:8.0f} {p99:8.0f}")
    print(f"  added p50 {medians['proxy'][1] - medians['direct'][1]:.0f} µs, "
          f"rate proxy/direct {medians['proxy'][0] / medians['direct'][0]:.2f}×")


def decoder_speed(frames):
    trace = pathlib.Path(tempfile.mkdtemp()) / "million.trace"
    request = "2a" + "00" * 12
    answer = "2b" + "cdcc4c3d" * 6
    with open(trace, "w") as out:
        out.write("brivane-trace 1\n# port: made up\n")
        t = 0
        lines = []
        for _ in range(frames // 2):
            lines.append(f"{t} > {request}\n{t + 45} < {answer}\n")
            t += 70
            if len(lines) == 10000:
                out.write("".join(lines))
                lines.clear()
        out.write("".join(lines))
    size = trace.stat().st_size
    decoder = pathlib.Path(os.environ.get("BRIVANE_TRACE") or
                           pathlib.Path(simulator_path()).parent / "brivane-trace")
    print(f"decoder on {frames:,} frames: {size / 1e6:.1f} MB, {size / frames:.1f} bytes per frame")
    for what, options in (("every frame printed", []), ("summary", ["--summary"])):
        started = time.perf_counter()
        subprocess.run([str(decoder), *options, str(trace)], check=True,
                       stdout=subprocess.DEVNULL)
        elapsed = time.perf_counter() - started
        print(f"  {what:20} {elapsed:6.2f} s, {frames / elapsed:,.0f} frames per second")
    trace.unlink()
    trace.parent.rmdir()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--frames", type=int, default=1_000_000)
    args = parser.parse_args()
    proxy_against_direct(args.seconds, args.rounds)
    decoder_speed(args.frames)


if __name__ == "__main__":
    main()
