#!/usr/bin/python3
"""The servo's timing and rendering against a bare thread's and a Python loop's.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/servo.py \
        [--seconds 20] [--only timing,rates,walls,slow,faults,death,lock,law,compiled,glide]

Every way in the same run, so that each sees the same machine:

  floor       a bare C++ thread sleeping to absolute deadlines at 1 kHz, no I/O
              (bench/deadline_floor.cpp): its lateness is what any periodic thread gets;
  servo       brivane.Servo at 1 kHz for SECONDS, the Python main thread idle, then
              churning (allocating and collecting garbage at 100% of its thread);
  python      the best Python loop with brivane.Arm (sleep to near the deadline, spin to it,
              exchange; on a miss it keeps the last force), in the same two conditions (the
              churn on a second thread);
  rates       the servo at 1, 2, 4 and 8 kHz for a quarter of SECONDS each: overruns;
  walls       brivane-sim's hand pushing 1 N into a Plane at 1,000 to 30,000 N/m and
              damping 0, 3 and 10 N·s/m: the depth and the peak-to-peak wobble once
              settled, servo and Python loop, each row judged stable or not;
  slow arm    the same wall at 1,000 N/m against a simulator that answers 950 us after each
              request: depth, servo against Python loop, and the rates they kept;
  faults      an arm played on a pseudo-terminal (tests/brivane/test_servo_faults.py)
              answering one request late, or never, on a constant 1 N: the periods
              without a fresh state and the force's dip on the wire, servo and Python loop;
  death       a program rendering 1.5 N killed with SIGKILL: kill to the zero force on the
              wire, against stop()'s own zero and the system's reaping of the program;
  lock        the main thread holding the interpreter lock for 0.5 s: the longest gap on
              the wire and the forces meanwhile, the servo with a law, without one, and the
              Python loop on a thread of its own;
  law         a law returning its sample's time as a force (and 1 N beside it, which says how
              much of it was used): how many periods behind its sample each force the servo
              uses is, idle and with the main thread churning;
  compiled    a spring to a point above brivane-sim's holding hand at 1, 2 and 4 kHz for an
              eighth of SECONDS each (at least 2 s), as an effect with no law, as a numba
              cfunc (brivane.CompiledLaw) and as a Python law: the periods' p99 and
              overruns, idle and with the main thread holding the interpreter lock for 0.5 s,
              and then the longest period and how much of the spring's force was kept;
              and on a played arm at 1 kHz, 0.5 N each way: the longest gap on the wire
              while the lock is held, and the least force sent then;
  glide       a Spring's anchor moving 1 cm each 20 ms at 1 kHz, by servo.glide over the
              20 ms against replacing the set (servo.effects = ...) at each step: the
              largest and the p99 change of the force from one period to the next.

Lateness: how long after its deadline a period's work began. Period deviation: how far
each period's length was from the nominal one.
"""
import argparse
import gc
import json
import pathlib
import signal
import statistics
import subprocess
import sys
import threading
import time

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPOSITORY / "examples"))
sys.path.insert(0, str(REPOSITORY / "tests" / "brivane"))
from simulator import Simulator, simulator_path  # noqa: E402

import numpy  # noqa: E402

import brivane  # noqa: E402
from test_servo_faults import PlayedArm  # noqa: E402

WALL_PUSH = 1.0  # N, the simulated hand's
WALL_MAX_FORCE = 4.0
STIFFNESSES = (1000, 3000, 10000, 30000)
DAMPINGS = (0.0, 3.0, 10.0)
PERIOD = 0.001
# A wall is stable when it wobbles less than this share of its expected depth once settled,
# and settles within DEPTH_SHARE of that depth.
WOBBLE_SHARE = 0.2
DEPTH_SHARE = 0.5
LATE_ANSWER = 0.0013  # s: past the 1 ms period, within the servo's 2 ms wait for it
FAULTS = 5  # of each kind, 300 requests apart
MISSES = (brivane.NoAnswer, brivane.BadAnswer)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else 0.0


def churn_once():
    junk = [{"a": [i] * 8} for i in range(2000)]
    junk.append(junk)
    del junk
    gc.collect(0)


def churn_for(seconds):
    """The calling thread churns: as a busy program's main thread, it holds the lock."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        churn_once()


class Churn:
    """Allocation and garbage collection at 100% of a thread, holding the interpreter lock
    as any busy Python thread does."""

    def __init__(self):
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            churn_once()

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exception):
        self.stop.set()
        self.thread.join()


def hold_lock(seconds):
    """The main thread keeps the interpreter lock for `seconds`, as a long C call does; the
    times it held it from and until."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    try:
        # Threads already waiting for the lock wait out the old interval once: let them.
        time.sleep(0.02)
        held_from = time.monotonic()
        while time.monotonic() - held_from < seconds:
            pass
        held_until = time.monotonic()
    finally:
        sys.setswitchinterval(interval)
    return held_from, held_until


def wait_for(condition, seconds=5.0):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.005)
    return condition()


def run_servo(servo, seconds, during=None):
    """Runs `servo` for `seconds` (the main thread doing `during`, else asleep); what
    stopped it early, or None."""
    servo.start()
    try:
        (during or time.sleep)(seconds)
    except BaseException:
        servo.stop()
        raise
    try:
        servo.stop()
    except brivane.DeviceError as error:
        return type(error).__name__
    return None


def floor(seconds):
    program = pathlib.Path(simulator_path()).parent / "deadline_floor"
    result = subprocess.run([str(program), "1000", str(seconds)], capture_output=True, text=True,
                            check=True)
    return json.loads(result.stdout)


def servo_run(rate, seconds, churn=False, effects=()):
    with Simulator("arm") as simulator, brivane.Arm(simulator.port, timeout=0.05) as arm:
        servo = brivane.Servo(arm, rate=rate, ramp=0.0)
        servo.effects = list(effects)
        cpu = []

        def during(seconds):
            cpu.append(time.process_time())
            (churn_for if churn else time.sleep)(seconds)
            cpu.append(time.process_time())

        run_servo(servo, seconds, during)
        samples = servo.samples()
        # With the main thread asleep the process's processor time is the servo thread's.
        servo_run.cpu_us_per_period = (cpu[1] - cpu[0]) * 1e6 / max(servo.stats.periods, 1)
        return servo.stats, samples


class Loop:
    """What a Python loop did, period by period: each exchange's start (time.monotonic(),
    the played arm's clock), whether it brought a state, the deadlines skipped after it,
    the height reached, and its lateness and period."""

    def __init__(self):
        self.times, self.fresh, self.skipped, self.heights = [], [], [], []
        self.late_us, self.periods_us = [], []

    def rate(self):
        span = self.times[-1] - self.times[0] if len(self.times) > 1 else 0.0
        return (len(self.times) - 1) / span if span > 0 else 0.0


def python_loop(arm, seconds, force_of=None, force=(0.0, 0.0, 0.0), churn=False, loop=None):
    """The best a Python program does with brivane.Arm: sleep to near the deadline, spin to
    it, exchange; a miss keeps the last force. `force_of(state)` gives the next force."""
    loop = loop or Loop()
    context = Churn() if churn else None
    if context:
        context.__enter__()
    try:
        deadline = time.monotonic() + PERIOD
        end = deadline + seconds
        last = None
        while deadline < end:
            left = deadline - time.monotonic()
            if left > 0.0005:
                time.sleep(left - 0.0005)
            while time.monotonic() < deadline:
                pass
            now = time.monotonic()
            loop.late_us.append((now - deadline) * 1e6)
            if last is not None:
                loop.periods_us.append((now - last) * 1e6)
            last = now
            try:
                state = arm.force(force)
            except MISSES:
                fresh = False
            else:
                fresh = True
                if force_of is not None:
                    force = force_of(state)
                loop.heights.append((now, state.position[2]))
            deadline += PERIOD
            skipped = 0
            after = time.monotonic()
            if after > deadline:  # skip, never burst
                skipped = 1 + int((after - deadline) / PERIOD)
                deadline += PERIOD * skipped
            loop.times.append(now)
            loop.fresh.append(fresh)
            loop.skipped.append(skipped)
    finally:
        if context:
            context.__exit__()
    return loop


def deviation(periods_us, nominal_us):
    return [abs(p - nominal_us) for p in periods_us]


# The walls


def plane_law(top, stiffness, damping):
    """The Plane's force, as the servo's effect computes it, for the Python loop."""
    def force_of(state):
        depth = top - state.position[2]
        push = stiffness * depth - damping * state.velocity[2] if depth > 0 else 0.0
        return (0.0, 0.0, max(-WALL_MAX_FORCE, min(push, WALL_MAX_FORCE)))
    return force_of


def wall_figures(times, heights):
    """Depth below the wall and peak-to-peak wobble over the last half second, mm."""
    if not times:
        return float("nan"), float("nan")
    tail = [h for t, h in zip(times, heights) if t >= times[-1] - 0.5]
    return -statistics.fmean(tail) * 1000, (max(tail) - min(tail)) * 1000


def stable(depth, wobble, expected):
    return wobble < WOBBLE_SHARE * expected and abs(depth - expected) <= DEPTH_SHARE * expected


def servo_wall(stiffness, damping, seconds, options=(), rate=1000):
    hand = ("--hand", f"push=0,0,{-WALL_PUSH}")
    with Simulator("arm", *hand, *options) as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        top = arm.force((0, 0, 0)).position
        # No ramp, as the Python loop has none: both start the wall alike, so that what is
        # left of the start's ringing after 1.5 s is the same for both.
        servo = brivane.Servo(arm, rate=rate, ramp=0.0, max_force=WALL_MAX_FORCE)
        servo.effects = [brivane.Plane(top, (0, 0, 1), stiffness, damping=damping)]
        stopped = run_servo(servo, seconds)
        samples = servo.samples()
    answered = samples[samples["outcome"] == 0]
    depth, wobble = wall_figures(list(answered["time"]), list(answered["position"][:, 2] - top[2]))
    return depth, wobble, servo.stats, stopped


def python_wall(stiffness, damping, seconds, options=()):
    hand = ("--hand", f"push=0,0,{-WALL_PUSH}")
    with Simulator("arm", *hand, *options) as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        top = arm.force((0, 0, 0)).position[2]
        loop = python_loop(arm, seconds, plane_law(top, stiffness, damping))
    times = [t for t, _ in loop.heights]
    depth, wobble = wall_figures(times, [h - top for _, h in loop.heights])
    return depth, wobble, loop


def walls(seconds):
    run = max(2.0, seconds / 10)
    print(f"\nwalls: the hand pushes {WALL_PUSH:g} N into a plane for {run:g} s; depth and "
          "peak-to-peak wobble over the last 0.5 s, mm;")
    print(f"stable: wobble below {WOBBLE_SHARE:.0%} of the expected depth, depth within "
          f"{DEPTH_SHARE:.0%} of it")
    print("the servo at 1 kHz beside the Python loop (which holds no more), and at 4 kHz")
    print(f"{'N/m':>6}{'N·s/m':>7}{'expected':>10}{'servo':>9}{'p-p':>8}{'':>10}{'late':>6}"
          f"{'lost':>6}{'python':>9}{'p-p':>8}{'':>10}{'misses':>7}{'4 kHz':>9}{'p-p':>8}"
          f"{'':>10}")
    rows = []
    for stiffness in STIFFNESSES:
        for damping in DAMPINGS:
            expected = WALL_PUSH / stiffness * 1000
            s_depth, s_pp, stats, stopped = servo_wall(stiffness, damping, run)
            p_depth, p_pp, loop = python_wall(stiffness, damping, run)
            f_depth, f_pp, _, f_stopped = servo_wall(stiffness, damping, run, rate=4000)
            s_ok = stopped is None and stable(s_depth, s_pp, expected)
            p_ok = stable(p_depth, p_pp, expected)
            f_ok = f_stopped is None and stable(f_depth, f_pp, expected)
            rows.append((stiffness, damping, s_pp, s_ok, p_pp, p_ok, f_ok))
            s_word = stopped or ("stable" if s_ok else "unstable")
            f_word = f_stopped or ("stable" if f_ok else "unstable")
            print(f"{stiffness:>6}{damping:>7g}{expected:>10.3f}{s_depth:>9.3f}{s_pp:>8.3f}"
                  f"{s_word:>10}{stats.late:>6}{stats.failures:>6}{p_depth:>9.3f}{p_pp:>8.3f}"
                  f"{'stable' if p_ok else 'unstable':>10}{loop.fresh.count(False):>7}"
                  f"{f_depth:>9.3f}{f_pp:>8.3f}{f_word:>10}")
    both = [r for r in rows if r[3] and r[5]]
    better = [r for r in both if r[2] <= r[4]]
    print("targets")
    verdict = ("met" if len(better) == len(both) else "MISSED") if both else \
        "not judged: no row stable both ways"
    print(f"  servo's wobble <= python loop's where both are stable: {len(better)} of "
          f"{len(both)} rows: {verdict}")
    worse = [f"{r[0]}/{r[1]:g}" for r in both if r[2] > r[4]]
    if worse:
        print(f"    worse at (N/m / N·s/m): {', '.join(worse)}")
    servo_top = max((r[0] for r in rows if r[3] or r[6]), default=0)
    python_top = max((r[0] for r in rows if r[5]), default=0)
    bounded = " (the stiffest tried)" if servo_top == STIFFNESSES[-1] else ""
    print(f"  stiffest stable wall: servo {servo_top} N/m{bounded} (at 1 or 4 kHz), python loop "
          f"{python_top} N/m; servo >= 2x python loop's: "
          f"{'met' if servo_top and servo_top >= 2 * python_top else 'MISSED'}")


def slow_arm(seconds):
    run = max(2.0, seconds / 10)
    latency = ("--latency-us", 950)
    print(f"\na slow arm: brivane-sim answering 950 us after each request, 1 kHz asked; the "
          f"wall at 1000 N/m, damping 3, for {run:g} s")
    print(f"{'way':<14}{'depth mm':>10}{'p-p mm':>8}{'rate Hz':>9}{'late':>7}{'lost':>6}"
          f"{'behind':>8}")
    s_depth, s_pp, stats, stopped = servo_wall(1000, 3.0, run, latency)
    print(f"{'servo':<14}{s_depth:>10.3f}{s_pp:>8.3f}{stats.rate_hz:>9.0f}{stats.late:>7}"
          f"{stats.failures:>6}{str(stats.behind):>8}{'  stopped: ' + stopped if stopped else ''}")
    p_depth, p_pp, loop = python_wall(1000, 3.0, run, latency)
    print(f"{'python loop':<14}{p_depth:>10.3f}{p_pp:>8.3f}{loop.rate():>9.0f}{'':>7}"
          f"{loop.fresh.count(False):>6}")
    ratio = s_depth / p_depth if p_depth else float("inf")
    print(f"target: depths within 10% of each other: servo / python loop = {ratio:.3f}: "
          f"{'met' if abs(ratio - 1) <= 0.1 else 'MISSED'}")


# The played arm: faults, death, the lock


def fault_plan(kind):
    what = ("late", LATE_ANSWER) if kind == "late" else "lost"
    return {300 * (k + 1): what for k in range(FAULTS)}


def wire_window(forces, start, end):
    return [f for f in forces if start <= f[0] <= end]


def longest_gap_ms(frames):
    return max(numpy.diff([f[0] for f in frames]), default=0.0) * 1000 if len(frames) > 1 else 0.0


def servo_faults(kind):
    """The servo on a constant 1 N; per fault, the run of periods it marked as having no
    fresh state, and the smallest force and longest gap on the wire around it."""
    plan = fault_plan(kind)
    arm = PlayedArm(misbehave=plan)
    try:
        with brivane.Arm(arm.path, timeout=0.5) as device:
            servo = brivane.Servo(device, rate=1000, ramp=0.0)
            servo.effects = [brivane.ConstantForce((1.0, 0, 0))]
            servo.start()
            forces = arm.wait_for_forces(max(plan) + 100)
            servo.stop()
            samples = servo.samples()
            stats = servo.stats
    finally:
        arm.close()
    # Each period sends one request, once the one before was answered or given up: period
    # N's is request N.
    if len(samples) < len(forces):
        raise RuntimeError(f"{len(forces)} requests on the wire from {len(samples)} periods")
    flags = samples["flags"]
    per_fault = []
    for number in plan:
        unfresh = 0
        while number + unfresh < len(flags) and flags[number + unfresh] & 2:
            unfresh += 1
        frames = forces[number - 1:number + unfresh + 3]
        per_fault.append((unfresh, min(f[1] for f in frames), longest_gap_ms(frames)))
    return per_fault, stats.late, stats.failures


def python_faults(kind):
    """The Python loop on the same played arm; it counts the periods whose exchange brought
    no state and the deadlines it skipped."""
    plan = fault_plan(kind)
    arm = PlayedArm(misbehave=plan)
    try:
        # Its shortest sensible time-out: a lost answer costs the loop that long and more.
        with brivane.Arm(arm.path, timeout=0.005) as device:
            # Long enough for every fault and a lost answer's quiet after each.
            loop = python_loop(device, (max(plan) + 100) * PERIOD + 0.3 * FAULTS,
                               force=(1.0, 0.0, 0.0))
        forces = arm.forces()
    finally:
        arm.close()
    if len(forces) <= max(plan):
        raise RuntimeError(f"the Python loop sent {len(forces)} requests, fewer than the faults "
                           "need")
    times = numpy.array(loop.times)
    per_fault = []
    for number in plan:
        at = forces[number][0]
        index = int(numpy.searchsorted(times, at)) - 1  # the exchange that sent it
        unfresh = 0
        i = index
        while i < len(times) and not loop.fresh[i]:
            unfresh += 1 + loop.skipped[i]
            i += 1
        if i < len(times):
            unfresh += loop.skipped[i]
        # The requests from the one before the fault to the one after the next fresh state.
        settled = times[min(i + 1, len(times) - 1)] + 0.0005
        frames = wire_window(forces, forces[number - 1][0], settled)
        per_fault.append((unfresh, min(f[1] for f in frames), longest_gap_ms(frames)))
    return per_fault


def faults():
    print(f"\nfaults: a played arm at 1 kHz, a constant 1 N; {FAULTS} faults of each kind, "
          "each way; the worst fault")
    print(f"{'fault':<18}{'way':<14}{'unfresh periods':>16}{'dip':>7}{'gap ms':>8}"
          f"{'late':>6}{'lost':>6}")
    for kind, label in (("late", f"late {LATE_ANSWER * 1000:g} ms"), ("lost", "lost")):
        per_fault, late, lost = servo_faults(kind)
        print(f"{label:<18}{'servo':<14}{max(f[0] for f in per_fault):>16}"
              f"{min(f[1] for f in per_fault):>7.3f}{max(f[2] for f in per_fault):>8.1f}"
              f"{late:>6}{lost:>6}")
        per_fault = python_faults(kind)
        print(f"{'':<18}{'python loop':<14}{max(f[0] for f in per_fault):>16}"
              f"{min(f[1] for f in per_fault):>7.3f}{max(f[2] for f in per_fault):>8.1f}")
    print("  unfresh periods: the servo's marked without a fresh state (flag 2); the loop's "
          "without a state or skipped.\n  dip: the smallest force on the wire around the "
          "fault / 1 N. gap: the longest time between two requests on the wire there.")


DYING = (
    "import brivane, sys, time\n"
    "arm = brivane.Arm(sys.argv[1], timeout=0.5)\n"
    "servo = brivane.Servo(arm, ramp=0.0)\n"
    "servo.effects = [brivane.ConstantForce((1.5, 0, 0))]\n"
    "servo.start()\n"
    "print('rendering', flush=True)\n"
    "time.sleep(60)\n")


def first_zero_after(arm, moment, seconds=2.0):
    """When the first zero force after `moment` reached the arm, or None."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        zero = next((f[0] for f in arm.forces() if f[0] > moment and f[1:] == [0, 0, 0]), None)
        if zero is not None:
            return zero
        time.sleep(0.002)
    return None


def pushing(arm, x):
    return any(abs(f[1] - x) < 1e-6 for f in arm.forces()[-5:])


def death(trials=20):
    killed_ms, reaped_ms, stopped_ms = [], [], []
    for _ in range(trials):
        arm = PlayedArm()
        child = subprocess.Popen([sys.executable, "-c", DYING, arm.path], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        try:
            if child.stdout.readline() != "rendering\n":
                raise RuntimeError(f"the dying program did not start: {child.stderr.read()}")
            wait_for(lambda: pushing(arm, 1.5))
            time.sleep(0.1)
            killed = time.monotonic()
            child.send_signal(signal.SIGKILL)
            child.wait(timeout=20)
            reaped_ms.append((time.monotonic() - killed) * 1000)
            zero = first_zero_after(arm, killed)
            killed_ms.append((zero - killed) * 1000 if zero else float("inf"))
        finally:
            child.kill()
            child.wait()
            arm.close()
    arm = PlayedArm()
    try:
        with brivane.Arm(arm.path, timeout=0.5) as device:
            servo = brivane.Servo(device, ramp=0.0)
            servo.effects = [brivane.ConstantForce((1.5, 0, 0))]
            for _ in range(trials):
                servo.start()
                wait_for(lambda: pushing(arm, 1.5))
                time.sleep(0.05)
                asked = time.monotonic()
                servo.stop()
                zero = first_zero_after(arm, asked)
                stopped_ms.append((zero - asked) * 1000 if zero else float("inf"))
    finally:
        arm.close()
    print(f"\ndeath: a program rendering 1.5 N on a played arm, {trials} trials, ms")
    print(f"{'way':<44}{'p50':>8}{'max':>8}")
    for label, values in (("SIGKILL: the kill to the zero on the wire", killed_ms),
                          ("  the kill to the program reaped", reaped_ms),
                          ("stop(): the call to the zero on the wire", stopped_ms)):
        print(f"{label:<44}{statistics.median(values):>8.1f}{max(values):>8.1f}")


def lock():
    """The main thread holds the interpreter lock for 0.5 s in the middle of a run."""
    print("\nthe lock: the main thread holds the interpreter lock for 0.5 s; on the wire "
          "meanwhile (constant 1 N in x,\nthe law's 0.5 N in z; times from the hold's start, "
          "ms)")
    print(f"{'way':<22}{'longest gap':>12}{'own max':>9}{'x min':>7}{'law whole to':>14}"
          f"{'law 0 from':>12}{'law back':>10}")
    for way, law in (("servo, no law", False), ("servo, a law", True),
                     ("python loop, thread", False)):
        arm = PlayedArm()
        samples = None
        try:
            with brivane.Arm(arm.path, timeout=0.5) as device:
                if way.startswith("servo"):
                    servo = brivane.Servo(device, rate=1000, ramp=0.0)
                    servo.effects = [brivane.ConstantForce((1.0, 0, 0))]
                    if law:
                        servo.law = lambda sample: (0.0, 0.0, 0.5)
                    servo.start()
                    wait_for(lambda: servo.state.force[0] == 1.0 and
                             (not law or servo.state.force[2] == 0.5))
                    time.sleep(0.1)
                    held_from, held_until = hold_lock(0.5)
                    time.sleep(0.2)
                    servo.stop()
                    samples = servo.samples()
                else:
                    looping = threading.Thread(target=python_loop, args=(device, 1.0),
                                               kwargs={"force": (1.0, 0.0, 0.0)})
                    looping.start()
                    time.sleep(0.2)
                    held_from, held_until = hold_lock(0.5)
                    looping.join()
            forces = arm.forces()
        finally:
            arm.close()
        held = wire_window(forces, held_from, held_until)
        gap = longest_gap_ms(wire_window(forces, held_from - 0.01, held_until + 0.01))
        x_min = min((f[1] for f in held), default=0.0)
        line = f"{way:<22}{gap:>12.1f}"
        if samples is not None:
            # The servo's own longest period then: period N sent request N.
            numbers = [i for i, f in enumerate(forces) if held_from <= f[0] <= held_until]
            own = max(samples["period"][numbers[0]:numbers[-1] + 2]) * 1000 if numbers else 0.0
            line += f"{own:>9.1f}"
        else:
            line += f"{'':>9}"
        line += f"{x_min:>7.2f}" if held else f"{'none':>7}"
        if law:
            whole = max((f[0] for f in held if f[3] == 0.5), default=held_from)
            zero = next((f[0] for f in held if f[3] == 0.0), None)
            back = next((f[0] for f in forces if f[0] > held_until and f[3] == 0.5), None)
            line += f"{(whole - held_from) * 1000:>+14.1f}"
            line += f"{(zero - held_from) * 1000:>+12.1f}" if zero else f"{'never':>12}"
            line += f"{(back - held_until) * 1000:>+10.1f}" if back else f"{'never':>10}"
        print(line)
    print("  own max: the servo's longest period in its samples then; law back: from the "
          "hold's end.")


def law_latency(seconds):
    """A law returns its sample's time as the force's x and 1 N as its y: each later sample's
    y is the share of the law's force the servo used (faded once stale), and x / y the time of
    the sample the law answered."""
    run = max(2.0, seconds / 4)
    print(f"\nthe law's latency: a law returning (sample.time, 1, 0) at 1 kHz, {run:g} s each: "
          "sample time less the answered sample's,\nand the share of the law's force used")
    print(f"{'main thread':<24}{'samples':>8}{'whole':>8}{'faded':>8}{'zero':>7}{'mean':>7}"
          f"{'p50 per':>9}{'p99 per':>9}{'p50 ms':>8}{'p99 ms':>8}{'max ms':>8}")
    for label, churn, interval in (("idle", False, None), ("churning", True, None),
                                   ("churning, 1 ms switches", True, 0.001)):
        with Simulator("arm") as simulator, brivane.Arm(simulator.port, timeout=0.05) as arm:
            servo = brivane.Servo(arm, rate=1000, ramp=0.0, max_force=1000.0)
            servo.law = lambda sample: (sample.time, 1.0, 0.0)
            switching = sys.getswitchinterval()
            if interval:
                sys.setswitchinterval(interval)
            try:
                run_servo(servo, run, churn_for if churn else None)
            finally:
                sys.setswitchinterval(switching)
            samples = servo.samples()
        times = samples["time"]
        share = samples["force"][:, 1]
        first = int(numpy.argmax(share > 0))  # the law's first answer
        share, xs, at = share[first:], samples["force"][first:, 0], times[first:]
        used = share > 0
        answered = xs[used] / share[used]
        k = numpy.clip(numpy.searchsorted(times, answered), 1, len(times) - 1)
        k -= numpy.abs(times[k - 1] - answered) < numpy.abs(times[k] - answered)
        behind = list(at[used] - times[k])
        p50, p99 = percentile(behind, 0.5), percentile(behind, 0.99)
        count = max(len(share), 1)
        print(f"{label:<24}{len(samples):>8}{numpy.count_nonzero(share == 1) / count:>8.1%}"
              f"{numpy.count_nonzero(used & (share < 1)) / count:>8.1%}"
              f"{numpy.count_nonzero(~used) / count:>7.1%}{share.mean():>7.2f}"
              f"{p50 / PERIOD:>9.2f}{p99 / PERIOD:>9.2f}{p50 * 1000:>8.2f}{p99 * 1000:>8.2f}"
              f"{max(behind, default=0) * 1000:>8.2f}")
    print("  whole / faded / zero: samples whose law force was used whole, faded, not at all; "
          "mean: the share used on average.\n  The floor is 1 period (a law answers at best "
          "the sample before); the effects answer each sample's own state: 0.")


# Compiled laws and glides

SPRING = 200.0  # N/m, the law's and the effect's
SPRING_OFFSET = 0.005  # m above the start: a steady pull against the hand's hold
HOLD_HAND = ("--hand", "hold=2000")


def compiled_spring(anchor, stiffness):
    """The Spring's force as a numba cfunc: the anchor and stiffness are frozen into it."""
    from numba import cfunc, types

    ax, ay, az = (float(a) for a in anchor)
    k = float(stiffness)

    @cfunc(types.void(types.CPointer(types.float64), types.CPointer(types.float64)))
    def law(sample, force):
        force[0] = k * (ax - sample[1])
        force[1] = k * (ay - sample[2])
        force[2] = k * (az - sample[3])

    return brivane.CompiledLaw(law)


def python_spring(anchor, stiffness):
    def law(sample):
        p = sample.position
        return (stiffness * (anchor[0] - p[0]), stiffness * (anchor[1] - p[1]),
                stiffness * (anchor[2] - p[2]))
    return law


def spring_run(rate, way, seconds, hold):
    """The spring as `way` ("effect", "compiled", "python") for `seconds`; with `hold`, the
    main thread holds the interpreter lock for 0.5 s from 0.5 s in. The stats, the samples
    and the hold's span on the samples' clock."""
    with Simulator("arm", *HOLD_HAND) as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        start = arm.force((0, 0, 0)).position
        anchor = (start[0], start[1], start[2] + SPRING_OFFSET)
        servo = brivane.Servo(arm, rate=rate, ramp=0.0)
        if way == "effect":
            servo.effects = [brivane.Spring(anchor, SPRING)]
        elif way == "compiled":
            servo.law = compiled_spring(anchor, SPRING)
        else:
            servo.law = python_spring(anchor, SPRING)
        span = None

        def during(seconds):
            nonlocal span
            if not hold:
                time.sleep(seconds)
                return
            time.sleep(0.5)
            held_from, held_until = hold_lock(0.5)
            span = (held_from - began, held_until - began)
            time.sleep(max(0.0, seconds - (held_until - began)))

        began = time.monotonic()
        stopped = run_servo(servo, seconds, during)
        samples = servo.samples()
    return servo.stats, samples, span, stopped


def compiled_constant(z):
    from numba import cfunc, types

    z = float(z)

    @cfunc(types.void(types.CPointer(types.float64), types.CPointer(types.float64)))
    def law(sample, force):
        force[2] = z

    return brivane.CompiledLaw(law)


def wire_hold(way):
    """0.5 N in z at 1 kHz on a played arm (whose position runs away, so no spring: a
    constant), as `way`; the main thread holds the lock for 0.5 s. The longest gap between
    requests on the wire around the hold (ms) and the least z force sent during it."""
    arm = PlayedArm()
    try:
        with brivane.Arm(arm.path, timeout=0.5) as device:
            servo = brivane.Servo(device, rate=1000, ramp=0.0)
            if way == "effect":
                servo.effects = [brivane.ConstantForce((0.0, 0.0, 0.5))]
            elif way == "compiled":
                servo.law = compiled_constant(0.5)
            else:
                servo.law = lambda sample: (0.0, 0.0, 0.5)
            servo.start()
            wait_for(lambda: servo.state.force[2] == 0.5)
            time.sleep(0.1)
            held_from, held_until = hold_lock(0.5)
            time.sleep(0.2)
            servo.stop()
        forces = arm.forces()
    finally:
        arm.close()
    held = wire_window(forces, held_from, held_until)
    gap = longest_gap_ms(wire_window(forces, held_from - 0.01, held_until + 0.01))
    return gap, min((f[3] for f in held), default=float("nan")), len(held)


def compiled(seconds):
    run = max(2.0, seconds / 8)
    print(f"\ncompiled laws: a spring of {SPRING:g} N/m to {SPRING_OFFSET * 1000:g} mm above "
          f"the start, against brivane-sim's hand holding it (hold=2000), {run:g} s each:")
    print("as an effect (no law), as a numba cfunc law, as a Python law; idle, and with the "
          "main thread holding the interpreter lock for 0.5 s")
    print(f"{'Hz':>6}  {'way':<10}{'main':<7}{'per p99 us':>11}{'per max us':>11}"
          f"{'overruns':>9}{'failures':>9}{'hold max us':>12}{'force in hold':>14}")
    for rate in (1000, 2000, 4000):
        for way in ("effect", "compiled", "python"):
            for hold in (False, True):
                stats, samples, span, stopped = spring_run(rate, way, run, hold)
                periods = samples["period"][1:] * 1e6
                line = (f"{rate:>6}  {way:<10}{'held' if hold else 'idle':<7}"
                        f"{percentile(list(periods), 0.99):>11.0f}{max(periods):>11.0f}"
                        f"{stats.overruns:>9}{stats.failures:>9}")
                if span:
                    times = samples["time"]
                    # The steady pull before the hold, and the least of it while held.
                    before = samples["force"][(times > 0.3) & (times < span[0]), 2]
                    inside = (times >= span[0]) & (times <= span[1])
                    steady = float(numpy.median(before)) if len(before) else 0.0
                    held = samples["force"][inside, 2]
                    share = float(held.min()) / steady if steady and len(held) else 0.0
                    longest = samples["period"][inside].max() * 1e6 if inside.any() else 0.0
                    line += f"{longest:>12.0f}{share:>14.2f}"
                print(line + (f"  stopped: {stopped}" if stopped else ""))
                sys.stdout.flush()
    print("  per: the periods' lengths; hold max: the longest period while the lock was held;\n"
          "  force in hold: the least z force then over the steady one before it (1: kept, "
          "0: faded out).")
    print("on the wire: a played arm (tests/brivane/test_servo_faults.py), 0.5 N in z at 1 kHz, "
          "the main thread holding the lock for 0.5 s")
    print(f"{'way':<18}{'longest gap ms':>15}{'z min N':>9}{'requests':>10}")
    for way in ("effect", "compiled", "python"):
        gap, least, count = wire_hold(way)
        print(f"{way:<18}{gap:>15.1f}{least:>9.2f}{count:>10}")
    print("  requests: the force requests the arm received while the lock was held (500 on "
          "time).")


GLIDE_STEP = 0.01  # m, the anchor's move each update
GLIDE_EVERY = 0.02  # s: 50 Hz updates


def glide_run(way, seconds):
    """A spring's anchor moved back and forth by GLIDE_STEP each GLIDE_EVERY, by glides over
    that time or by replacing the set; the samples."""
    with Simulator("arm", "--hand", "hold=500") as simulator, \
            brivane.Arm(simulator.port, timeout=0.05) as arm:
        start = arm.force((0, 0, 0)).position
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [brivane.Spring(start, 100.0)]
        servo.start()
        try:
            deadline = time.monotonic() + 0.2
            for update in range(int(seconds / GLIDE_EVERY)):
                time.sleep(max(0.0, deadline - time.monotonic()))
                offset = GLIDE_STEP if update % 2 == 0 else 0.0
                effects = [brivane.Spring((start[0] + offset, start[1], start[2]), 100.0)]
                if way == "glide":
                    servo.glide(effects, GLIDE_EVERY)
                else:
                    servo.effects = effects
                deadline += GLIDE_EVERY
            time.sleep(0.1)
        finally:
            servo.stop()
        return servo.samples()


def glide(seconds):
    run = max(2.0, seconds / 10)
    print(f"\nglides: a Spring of 100 N/m whose anchor moves {GLIDE_STEP * 100:g} cm each "
          f"{GLIDE_EVERY * 1000:g} ms (back and forth) for {run:g} s at 1 kHz,")
    print(f"by servo.glide over {GLIDE_EVERY * 1000:g} ms against replacing the set "
          "(servo.effects = ...); the force's change from one period to the next, N")
    print(f"{'way':<22}{'periods':>8}{'max step':>10}{'p99 step':>10}{'p50 step':>10}"
          f"{'peak force':>11}")
    for way, label in (("glide", "glide"), ("swap", "effects swapped")):
        samples = glide_run(way, run)
        steps = numpy.linalg.norm(numpy.diff(samples["force"], axis=0), axis=1)
        print(f"{label:<22}{len(samples):>8}{steps.max():>10.3f}"
              f"{percentile(list(steps), 0.99):>10.3f}{percentile(list(steps), 0.5):>10.3f}"
              f"{numpy.linalg.norm(samples['force'], axis=1).max():>11.3f}")
    print("  step: the length of the difference between two periods' forces "
          "(servo.samples()['force']).")


def timing(seconds):
    print(f"servo timing, {seconds:g} s per run at 1 kHz")
    base = floor(seconds)
    print(f"{'way':<26}{'late p50':>10}{'late p99':>10}{'late max':>10}{'per p99 dev':>13}"
          f"{'overruns':>10}{'failures':>10}")
    print(f"{'floor: bare thread':<26}{base['late_p50_us']:>10.0f}{base['late_p99_us']:>10.0f}"
          f"{base['late_max_us']:>10.0f}{'':>13}{'':>10}{'':>10}")
    results = {}
    for churn in (False, True):
        label = "churning" if churn else "idle"
        stats, samples = servo_run(1000, seconds, churn)
        devs = deviation(samples["period"][1:] * 1e6, 1000.0)
        results[("servo", churn)] = percentile(devs, 0.99)
        results[("servo late", churn)] = stats.late_p99_us
        results[("servo overruns", churn)] = stats.overruns
        print(f"{'servo, main ' + label:<26}{'':>10}{stats.late_p99_us:>10.0f}"
              f"{stats.late_max_us:>10.0f}{percentile(devs, 0.99):>13.0f}{stats.overruns:>10}"
              f"{stats.failures:>10}")
        if not churn:
            print(f"{'  its CPU per period':<26}{servo_run.cpu_us_per_period:>10.1f} us")
        with Simulator("arm") as simulator, brivane.Arm(simulator.port, timeout=0.05) as arm:
            loop = python_loop(arm, seconds, churn=churn)
        devs = deviation(loop.periods_us, 1000.0)
        results[("python", churn)] = percentile(devs, 0.99)
        overruns = sum(1 for p in loop.periods_us if p > 2000)
        print(f"{'python loop, ' + label:<26}{percentile(loop.late_us, 0.5):>10.0f}"
              f"{percentile(loop.late_us, 0.99):>10.0f}{max(loop.late_us):>10.0f}"
              f"{percentile(devs, 0.99):>13.0f}{overruns:>10}{loop.fresh.count(False):>10}")
    limit = 1.5 * base["late_p99_us"] + 50
    late = results[("servo late", False)]
    print("\ntargets, against the ways of this run")
    print(f"  idle: servo late p99 {late:.0f} us <= 1.5 x floor's + 50 = {limit:.0f} us: "
          f"{'met' if late <= limit else 'MISSED'}")
    overruns = results[("servo overruns", False)]
    print(f"  idle: servo overruns {overruns} (target 0 on a quiet machine): "
          f"{'met' if overruns == 0 else 'MISSED'}")
    ratio = results[("servo", True)] / max(results[("python", True)], 1e-9)
    print(f"  churning: servo period p99 deviation / python loop's = {ratio:.2f} (target <= 0.2): "
          f"{'met' if ratio <= 0.2 else 'MISSED'}")


def rates(seconds):
    print(f"\nrates, {seconds / 4:g} s each{'':<6}{'periods':>10}{'overruns':>10}{'share':>9}"
          f"{'failures':>10}{'late p99':>10}")
    for rate in (1000, 2000, 4000, 8000):
        stats, _ = servo_run(rate, seconds / 4)
        share = stats.overruns / max(stats.periods, 1)
        print(f"  {rate:>5} Hz{'':<18}{stats.periods:>10}{stats.overruns:>10}{share:>8.2%}"
              f"{stats.failures:>10}{stats.late_p99_us:>10.0f}")


PARTS = ("timing", "rates", "walls", "slow", "faults", "death", "lock", "law",
         "compiled", "glide")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--only", default=",".join(PARTS),
                        help="comma-separated: " + ",".join(PARTS))
    args = parser.parse_args()
    seconds = args.seconds
    chosen = args.only.split(",")
    for part in chosen:
        if part not in PARTS:
            parser.error(f"no such part: {part}")
    started = time.monotonic()
    for part, run in (("timing", lambda: timing(seconds)), ("rates", lambda: rates(seconds)),
                      ("walls", lambda: walls(seconds)), ("slow", lambda: slow_arm(seconds)),
                      ("faults", faults), ("death", death), ("lock", lock),
                      ("law", lambda: law_latency(seconds)),
                      ("compiled", lambda: compiled(seconds)), ("glide", lambda: glide(seconds))):
        if part in chosen:
            run()
            sys.stdout.flush()
    print(f"\n{time.monotonic() - started:.0f} s in all")


if __name__ == "__main__":
    main()
