"""brivane.Mesh against brivane-sim: a simulated hand pushes the arm onto meshes, and where it
comes to rest, and what went out on the wire, say how the proxy held it."""
import math
import pathlib
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")

TOUCHING = 8


def pushed_arm(*hand):
    return Simulator("arm", *[arg for push in hand for arg in ("--hand", push)])


def triangle_under(point, depth, size=0.1):
    """A horizontal triangle facing up, `depth` below `point`, `size` round it."""
    x, y, z = point
    z -= depth
    return ([(x - size, y - size, z), (x + size, y - size, z), (x, y + size, z)], [(0, 1, 2)])


def rest(servo, seconds):
    time.sleep(seconds)
    return servo.samples()


@pytest.mark.parametrize("push, stiffness, depth", [
    (1.0, 1000.0, 0.001),   # 1 N on 1000 N/m: a millimetre in
    (1.0, 200.0, 0.005),    # 5 mm into a single thin triangle, never through it
])
def test_the_hand_rests_in_a_thin_mesh_by_stiffness_times_depth(push, stiffness, depth):
    # The simulated arm's joints stop it 7 mm below where it starts.
    with pushed_arm(f"push=0,0,{-push}") as simulator, brivane.Arm(simulator.port) as arm:
        start = arm.force((0, 0, 0)).position
        surface = start[2] - 0.001
        servo = brivane.Servo(arm, rate=1000, ramp=0.0, max_force=3.0)
        servo.effects = [brivane.Mesh(*triangle_under(start, 0.001), stiffness=stiffness,
                                      damping=2.0)]
        with servo:
            samples = rest(servo, 1.5)
        settled = samples[-200:-1]
    assert numpy.all(settled["flags"] & TOUCHING)
    assert settled["position"][:, 2].mean() == pytest.approx(surface - depth, abs=0.2e-3)
    assert numpy.allclose(settled["proxy"][:, 2], surface, atol=1e-6)
    assert settled["force"][:, 2].mean() == pytest.approx(push, rel=0.05)
    # It was never through: every sample's proxy is on or above the surface.
    assert samples["proxy"][:, 2].min() >= surface - 1e-6


def test_a_closed_box_is_felt_from_outside_on_the_face_the_hand_comes_to():
    with pushed_arm("push=0,0,-1") as simulator, brivane.Arm(simulator.port) as arm:
        x, y, z = arm.force((0, 0, 0)).position
        box = brivane.Mesh.box((x - 0.02, y - 0.02, z - 0.05), (x + 0.02, y + 0.02, z - 0.002),
                               stiffness=1000, damping=2.0)
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [box]
        with servo:
            settled = rest(servo, 1.0)[-200:-1]
    assert settled["position"][:, 2].mean() == pytest.approx(z - 0.003, abs=0.2e-3)
    assert numpy.allclose(settled["force"].mean(axis=0), (0, 0, 1), atol=0.05)


@pytest.mark.parametrize("static, dynamic, slides", [
    (0.0, 0.0, True),
    (0.1, 0.05, True),    # 0.3 N along on 1 N into it is past a cone of 0.1
    (0.6, 0.5, False),    # and within one of 0.6
])
def test_friction_holds_the_hand_within_its_cone_and_lets_it_slide_past(static, dynamic, slides):
    """The hand pushes 1 N down and 0.3 N along +x; the arm's joints stop a slide some
    60 mm on, so a slide is judged between 0.3 s and 0.6 s, once the landing's bounce is
    over, and a stick over the last 0.3 s. A period whose answer was lost or late fades
    the force, and the hand, pushed on, may slip: the stick is judged in runs without."""
    with pushed_arm("push=0.3,0,-1") as simulator, brivane.Arm(simulator.port) as arm:
        start = arm.force((0, 0, 0)).position
        mesh = brivane.Mesh(*triangle_under(start, 0.0005, size=0.15), stiffness=2000,
                            damping=3.0, static_friction=static, dynamic_friction=dynamic)
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [mesh]
        with servo:
            samples = rest(servo, 0.9)
        stats = servo.stats
    window = (0.3, 0.6) if slides else (0.55, 0.85)
    judged = samples[(samples["time"] > window[0]) & (samples["time"] < window[1])]
    assert numpy.all(judged["flags"] & TOUCHING)
    travel = judged["proxy"][-1, 0] - judged["proxy"][0, 0]
    force = judged["force"].mean(axis=0)
    if slides:
        assert travel > 0.01
        # Sliding, the surface resists with dynamic friction times the force into it.
        assert force[0] == pytest.approx(-dynamic * force[2], abs=0.02)
    elif stats.failures == 0 and stats.overruns == 0:
        assert abs(travel) < 1e-6
        assert force[0] == pytest.approx(-0.3, abs=0.05)
    else:
        assert abs(travel) < 0.01  # held back, if not still


def test_a_mesh_glided_up_lifts_the_hand_resting_on_it():
    with pushed_arm("push=0,0,-1") as simulator, brivane.Arm(simulator.port) as arm:
        start = arm.force((0, 0, 0)).position
        mesh = brivane.Mesh(*triangle_under(start, 0.003), stiffness=1000, damping=2.0)
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [mesh]
        with servo:
            before = rest(servo, 0.8)[-100:]
            servo.glide([mesh.moved(brivane.Pose((0, 0, 0.004)))], 0.3)
            after = rest(servo, 1.0)[-100:]
            with pytest.raises(ValueError, match="same mesh"):
                servo.glide([brivane.Mesh(mesh.vertices, mesh.triangles, 1000)], 0.1)
    lifted = after["position"][:, 2].mean() - before["position"][:, 2].mean()
    assert lifted == pytest.approx(0.004, abs=0.3e-3)
    assert numpy.all(after["flags"] & TOUCHING)


@pytest.mark.parametrize("vertices, triangles, error, text", [
    ([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 3)], ValueError,
     r"triangle 0 corner 2: index 3 is out of range \(3 vertices\)"),
    ([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, -1, 2)], ValueError,
     r"triangle 0 corner 1: index -1 is out of range"),
    ([(0, 0, 0), (1, 0, 0), (2, 0, 0)], [(0, 1, 2)], ValueError,
     "triangle 0 is degenerate"),
    ([(0, 0, 0), (1, math.nan, 0), (0, 1, 0)], [(0, 1, 2)], ValueError,
     "vertex 1 is not finite"),
    ([(0, 0), (1, 0), (0, 1)], [(0, 1, 2)], ValueError, r"vertices must be N x 3"),
    ([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1)], ValueError, r"triangles must be M x 3"),
    ([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0.0, 1.0, 2.0)], TypeError, "integer indices"),
    (numpy.zeros((0, 3)), numpy.zeros((0, 3), int), ValueError, "no triangles"),
])
def test_a_malformed_mesh_is_refused_saying_what_is_wrong(vertices, triangles, error, text):
    with pytest.raises(error, match=text):
        brivane.Mesh(vertices, triangles, stiffness=100)


@pytest.mark.parametrize("options, text", [
    ({"static_friction": 0.2, "dynamic_friction": 0.3}, "must not exceed static_friction"),
    ({"stiffness": -1}, "stiffness must not be negative"),
    ({"pose": (0, 0, 0)}, "pose must be a brivane.Pose"),
])
def test_mesh_options_are_checked(options, text):
    with pytest.raises((ValueError, TypeError), match=text):
        brivane.Mesh(*triangle_under((0, 0, 0), 0), **{"stiffness": 100, **options})


def test_a_mesh_is_frozen_and_moved_shares_it():
    mesh = brivane.Mesh(*triangle_under((0, 0, 0), 0), stiffness=100)
    moved = mesh.moved(brivane.Pose.about((0, 0, 1), math.pi / 2, (0, 0, 0.1)), damping=1.0)
    assert moved._native is mesh._native and moved.vertices is mesh.vertices
    assert moved.pose.rotation == pytest.approx((math.sqrt(0.5), 0, 0, math.sqrt(0.5)))
    assert (moved.damping, mesh.damping) == (1.0, 0.0)
    with pytest.raises(AttributeError, match="frozen"):
        mesh.stiffness = 5
    with pytest.raises(ValueError, match="read-only"):
        mesh.vertices[0, 0] = 1.0


SQUARE = {  # a unit square in two triangles, in millimetres
    "square.stl": """solid square
facet normal 0 0 1
 outer loop
  vertex 0 0 0
  vertex 1 0 0
  vertex 1 1 0
 endloop
endfacet
facet normal 0 0 1
 outer loop
  vertex 0 0 0
  vertex 1 1 0
  vertex 0 1 0
 endloop
endfacet
endsolid square
""",
    "square.obj": "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n",
    "square.ply": """ply
format ascii 1.0
element vertex 4
property float x
property float y
property float z
element face 2
property list uchar int vertex_indices
end_header
0 0 0
1 0 0
1 1 0
0 1 0
3 0 1 2
3 0 2 3
""",
}


@pytest.mark.parametrize("name", sorted(SQUARE))
def test_mesh_load_reads_the_files_people_have(tmp_path, name):
    pytest.importorskip("meshio")
    path = tmp_path / name
    path.write_text(SQUARE[name])
    mesh = brivane.Mesh.load(path, stiffness=500, scale=0.001, damping=1.0)
    assert len(mesh.triangles) == 2 and mesh.damping == 1.0
    assert mesh.vertices.max(axis=0) == pytest.approx((0.001, 0.001, 0))
    # Wound counter-clockwise seen from +z: the faces face up.
    a, b, c = (mesh.vertices[mesh.triangles[:, i]] for i in range(3))
    assert numpy.all(numpy.cross(b - a, c - a)[:, 2] > 0)


def test_a_recorded_mesh_session_keeps_the_proxy_and_the_mesh(tmp_path):
    pytest.importorskip("h5py")
    with pushed_arm("push=0,0,-1") as simulator, brivane.Arm(simulator.port) as arm:
        start = arm.force((0, 0, 0)).position
        mesh = brivane.Mesh(*triangle_under(start, 0.001), stiffness=1000, damping=2.0,
                            static_friction=0.2, dynamic_friction=0.1)
        servo = brivane.Servo(arm, rate=1000, ramp=0.0)
        servo.effects = [mesh]
        with brivane.Recorder(tmp_path / "mesh.h5", servo, chunk=0.1), servo:
            time.sleep(0.5)
    recording = brivane.recording.read(tmp_path / "mesh.h5")
    held = recording.samples[(recording.samples["flags"] & TOUCHING) != 0]
    assert len(held) > 300
    assert numpy.allclose(held["proxy"][:, 2], start[2] - 0.001, atol=1e-6)
    ((vertices, triangles),) = recording.meshes
    assert numpy.array_equal(vertices, mesh.vertices)
    assert numpy.array_equal(triangles, mesh.triangles)
    assert '"effect": "Mesh", "mesh": 0, "stiffness": 1000.0' in recording.servo["effects"]
