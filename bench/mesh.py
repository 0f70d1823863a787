#!/usr/bin/python3
"""What touching a mesh costs: the proxy's update per period, the tree's build, and a servo
rendering a mesh against the same servo rendering a Plane, in the same run.

    PYTHONPATH=build/python BRIVANE_SIM=build/brivane-sim /usr/bin/python3 bench/mesh.py \
        [--seconds 3] [--updates 200000]

  update   bench/mesh_proxy.cpp (built beside brivane-sim): the proxy's update on balls of
           12 (a cube), 10,000, 100,000 and 1,000,000 triangles, the end effector circling
           1 mm inside the surface at 0.1 m/s, beside a Plane's force and the clock alone;
           each tree's build time and memory;
  servo    brivane.Servo at 1 kHz for SECONDS against brivane-sim, its hand pushing 1 N down
           onto the top of each ball (and onto a Plane at the same height), in turns: the
           period's p50 and p99, the overruns, the depth the hand rests at, and the time to
           make the brivane.Mesh from numpy arrays. A ball's top holds a hand pushing
           straight down only with friction (without, it slides off the side, as on any
           smooth ball): its static friction is 0.5.
"""
import argparse
import pathlib
import subprocess
import sys
import time

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator, simulator_path  # noqa: E402

import numpy  # noqa: E402

import brivane  # noqa: E402

SIZES = (12, 10_000, 100_000, 1_000_000)
RADIUS = 0.05
STIFFNESS = 1000.0  # N/m: the hand's 1 N rests 1 mm in


def ball(triangles):
    """A ball of about `triangles` triangles, rings of latitude, wound to face out (the
    same as bench/mesh_proxy.cpp's); 12 gives a cube of the same height."""
    if triangles == 12:
        h = RADIUS
        corners = [(x, y, z) for z in (-h, h) for y in (-h, h) for x in (-h, h)]
        faces = [(0, 2, 3), (0, 3, 1), (4, 5, 7), (4, 7, 6), (0, 4, 6), (0, 6, 2), (1, 3, 7),
                 (1, 7, 5), (0, 1, 5), (0, 5, 4), (2, 6, 7), (2, 7, 3)]
        return numpy.array(corners, float), numpy.array(faces)
    rings = max(2, int((triangles / 4) ** 0.5))
    around = 2 * rings
    polar = numpy.pi * numpy.arange(1, rings) / rings
    azimuth = 2 * numpy.pi * numpy.arange(around) / around
    p, a = numpy.meshgrid(polar, azimuth, indexing="ij")
    rings_xyz = numpy.stack([numpy.sin(p) * numpy.cos(a), numpy.sin(p) * numpy.sin(a),
                             numpy.cos(p)], axis=-1).reshape(-1, 3)
    vertices = RADIUS * numpy.vstack([[0, 0, 1], rings_xyz, [0, 0, -1]])
    bottom = len(vertices) - 1

    def at(ring, i):
        return 1 + (ring - 1) * around + i % around

    i = numpy.arange(around)
    faces = [numpy.stack([numpy.zeros(around, int), at(1, i), at(1, i + 1)], axis=1)]
    for ring in range(1, rings - 1):
        faces.append(numpy.stack([at(ring, i), at(ring + 1, i), at(ring + 1, i + 1)], axis=1))
        faces.append(numpy.stack([at(ring, i), at(ring + 1, i + 1), at(ring, i + 1)], axis=1))
    faces.append(numpy.stack([numpy.full(around, bottom), at(rings - 1, i + 1),
                              at(rings - 1, i)], axis=1))
    return vertices, numpy.concatenate(faces)


def update_table(updates):
    program = pathlib.Path(simulator_path()).parent / "mesh_proxy"
    if not program.exists():
        return f"(no {program}: cmake --build build --target mesh_proxy)"
    return subprocess.run([str(program), str(updates)], check=True, capture_output=True,
                          text=True).stdout.rstrip()


def servo_row(name, make_effect, seconds):
    """`make_effect()` gives an effect and a function that puts it under a given top; it is
    made first, since the hand goes on pushing the arm down while a large mesh is built."""
    with Simulator("arm", "--hand", "push=0,0,-1") as simulator, \
            brivane.Arm(simulator.port) as arm:
        made = time.perf_counter()
        effect, under = make_effect()
        made = time.perf_counter() - made
        top = arm.force((0, 0, 0)).position
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [under(effect, top)]
        with servo:
            time.sleep(seconds)
            stats = servo.stats
            samples = servo.samples()
    settled = samples[len(samples) // 2:-1]
    depth = (top[2] - 0.001 - settled["position"][:, 2].mean()) * 1e3
    return (f"{name:<24} {made * 1e3:9.1f} {stats.period_p50_us:8.0f} {stats.period_p99_us:8.0f}"
            f" {stats.overruns:9d} {stats.failures:9d} {depth:9.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--updates", type=int, default=200_000)
    options = parser.parse_args()

    print("The proxy's update, in C++ (bench/mesh_proxy.cpp):")
    print(update_table(options.updates))
    print()
    print("A 1 kHz servo, the simulated hand pushing 1 N down onto each, in turns:")
    print(f"{'effect':<24} {'make ms':>9} {'p50 µs':>8} {'p99 µs':>8} {'overruns':>9}"
          f" {'failures':>9} {'depth mm':>9}")

    def plane():
        return None, lambda _, top: brivane.Plane((0, 0, top[2] - 0.001), (0, 0, 1), STIFFNESS,
                                                  2.0)

    def on_top(mesh, top):  # the ball's top 1 mm under the end effector
        return mesh.moved(brivane.Pose((top[0], top[1], top[2] - 0.001 - RADIUS)))

    rows = [("Plane", plane)]
    for size in SIZES:
        vertices, faces = ball(size)

        def mesh(vertices=vertices, faces=faces):
            return brivane.Mesh(vertices, faces, STIFFNESS, damping=2.0, static_friction=0.5,
                                dynamic_friction=0.4), on_top
        rows.append((f"Mesh, {len(faces):,} triangles", mesh))
    for name, make in rows:
        print(servo_row(name, make, options.seconds), flush=True)


if __name__ == "__main__":
    main()
