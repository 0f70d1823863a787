#!/usr/bin/python3
"""The arm's force loop three ways, and the grip's status stream, against brivane-sim.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/compare.py

The same exchange (a 13-byte force command, a 25-byte end-effector state) as fast as it
goes, in rounds that take turns so that each way sees the same machine:

  module     Kalvar.end_effector_force from Python, this project's module;
  pyserial   what a user writes without it: pyserial and struct, write, read(1), read(24);
  C++        the library's Kalvar in a C++ program (bench/kalvar_loop.cpp), the limit the
             module can approach;
  floor      for reference, the exchange without the library in the fewest system
             calls (write, poll, read): what the link itself costs;

each against a simulated arm that answers at once and one that answers after 1 ms. Every
run is its own process; CPU is that process's user + system time. Then the grip streams
status messages at 10,000 per second to a Handle subclass whose Python callback counts
them, and again at five times that rate; the simulator counts the messages the host did
not take in time.
"""
import argparse
import array
import json
import os
import pathlib
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from simulator import Simulator, simulator_path  # noqa: E402

FORCE = (0.0, 0.0, 0.0)
WAYS = ("module", "pyserial", "C++", "floor")
LATENCIES = (0, 1000)  # µs


def cpu_seconds():
    # The scheduler's exact count (user + system), not getrusage's tick samples.
    return time.clock_gettime(time.CLOCK_PROCESS_CPUTIME_ID)


def timed_loop(exchange, seconds, latency_file):
    """Runs `exchange` for `seconds`; writes the latencies; returns the counts."""
    clock = time.perf_counter_ns
    latencies = array.array("q")
    cpu_start = cpu_seconds()
    start = clock()
    end = start + int(seconds * 1e9)
    while True:
        before = clock()
        if before >= end:
            break
        exchange()
        latencies.append(clock() - before)
    wall = (clock() - start) / 1e9
    cpu = cpu_seconds() - cpu_start
    with open(latency_file, "wb") as out:
        latencies.tofile(out)
    return {"exchanges": len(latencies), "wall": wall, "cpu": cpu}


def module_worker(port, seconds, latency_file):
    import BrivaneHardwareAPI as api

    arm = api.Kalvar(api.SerialStream(port))
    assert arm.device_wakeup()[1] == 4, "no Kalvar"
    force = list(FORCE)
    for _ in range(100):
        arm.end_effector_force(force)
    return timed_loop(lambda: arm.end_effector_force(force), seconds, latency_file)


def pyserial_worker(port, seconds, latency_file):
    import serial

    line = serial.Serial(port, 115200, timeout=5.0)
    command = struct.Struct("<B3f")
    state = struct.Struct("<6f")

    def end_effector_force(force):
        line.write(command.pack(0x2A, *force))
        if line.read(1) != b"\x2b":
            raise RuntimeError("wrong answer")
        values = state.unpack(line.read(24))
        return values[:3], values[3:]

    line.write(b"\x0a")
    assert line.read(22)[3] == 4, "no Kalvar"
    for _ in range(100):
        end_effector_force(FORCE)
    return timed_loop(lambda: end_effector_force(FORCE), seconds, latency_file)


def run_way(way, port, seconds):
    """One timed run in its own process: counts and the latencies in ns."""
    with tempfile.NamedTemporaryFile(suffix=".lat") as latency_file:
        if way in ("C++", "floor"):
            command = [str(pathlib.Path(simulator_path()).parent / "kalvar_loop")]
            command += ["--raw"] if way == "floor" else []
        else:
            command = [sys.executable, __file__, "--worker", way]
        command += [port, str(seconds), latency_file.name]
        result = subprocess.run(command, capture_output=True, text=True, timeout=seconds + 60)
        if result.returncode != 0:
            raise RuntimeError(f"{way} run failed: {result.stderr}")
        counts = json.loads(result.stdout.splitlines()[-1])
        latencies = array.array("q")
        latencies.frombytes(latency_file.read())
    return counts, latencies


def percentile(values, fraction):
    return values[min(len(values) - 1, int(fraction * len(values)))]


def force_loops(rounds, seconds):
    """Per way and latency: the medians over the rounds, and the pooled percentiles.

    A neighbour's burst of work lands on whichever run is going at the time; the median of
    the rounds keeps one such run from deciding a ratio.
    """
    runs = {(way, latency): [] for way in WAYS for latency in LATENCIES}
    latencies = {key: [] for key in runs}
    simulators = {latency: Simulator("arm", "--latency-us", latency) for latency in LATENCIES}
    try:
        for round_number in range(rounds):
            for latency in LATENCIES:
                for way in WAYS:
                    counts, run_latencies = run_way(way, simulators[latency].port, seconds)
                    runs[way, latency].append(counts)
                    latencies[way, latency].extend(run_latencies)
            print(f"round {round_number + 1} of {rounds} done", file=sys.stderr)
    finally:
        for simulator in simulators.values():
            simulator.stop()

    figures = {}
    for key, counts in runs.items():
        pooled = sorted(latencies[key])
        figures[key] = {
            "rate": statistics.median(c["exchanges"] / c["wall"] for c in counts),
            "cpu_us": statistics.median(c["cpu"] / c["exchanges"] * 1e6 for c in counts),
            "cpu_share": statistics.median(c["cpu"] / c["wall"] for c in counts),
            "p50_us": percentile(pooled, 0.50) / 1e3,
            "p99_us": percentile(pooled, 0.99) / 1e3,
        }
    return figures


def status_stream(rate, count):
    """Status messages through a Python callback: received, dropped, time and CPU."""
    import BrivaneHardwareAPI as api

    class Counter(api.Handle):
        def __init__(self, stream):
            super().__init__(stream)
            self.received = 0

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, error_flag, hall_level,
                                         user_data_length, user_data):
            self.received += 1

    with Simulator("grip", "--rate", rate, "--count", count) as simulator:
        grip = Counter(api.SerialStream(simulator.port))
        grip.SendHandleState(1, 1, 7)  # user data in every status
        grip.SendDeviceWakeup()
        grip.Receive()  # the handle information
        cpu_start = cpu_seconds()
        start = last = time.perf_counter()
        while grip.received < count:
            if grip.Receive() < 0:
                break  # a message was lost: nothing more came within the device timeout
            last = time.perf_counter()
        wall = last - start
        cpu = cpu_seconds() - cpu_start
        received = grip.received
        del grip
    dropped = int(re.search(r"(\d+) dropped", simulator.report).group(1))
    return {"sent": count, "received": received, "dropped": dropped, "wall": wall, "cpu": cpu}


def report(figures, streams, args):
    cores = os.cpu_count()
    load = os.getloadavg()[0]
    print(f"Force loop: {args.rounds} rounds of {args.seconds:g} s per way and latency, taking "
          f"turns; {cores} cores, load average {load:.1f}")
    for latency in LATENCIES:
        title = "answers at once" if latency == 0 else f"answers after {latency / 1000:g} ms"
        print(f"\n{title:<22}{'rate/s':>9}{'CPU µs':>9}{'CPU %':>8}{'p50 µs':>9}{'p99 µs':>9}")
        for way in WAYS:
            f = figures[way, latency]
            print(f"  {way:<20}{f['rate']:>9,.0f}{f['cpu_us']:>9.1f}{f['cpu_share'] * 100:>8.1f}"
                  f"{f['p50_us']:>9.0f}{f['p99_us']:>9.0f}")

    def ratio(key, other, latency):
        return figures["module", latency][key] / figures[other, latency][key]

    print(f"\n{'ratios':<28}{'at once':>10}{'after 1 ms':>12}")
    for label, key, other in (("rate module/pyserial", "rate", "pyserial"),
                              ("rate module/C++", "rate", "C++"),
                              ("rate module/floor", "rate", "floor"),
                              ("CPU module/pyserial", "cpu_us", "pyserial"),
                              ("CPU module/C++", "cpu_us", "C++")):
        print(f"  {label:<26}{ratio(key, other, 0):>9.2f}×{ratio(key, other, 1000):>11.2f}×")

    print()
    for stream in streams:
        print(f"Grip status stream at {stream['sent'] / args.stream_seconds:,.0f}/s for "
              f"{args.stream_seconds:g} s: {stream['received']:,} of {stream['sent']:,} through "
              f"the Python callback, {stream['dropped']} dropped; "
              f"{stream['received'] / stream['wall']:,.0f}/s, "
              f"{stream['cpu'] / max(stream['received'], 1) * 1e6:.1f} CPU µs per message, "
              f"{stream['cpu'] / stream['wall'] * 100:.0f}% of a core")

    def verdict(ok):
        return "met" if ok else "MISSED"

    at_once_rate = ratio("rate", "pyserial", 0)
    at_once_cpp = ratio("rate", "C++", 0)
    at_once_cpu = ratio("cpu_us", "pyserial", 0)
    late_rate = ratio("rate", "C++", 1000) - 1
    late_share = figures["module", 1000]["cpu_share"]
    stream = streams[0]
    received_rate = stream["received"] / stream["wall"]
    lossless = stream["received"] == stream["sent"] and stream["dropped"] == 0
    print("\ntargets")
    print(f"  at once: module rate ≥ 3× pyserial's       {at_once_rate:5.2f}×  "
          f"{verdict(at_once_rate >= 3)}")
    print(f"  at once: module rate ≥ 0.8× C++'s          {at_once_cpp:5.2f}×  "
          f"{verdict(at_once_cpp >= 0.8)}")
    print(f"  at once: module CPU ≤ 0.5× pyserial's      {at_once_cpu:5.2f}×  "
          f"{verdict(at_once_cpu <= 0.5)}")
    print(f"  1 ms: module rate within 3% of C++'s       {late_rate * 100:+5.1f}%  "
          f"{verdict(abs(late_rate) <= 0.03)}")
    print(f"  1 ms: module CPU ≤ 3% of wall time         {late_share * 100:5.1f}%  "
          f"{verdict(late_share <= 0.03)}")
    print(f"  grip: {args.stream_rate:,} status/s through a callback, no loss  "
          f"{verdict(lossless and received_rate >= 0.97 * args.stream_rate)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.5, help="length of one run")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--stream-rate", type=int, default=10000)
    parser.add_argument("--stream-seconds", type=float, default=3.0)
    parser.add_argument("--worker", choices=("module", "pyserial"), help=argparse.SUPPRESS)
    args, rest = parser.parse_known_args()
    if args.worker:
        worker = module_worker if args.worker == "module" else pyserial_worker
        print(json.dumps(worker(rest[0], float(rest[1]), rest[2])))
        return 0

    figures = force_loops(args.rounds, args.seconds)
    streams = [status_stream(rate, int(rate * args.stream_seconds))
               for rate in (args.stream_rate, 5 * args.stream_rate)]
    report(figures, streams, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
