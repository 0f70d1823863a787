#!/usr/bin/python3
"""The stability envelope: the stiffest wall the servo holds stable, by rate and damping.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/envelope.py \
        [--rates 500,1000,2000,4000] [--dampings 0,3,10] [--seconds 1.5] [--steps 7] \
        [--wobble-mm 0] [--quick] [--plot FILE]

For each rate and wall damping b, a bisection over the stiffness on a log scale (300 to
300,000 N/m, STEPS trials) finds the stiffest Plane that brivane-sim's hand, pushing 1 N
into it, leaves stable: once settled (the last 0.5 s of each trial of SECONDS), the height's
peak-to-peak wobble is below 20% of the expected depth (1 N / K) and the depth within 50% of
it, as the walls part of bench/servo.py judges; --wobble-mm X allows X mm of wobble where
that share is less, as a hand would not feel it. Once without and once with passivity=True.

Beside it, the bound for a sampled wall, K_max = 2 (b + B) / T, T the period. The hand here
only pushes (--hand push), with no damping of its own, so B = 0 is taken: the arm's own
friction in the simulator is left out of the bound, and at b = 0 the bound is 0 (no wall is
stable in theory), which the plot cannot show on its log scale.

--quick: 2 rates (1000, 4000 Hz) and b = 3 only. --plot FILE: K_max against the rate,
log-log, one colour per damping, solid without passivity, dashed with it, the bound dotted.
"""
import argparse
import math
import pathlib
import sys
import time

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPOSITORY / "examples"))
sys.path.insert(0, str(REPOSITORY / "bench"))
from simulator import Simulator  # noqa: E402

import brivane  # noqa: E402
from servo import DEPTH_SHARE, WALL_MAX_FORCE, WALL_PUSH, WOBBLE_SHARE, run_servo, \
    wall_figures  # noqa: E402

LOWEST, HIGHEST = 300.0, 300000.0  # N/m
HAND_DAMPING = 0.0  # N·s/m: the pushing hand has none


def wall(rate, stiffness, damping, seconds, passivity, wobble_mm=0.0):
    """One trial: the depth and wobble once settled (mm), and whether it was stable."""
    with Simulator("arm", "--hand", f"push=0,0,{-WALL_PUSH}") as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        top = arm.force((0, 0, 0)).position
        servo = brivane.Servo(arm, rate=rate, ramp=0.0, max_force=WALL_MAX_FORCE,
                              passivity=passivity)
        servo.effects = [brivane.Plane(top, (0, 0, 1), stiffness, damping=damping)]
        stopped = run_servo(servo, seconds)
        samples = servo.samples()
    answered = samples[samples["outcome"] == 0]
    depth, wobble = wall_figures(list(answered["time"]),
                                 list(answered["position"][:, 2] - top[2]))
    expected = WALL_PUSH / stiffness * 1000
    ok = stopped is None and not math.isnan(wobble) and \
        wobble < max(WOBBLE_SHARE * expected, wobble_mm) and \
        abs(depth - expected) <= DEPTH_SHARE * expected
    return depth, wobble, ok, servo.stats


def stiffest(rate, damping, seconds, passivity, steps, wobble_mm):
    """Bisection on log K: the stiffest stable wall tried (0 when none was), the softest
    unstable one (inf when none was), and the passivity periods at the stiffest stable."""
    low, high = math.log(LOWEST), math.log(HIGHEST)
    best, worst, periods = 0.0, math.inf, 0
    for _ in range(steps):
        middle = (low + high) / 2
        stiffness = round(math.exp(middle))
        _, _, ok, stats = wall(rate, stiffness, damping, seconds, passivity, wobble_mm)
        if ok:
            low, best, periods = middle, stiffness, stats.passivity_periods
        else:
            high, worst = middle, stiffness
    return best, worst, periods


def bound(rate, damping):
    return 2 * (damping + HAND_DAMPING) * rate


def plot(results, rates, dampings, path, wobble_mm):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot

    figure, axes = pyplot.subplots(figsize=(7, 5))
    colours = pyplot.rcParams["axes.prop_cycle"].by_key()["color"]
    for index, damping in enumerate(dampings):
        colour = colours[index % len(colours)]
        for passivity, style in ((False, "-"), (True, "--")):
            points = [(rate, results[rate, damping, passivity][0]) for rate in rates
                      if results[rate, damping, passivity][0] > 0]
            if points:
                label = f"b = {damping:g}" + (", passivity" if passivity else "")
                axes.plot(*zip(*points), style, marker="o", color=colour, label=label)
        if damping + HAND_DAMPING > 0:
            axes.plot(rates, [bound(rate, damping) for rate in rates], ":", color=colour,
                      label=f"2 b / T, b = {damping:g}")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("servo rate (Hz)")
    axes.set_ylabel("stiffest stable wall (N/m)")
    allowed = f" or {wobble_mm:g} mm" if wobble_mm else ""
    axes.set_title(f"Stiffest stable Plane, brivane-sim's hand pushing {WALL_PUSH:g} N\n"
                   f"(wobble < {WOBBLE_SHARE:.0%} of the depth{allowed})", fontsize="medium")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize="small")
    figure.tight_layout()
    pathlib.Path(path).parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)


def numbers(text):
    return [float(v) for v in text.split(",") if v]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rates", type=numbers, default=[500, 1000, 2000, 4000])
    parser.add_argument("--dampings", type=numbers, default=[0, 3, 10])
    parser.add_argument("--seconds", type=float, default=1.5, help="per trial")
    parser.add_argument("--steps", type=int, default=7, help="bisection trials per search")
    parser.add_argument("--wobble-mm", type=float, default=0.0,
                        help="wobble allowed however small the expected depth (mm)")
    parser.add_argument("--quick", action="store_true", help="1000 and 4000 Hz, b = 3 only")
    parser.add_argument("--plot", metavar="FILE")
    args = parser.parse_args()
    if args.seconds < 1.0:
        parser.error("--seconds must be at least 1: the wobble is judged over the last 0.5 s")
    rates, dampings = ([1000, 4000], [3]) if args.quick else (args.rates, args.dampings)
    started = time.monotonic()
    print(f"the stiffest stable Plane, N/m: brivane-sim's hand pushing {WALL_PUSH:g} N, "
          f"{args.steps} bisection trials of {args.seconds:g} s over {LOWEST:g} to "
          f"{HIGHEST:g} N/m (log)")
    allowed = f" (or {args.wobble_mm:g} mm, whichever is more)" if args.wobble_mm else ""
    print(f"stable: wobble < {WOBBLE_SHARE:.0%} of the expected depth{allowed} and depth "
          f"within {DEPTH_SHARE:.0%} of it, over the last 0.5 s")
    print(f"bound: 2 (b + B) / T with B = {HAND_DAMPING:g} (the pushing hand has no damping)")
    print(f"{'Hz':>6}{'N·s/m':>7}{'bound':>9}{'without':>10}{'unstable':>10}{'passivity':>11}"
          f"{'unstable':>10}{'ratio':>7}{'damped':>8}")
    results = {}
    for rate in rates:
        for damping in dampings:
            for passivity in (False, True):
                results[rate, damping, passivity] = stiffest(rate, damping, args.seconds,
                                                             passivity, args.steps,
                                                             args.wobble_mm)
            (plain, plain_bad, _), (guarded, guarded_bad, periods) = \
                results[rate, damping, False], results[rate, damping, True]
            ratio = f"{guarded / plain:.2f}" if plain else "-"
            print(f"{rate:>6g}{damping:>7g}{bound(rate, damping):>9.0f}{plain:>10.0f}"
                  f"{plain_bad:>10.0f}{guarded:>11.0f}{guarded_bad:>10.0f}{ratio:>7}"
                  f"{periods:>8}", flush=True)
    print("  without / passivity: the stiffest stable wall tried (0: none); unstable: the "
          "softest unstable one tried (inf: none);\n  ratio: passivity's over without's; "
          "damped: the periods passivity damped in the stiffest stable trial")
    if args.plot:
        plot(results, rates, dampings, args.plot, args.wobble_mm)
        print(f"figure: {args.plot}")
    print(f"\n{time.monotonic() - started:.0f} s in all")


if __name__ == "__main__":
    main()
