"""brivane.Recorder against brivane-sim: what it writes while a servo runs, what a killed
writer leaves, and what it refuses. What it costs the servo is measured by
bench/recorder.py, not here."""
import pathlib
import signal
import subprocess
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from simulator import Simulator, simulator_path  # noqa: E402

brivane = pytest.importorskip("brivane")
numpy = pytest.importorskip("numpy")
pytest.importorskip("h5py")


@pytest.fixture
def arm():
    """An arm held by a simulated hand, a spring of 200 N/m: 1 N moves it 5 mm."""
    with Simulator("arm", "--hand", "hold=200") as simulator, \
            brivane.Arm(simulator.port, timeout=0.5) as arm:
        yield arm


def wait_for(condition, seconds=10.0):
    end = time.monotonic() + seconds
    while not condition() and time.monotonic() < end:
        time.sleep(0.02)
    return condition()


def assert_every_period_in_order(samples):
    """Each sample's period is the time since the one before: none lost, none twice, none
    out of place."""
    assert len(samples) > 1 and numpy.all(numpy.diff(samples["time"]) > 0)
    assert numpy.allclose(samples["period"][1:], numpy.diff(samples["time"]), atol=1e-6)


def test_a_recorded_session_reads_back_as_every_sample_and_its_trace(tmp_path):
    """Through the proxy, so that the trace the recorder adds is a record of its own of
    every period: each answered sample's position is the answer on the wire, in order."""
    out, recorded = tmp_path / "session.h5", tmp_path / "arm.trace"
    with Simulator("arm", "--hand", "hold=200") as simulator:
        proxy = subprocess.Popen([simulator_path(), "--proxy", simulator.port, "--record",
                                  recorded], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        port = proxy.stdout.readline().decode().strip()
        with brivane.Arm(port, timeout=0.5) as device:
            servo = brivane.Servo(device, rate=500, ramp=0.3)
            servo.effects = [brivane.ConstantForce((1, 0, 0))]
            with brivane.Recorder(out, servo, trace=recorded, chunk=0.1) as recorder, servo:
                assert wait_for(lambda: recorder.rows > 300)
                live = brivane.recording.read(out)  # while it is written
        proxy.communicate(timeout=30)
    recording = brivane.recording.read(out)
    samples, stats = recording.samples, recording.stats
    assert recording.complete and recording.dropped == 0 and recorder.error is None
    assert samples.dtype == servo.samples().dtype
    assert len(samples) == stats.periods == recorder.rows
    assert numpy.array_equal(live.samples, samples[:len(live.samples)])
    assert_every_period_in_order(samples)
    assert tuple(samples["force"][-1]) == servo.state.force  # the stop's zero
    assert recording.epoch == servo.epoch and recording.arm["uuid"] == str(device.identity.uuid)
    assert recording.servo["rate"] == 500 and "ConstantForce" in recording.servo["effects"]

    forces = recording.trace.exchanges
    forces = forces[forces["command"] == "end_effector_force"]
    first = recording.on_samples_clock(forces["request_time"][0])
    assert abs(first - samples["time"][0]) < 0.05  # one clock
    # The answers that came within their period, before the next request: the trace
    # matched each to its request.
    on_time = (samples["outcome"] == 0) & ((samples["flags"] & 1) == 0)
    answered = samples["position"][on_time].astype("f4")
    assert len(numpy.unique(answered, axis=0)) > 10  # the hand gives way as the force ramps
    if stats.failures:
        return  # a lost answer that came after all may be matched to the next request
    on_the_wire = numpy.column_stack([forces["x"], forces["y"], forces["z"]])
    at = 0
    for position in answered:  # a subsequence of the answers, in order
        while at < len(on_the_wire) and not numpy.array_equal(on_the_wire[at], position):
            at += 1
        assert at < len(on_the_wire), "a sample's position is no answer after the one before"
        at += 1


def test_a_recording_keeps_each_meshs_geometry_once(tmp_path, arm):
    """The effects at the start and at the end: a mesh moved is the same geometry, stored
    once; another is stored beside it. Read back, each effect's "mesh" is its geometry."""
    import json

    box = brivane.Mesh.box((-0.02, -0.02, -0.02), (0.02, 0.02, 0.02), 300.0)
    plate = brivane.Mesh([(0, 0, 0), (0.1, 0, 0), (0, 0.1, 0)], [(0, 1, 2)], 100.0)
    away = brivane.Pose((0.0, 0.0, -1.0))
    servo = brivane.Servo(arm, rate=500)
    servo.effects = [box.moved(away), plate.moved(away)]
    with servo, brivane.Recorder(tmp_path / "m.h5", servo, chunk=0.05) as recorder:
        assert wait_for(lambda: recorder.rows > 0)
        servo.effects = [box.moved(brivane.Pose((0.0, 0.0, -2.0)))]
    recording = brivane.recording.read(tmp_path / "m.h5")
    assert len(recording.meshes) == 2
    for (vertices, triangles), mesh in zip(recording.meshes, (box, plate)):
        assert numpy.array_equal(vertices, mesh.vertices)
        assert numpy.array_equal(triangles, mesh.triangles)
    (kept,) = json.loads(recording.servo["effects"])  # the set at the end
    assert kept["mesh"] == 0 and kept["pose"]["position"] == [0.0, 0.0, -2.0]


@pytest.mark.parametrize("end", ["SIGKILL", "exit without stop"])
def test_a_recorder_whose_program_ends_leaves_a_readable_file(tmp_path, arm, end):
    """Killed: all but its last chunk, without the end; left running at exit: whole."""
    out = tmp_path / "ended.h5"
    port = arm.port
    arm.close()
    child = subprocess.Popen([sys.executable, "-c", f"""
import brivane, time
arm = brivane.Arm({port!r}, timeout=0.5)
servo = brivane.Servo(arm, rate=1000).start()
brivane.Recorder({str(out)!r}, servo, chunk=0.2).start()
time.sleep({60 if end == "SIGKILL" else 1.0})
"""])
    try:
        assert wait_for(lambda: out.exists() and len(brivane.recording.read(out).samples) >= 600)
        seen = len(brivane.recording.read(out).samples)
    finally:
        if end == "SIGKILL":
            child.send_signal(signal.SIGKILL)
        assert child.wait(timeout=20) == (-signal.SIGKILL if end == "SIGKILL" else 0)
    recording = brivane.recording.read(out)
    assert recording.complete == (end != "SIGKILL")
    assert (recording.stats is None) == (end == "SIGKILL")
    assert len(recording.samples) >= seen and recording.epoch > 0
    assert_every_period_in_order(recording.samples)


def test_a_servo_started_again_while_recorded_is_raised_at_stop(tmp_path, arm):
    """What ends the writer's thread is never lost: the servo's second run, on another
    clock, is raised where the recording stops."""
    servo = brivane.Servo(arm, rate=500)
    with pytest.raises(brivane.recording.RecordingError, match="a file of its own"):
        with servo, brivane.Recorder(tmp_path / "two.h5", servo, chunk=0.05) as recorder:
            assert wait_for(lambda: recorder.rows > 0)
            servo.stop()
            servo.start()
            assert wait_for(lambda: recorder.error is not None)
    assert not recorder.running
    recorder.stop()  # raised once; stopping again does nothing
    assert len(brivane.recording.read(tmp_path / "two.h5").samples) > 0


def test_while_it_records_the_recorder_takes_the_servos_samples(tmp_path, arm):
    with brivane.Servo(arm) as servo, brivane.Recorder(tmp_path / "s.h5", servo):
        with pytest.raises(RuntimeError, match="brivane.recording.read"):
            servo.samples()
        with pytest.raises(RuntimeError, match="another brivane.Recorder"):
            brivane.Recorder(tmp_path / "t.h5", servo).start()
    # Given back: what came after the recording is the servo's again, none lost between.
    kept, rest = brivane.recording.read(tmp_path / "s.h5").samples, servo.samples()
    assert len(kept) + len(rest) == servo.stats.periods
    assert_every_period_in_order(numpy.concatenate([kept, rest]))


@pytest.mark.parametrize("what", ["file", "symlink", "dangling symlink"])
@pytest.mark.parametrize("overwrite", [False, True])
def test_an_existing_file_is_replaced_only_with_overwrite(tmp_path, arm, what, overwrite):
    own = tmp_path / "own"
    own.write_text("the user's own\n")
    out = tmp_path / "out.h5"
    if what == "file":
        out.write_text("the user's own\n")
    else:
        out.symlink_to(own if what == "symlink" else tmp_path / "none")
    recorder = brivane.Recorder(out, arm=arm, overwrite=overwrite)
    if not overwrite:
        with pytest.raises(FileExistsError, match="overwrite=True replaces it"):
            recorder.start()
        assert out.is_symlink() == (what != "file")
    else:
        with recorder:
            pass
        assert not out.is_symlink() and brivane.recording.read(out).arm["model"] == 4
    assert own.read_text() == "the user's own\n"


@pytest.mark.parametrize("make, error, said", [
    (lambda arm, path: brivane.Recorder(path), ValueError, "give at least one"),
    (lambda arm, path: brivane.Recorder(path, arm), TypeError, "is a brivane.Servo"),
    (lambda arm, path: brivane.Recorder(path, arm=arm, chunk=0), ValueError, "chunk"),
    (lambda arm, path: brivane.Recorder(path, arm=arm, overwrite=1), TypeError, "overwrite"),
    (lambda arm, path: brivane.Recorder(path, brivane.Servo(arm, rate=1000, samples=1000)),
     ValueError, "samples=4000"),
])
def test_a_recorder_refuses_what_it_cannot_record(tmp_path, arm, make, error, said):
    with pytest.raises(error, match=said):
        make(arm, tmp_path / "out.h5")
    assert not (tmp_path / "out.h5").exists()


@pytest.mark.parametrize("content, error, said", [
    (b"", brivane.recording.RecordingError, "not an HDF5 file"),
    (b"brivane-trace 1\n", brivane.recording.RecordingError, "not an HDF5 file"),
    ("another HDF5 file", brivane.recording.RecordingError, "not a recording"),
    ("a folder", IsADirectoryError, "")])
def test_what_is_no_recording_is_refused_on_reading(tmp_path, content, error, said):
    import h5py
    path = tmp_path / "in.h5"
    if content == "a folder":
        path.mkdir()
    elif content == "another HDF5 file":
        h5py.File(path, "w", libver="latest").close()
    else:
        path.write_bytes(content)
    with pytest.raises(error, match=said):
        brivane.recording.read(path)
