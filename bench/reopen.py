#!/usr/bin/python3
"""How long reopen() takes to find a replugged arm again by its identity, against brivane-sim.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/reopen.py

An arm opened by its uuid among a few ports is unplugged (its simulator stopped) and comes
back under another port's name, as a USB arm does; reopen() then probes every port at once.
Printed: the reopen's time over the samples, with only answering ports and with one that
never answers (which costs the probe's time-out), and a plain open by port for reference.
"""
import os
import pathlib
import statistics
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from simulator import Simulator  # noqa: E402

import brivane  # noqa: E402


def figures(name, seconds):
    ms = sorted(s * 1000 for s in seconds)
    print(f"  {name:<40}{statistics.median(ms):>9.1f}{ms[-1]:>9.1f}")


def main(samples=20):
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        others = [Simulator("arm", "--serial", str(n)) for n in (3, 5)]
        silent = Simulator("arm", "--fault", "silent")
        current = Simulator("arm", "--serial", "9")
        first, later = folder / "first", folder / "later"
        first.symlink_to(current.port)
        answering = [*(o.port for o in others), first, later]
        wanted = next(f.identity.uuid for f in brivane.find_arms([first]))
        results = {"answering": [], "silent": []}
        plain = []
        for _ in range(samples):
            for kind, ports in (("answering", answering), ("silent", [*answering, silent.port])):
                arm = brivane.Arm(uuid=wanted, ports=ports)
                current.stop()
                (first if arm.port == str(first) else later).unlink()
                current = Simulator("arm", "--serial", "9")
                (later if arm.port == str(first) else first).symlink_to(current.port)
                start = time.perf_counter()
                arm.reopen()
                results[kind].append(time.perf_counter() - start)
                start = time.perf_counter()
                arm.close()
                brivane.Arm(arm.port).close()
                plain.append(time.perf_counter() - start)
        print(f"reopen() by identity, {samples} samples{'ms p50':>17}{'ms max':>9}")
        figures(f"{len(answering)} ports, all answering or gone", results["answering"])
        figures(f"the same and a silent one", results["silent"])
        figures("for reference: open by port", plain)
        for s in (*others, silent, current):
            s.stop()


if __name__ == "__main__":
    main(int(os.environ.get("SAMPLES", "20")))
