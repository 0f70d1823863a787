#!/usr/bin/python3
"""What brivane.Recorder costs a servo, what its files weigh, and how fast they read.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/recorder.py \
        [--seconds 5] [--repeats 2]

In the same run, against brivane-sim's arm held by its simulated hand, with a Spring:

  servo       brivane.Servo at 1 and 4 kHz for SECONDS, without a recorder and with one
              (a chunk a second), alternating REPEATS times, so that both see the same
              machine: the period's p99 and maximum, the overruns and failures of each;
  file        the recorded file's size, per minute of the session;
  10 minutes  600,000 samples-like rows (1 kHz for 10 min) appended through the recorder's
              own writer (brivane.recording.Table, 1,000 rows and a flush a chunk), then
              read back whole into numpy with brivane.recording.read.
"""
import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import time

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator  # noqa: E402

import numpy  # noqa: E402

import brivane  # noqa: E402
from brivane import recorder, recording  # noqa: E402

RATES = (1000, 4000)
SPRING = brivane.Spring((0.0, 0.0245, 0.215), 200.0)


def servo_run(arm, rate, seconds, path=None):
    """The servo's stats over `seconds`, recorded into `path` when given."""
    servo = brivane.Servo(arm, rate=rate, ramp=0.0)
    servo.effects = [SPRING]
    with servo:
        if path is None:
            time.sleep(seconds)
        else:
            with brivane.Recorder(path, servo):
                time.sleep(seconds)
    return servo.stats


def synthesised(path, rows, chunk_rows):
    """Seconds to append `rows` rows in chunks through the recorder's writer."""
    dtype = recorder._stored_dtype()
    chunk = numpy.zeros(chunk_rows, dtype=dtype)
    chunk["position"] = (0.0, 0.0245, 0.2195)
    chunk["period"] = 0.001
    start = time.perf_counter()
    with recording.create(path) as file:
        file.attrs["format"] = recording.FORMAT
        file.attrs["complete"] = True
        group = file.create_group("samples")
        table = recording.Table(group, dtype, chunk_rows)
        group.attrs["epoch"] = 1.0
        group.attrs["dropped"] = 0
        file.swmr_mode = True
        for first in range(0, rows, chunk_rows):
            chunk["time"] = numpy.arange(first, first + chunk_rows) * 0.001
            table.append(chunk)
            file.flush()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repeats", type=int, default=2)
    options = parser.parse_args()
    figures = {(rate, way): [] for rate in RATES for way in ("without", "with")}
    sizes = {rate: [] for rate in RATES}
    with tempfile.TemporaryDirectory() as folder, \
            Simulator("arm", "--hand", "hold=200") as simulator, \
            brivane.Arm(simulator.port, timeout=0.5) as arm:
        for repeat in range(options.repeats):
            for rate in RATES:
                for way in ("without", "with") if repeat % 2 == 0 else ("with", "without"):
                    path = os.path.join(folder, f"{rate}-{repeat}.h5") if way == "with" else None
                    figures[rate, way].append(servo_run(arm, rate, options.seconds, path))
                    if path is not None:
                        sizes[rate].append(os.path.getsize(path) / options.seconds * 60 / 1e6)
        ten_minutes = os.path.join(folder, "ten-minutes.h5")
        write_s = synthesised(ten_minutes, 600_000, 1000)
        start = time.perf_counter()
        samples = brivane.recording.read(ten_minutes).samples
        read_s = time.perf_counter() - start
        ten_mb = os.path.getsize(ten_minutes) / 1e6
        assert len(samples) == 600_000

    print(f"servo against brivane-sim, {options.seconds:g} s a run, {options.repeats} runs "
          "each, alternating (median of the runs; max: the largest)")
    print(f"{'rate':>6} {'recorder':<9}{'p99 us':>8}{'max us':>9}{'overruns':>10}"
          f"{'failures':>10}{'periods':>9}{'MB/min':>8}")
    for rate in RATES:
        for way in ("without", "with"):
            runs = figures[rate, way]
            size = f"{statistics.median(sizes[rate]):>8.2f}" if way == "with" else f"{'':>8}"
            print((f"{rate:>6} {way:<9}"
                  f"{statistics.median(s.period_p99_us for s in runs):>8.0f}"
                  f"{max(s.period_max_us for s in runs):>9.0f}"
                  f"{sum(s.overruns for s in runs):>10}{sum(s.failures for s in runs):>10}"
                  f"{sum(s.periods for s in runs):>9}{size}").rstrip())
    print(f"10 minutes at 1 kHz (600,000 rows, {ten_mb:.1f} MB): written in {write_s:.2f} s "
          f"({write_s / 600 * 1e3:.2f} ms a chunk), read into numpy in {read_s:.2f} s")


if __name__ == "__main__":
    main()
