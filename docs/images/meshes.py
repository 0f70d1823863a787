#!/usr/bin/python3
"""Draws the pictures of docs/meshes.md again, from servos rendering meshes against
brivane-sim's hand:

    PYTHONPATH=$PWD/build/python BRIVANE_SIM=$PWD/build/brivane-sim \\
        /usr/bin/python3 docs/images/meshes.py

- mesh-corner.png: the hand pushes down and along +x onto a floor, slides along it and into
  the foot of a block standing on it; seen from the side, the end effector's path goes into
  both, the proxy's stays on their surface and ends in the corner, held by two faces;
- mesh-friction.png: the same push on the floor alone, without friction and with a static
  friction of 0.3 and of 0.6, undamped: how far the proxy slides, and the force along the
  surface against the force into it once landed, with the friction cones' edges.
"""
import pathlib
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
REPOSITORY = HERE.parents[1]
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator  # noqa: E402

import matplotlib  # noqa: E402

matplotlib.use("Agg")
import matplotlib.pyplot as pyplot  # noqa: E402
import numpy  # noqa: E402

import brivane  # noqa: E402

STIFFNESS = 1500.0  # N/m
PUSH = "push=0.4,0,-1"  # N: down and along +x
BLOCK = (0.02, 0.035)  # m ahead of the start: where the block's foot is, and its top above


def floor_and_block(start, block=True, damping=3.0, **friction):
    """A floor 1 mm under `start` (two triangles facing up) and a block standing on it
    (a closed box), as one mesh."""
    x, y, z = start
    z -= 0.001
    floor = numpy.array([(x - 0.1, y - 0.1, z), (x + 0.1, y - 0.1, z), (x + 0.1, y + 0.1, z),
                         (x - 0.1, y + 0.1, z)])
    triangles = [(0, 1, 2), (0, 2, 3)]
    vertices = [floor]
    if block:
        box = brivane.Mesh.box((x + BLOCK[0], y - 0.05, z), (x + 0.06, y + 0.05, z + BLOCK[1]), 1)
        vertices.append(box.vertices)
        triangles += [tuple(t + 4) for t in box.triangles]
    return brivane.Mesh(numpy.vstack(vertices), triangles, STIFFNESS, damping=damping, **friction)


def session(mesh_of, seconds):
    with Simulator("arm", "--hand", PUSH) as simulator, brivane.Arm(simulator.port) as arm:
        start = arm.force((0, 0, 0)).position
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [mesh_of(start)]
        with servo:
            time.sleep(seconds)
            samples = servo.samples()
    return numpy.asarray(start), samples[:-1]


def style(axes):
    axes.grid(True, color="#dddddd", linewidth=0.6)
    axes.set_axisbelow(True)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)


def corner():
    start, samples = session(floor_and_block, 0.8)
    x = (samples["position"][:, 0] - start[0]) * 1e3
    z = (samples["position"][:, 2] - start[2]) * 1e3
    px = (samples["proxy"][:, 0] - start[0]) * 1e3
    pz = (samples["proxy"][:, 2] - start[2]) * 1e3
    figure, axes = pyplot.subplots(figsize=(7.0, 3.6), dpi=150)
    floor = -1.0
    foot, top = BLOCK[0] * 1e3, floor + BLOCK[1] * 1e3
    axes.fill_between([-5, foot, foot, 45], [floor, floor, top, top], floor - 10,
                      color="#e8e8e8", step=None, zorder=0)
    axes.plot([-5, foot, foot, 45], [floor, floor, top, top], color="#555555", linewidth=1.2,
              label="the mesh, seen from the side")
    axes.plot(x, z, color="#d62728", linewidth=1.0, label="end effector (the hand)")
    axes.plot(px, pz, color="#1f77b4", linewidth=2.0, label="proxy")
    touching = (samples["flags"] & 8) != 0
    for i in numpy.flatnonzero(touching)[::60]:
        axes.annotate("", xy=(px[i], pz[i]), xytext=(x[i], z[i]),
                      arrowprops=dict(arrowstyle="-", color="#888888", linewidth=0.6,
                                      linestyle=(0, (2, 2))))
    axes.set_xlim(-3, foot + 6)
    axes.set_ylim(floor - 4, floor + 3)
    axes.set_xlabel("x (mm)")
    axes.set_ylabel("z (mm)")
    axes.set_title("The hand pushes down and along +x: the proxy slides on the floor into\n"
                   "the block's foot and stays in the corner; the grey dashes are the springs",
                   fontsize=9)
    axes.legend(loc="upper left", fontsize=8, frameon=False)
    style(axes)
    figure.tight_layout()
    figure.savefig(HERE / "mesh-corner.png")
    pyplot.close(figure)


def friction():
    cases = [(0.0, 0.0), (0.3, 0.25), (0.6, 0.5)]
    colours = ["#1f77b4", "#ff7f0e", "#2ca02c"]
    figure, (slide, cone) = pyplot.subplots(1, 2, figsize=(8.0, 3.4), dpi=150)
    for (static, dynamic), colour in zip(cases, colours):
        start, samples = session(
            lambda s: floor_and_block(s, block=False, damping=0.0, static_friction=static,
                                      dynamic_friction=dynamic), 0.6)
        label = "no friction" if static == 0 else f"static {static}, dynamic {dynamic}"
        # Once the landing is over: the cone is the spring's, and a landing adds damping's.
        touching = ((samples["flags"] & 8) != 0) & (samples["time"] > 0.15)
        t = samples["time"]
        slide.plot(t, (samples["proxy"][:, 0] - start[0]) * 1e3, color=colour, label=label)
        force = samples["force"][touching]
        cone.plot(force[:, 2], -force[:, 0], ".", markersize=1.5, color=colour, label=label)
    normal = numpy.linspace(0, 2.0, 2)
    for static, _ in cases[1:]:
        cone.plot(normal, static * normal, color="#999999", linewidth=0.8, linestyle="--")
    cone.text(1.5, 0.3 * 1.5 + 0.03, "0.3", fontsize=7, color="#666666")
    cone.text(1.1, 0.6 * 1.1 + 0.03, "0.6", fontsize=7, color="#666666")
    slide.set_xlabel("time (s)")
    slide.set_ylabel("proxy's x (mm)")
    slide.set_title("How far the proxy slides", fontsize=9)
    slide.legend(fontsize=7, frameon=False)
    cone.set_xlabel("force into the surface (N)")
    cone.set_ylabel("force along it, against the push (N)")
    cone.set_title("Each period's force after 0.15 s, and the cones' edges", fontsize=9)
    cone.set_xlim(0, 2.0)
    cone.set_ylim(-0.05, 0.8)
    for axes in (slide, cone):
        style(axes)
    figure.tight_layout()
    figure.savefig(HERE / "mesh-friction.png")
    pyplot.close(figure)


def main():
    corner()
    friction()


if __name__ == "__main__":
    main()
