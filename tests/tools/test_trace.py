"""Recording a session through brivane-sim --proxy, decoding it with brivane-trace, and
playing it back with brivane-sim --replay."""
import os
import pathlib
import re
import select
import signal
import subprocess
import sys

import pytest

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator, simulator_path  # noqa: E402

TRACES = pathlib.Path(__file__).resolve().parent / "traces"


def trace_path() -> str:
    return os.environ.get("BRIVANE_TRACE") or str(pathlib.Path(simulator_path()).parent /
                                                  "brivane-trace")


class Sim:
    """brivane-sim in its proxy or replay mode; `port` is its pseudo-terminal."""

    def __init__(self, *options):
        self.process = subprocess.Popen([simulator_path(), *map(str, options)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True)
        self.port = self.process.stdout.readline().strip()
        assert self.port, self.process.communicate(timeout=10)[1]

    def finish(self):
        """Waits for the end it reaches by itself: (exit status, standard error)."""
        _, error = self.process.communicate(timeout=30)
        return self.process.returncode, error


def decode(*args, env=None):
    result = subprocess.run([trace_path(), *map(str, args)], capture_output=True, text=True,
                            timeout=60, env=env)
    return result.returncode, result.stdout, result.stderr


def force_loop_trace(path, exchanges):
    """A made-up trace of the arm's force loop."""
    lines = ["brivane-trace 1"]
    for i in range(exchanges):
        lines += [f"{70 * i} > 2a" + "00" * 12, f"{70 * i + 45} < 2b" + "cdcc4c3d" * 6]
    path.write_text("\n".join(lines) + "\n")
    return path


def arm_session(port, force=None):
    """A short session of the arm, run by a program of its own; with `force`, the program
    sends that force after the first three exchanges instead, and leaves."""
    rest = f"arm.SendForce([{force}, 0.0, 0.0])" if force is not None else """
for step in range(5):
    print(arm.end_effector_force([0.1, 0.0, 0.01 * step]))
print(arm.joint_angles([0.0, -45.0, 45.0]))"""
    code = f"""
import BrivaneHardwareAPI as api
arm = api.Kalvar(api.SerialStream({port!r}))
print(arm.device_wakeup_dict(), arm.get_device_id(), arm.get_temperature())
{rest}
"""
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)


def test_demo_recorded_replays_with_every_answer_equal(tmp_path):
    demo = [sys.executable, str(REPOSITORY / "examples" / "demo.py"), "--seconds", "0.1",
            "--exchanges", "100"]
    with Simulator("arm") as arm, Simulator("grip", "--rate", 1000) as grip:
        proxies = [Sim("--proxy", arm.port, "--record", tmp_path / "arm.trace"),
                   Sim("--proxy", grip.port, "--record", tmp_path / "grip.trace")]
        recorded = subprocess.run(demo + ["--arm", proxies[0].port, "--grip", proxies[1].port],
                                  capture_output=True, text=True, timeout=60)
        assert [proxy.finish()[0] for proxy in proxies] == [0, 0]
    assert recorded.returncode == 0, recorded.stdout + recorded.stderr

    replays = [Sim("--replay", tmp_path / "arm.trace"), Sim("--replay", tmp_path / "grip.trace")]
    replayed = subprocess.run(demo + ["--arm", replays[0].port, "--grip", replays[1].port],
                              capture_output=True, text=True, timeout=60)
    ends = [replay.finish() for replay in replays]
    assert [status for status, _ in ends] == [0, 0], ends
    for _, report in ends:
        matched = re.search(r"(\d+) of (\d+) requests matched", report)
        assert matched and matched[1] == matched[2]
    answers = re.compile(r"^(device info|device id|firmware|base orientation|temperature|motor "
                         r"currents|joint angles|arm's position|host's position|measured "
                         r"angles|tracking error|handle information) .*$", re.M)
    assert answers.findall(replayed.stdout) == answers.findall(recorded.stdout)
    assert len(answers.findall(recorded.stdout)) >= 12


def test_recorded_trace_replays_against_its_program():
    replay = Sim("--replay", TRACES / "arm.trace")
    session = arm_session(replay.port)
    status, report = replay.finish()
    assert (status, session.returncode) == (0, 0), report + session.stderr
    assert "9 of 9 requests matched" in report
    assert "'device_model_number': 4" in session.stdout


@pytest.mark.parametrize("force, frame", [(0.2, 7)])
def test_replay_reports_the_first_request_that_differs(force, frame):
    replay = Sim("--replay", TRACES / "arm.trace")
    arm_session(replay.port, force=force)
    status, report = replay.finish()
    assert status != 0
    assert f"frame {frame} differs: expected 2a cd cc cc 3d" in report
    assert "(end_effector_force [+0.1000, +0.0000, +0.0000]), got 2a cd cc 4c 3e" in report


@pytest.mark.parametrize("end, status, says", [("port gone", 1, "is gone"),
                                               ("interrupted", 0, "14 bytes to the device")])
def test_proxy_ends_with_a_complete_trace(tmp_path, end, status, says):
    import BrivaneHardwareAPI as api

    path = tmp_path / "session.trace"
    with Simulator("arm") as arm:
        proxy = Sim("--proxy", arm.port, "--record", path)
        stream = api.SerialStream(proxy.port)
        kalvar = api.Kalvar(stream)
        kalvar.device_wakeup()
        kalvar.end_effector_force([0.0, 0.0, 0.0])
        if end == "port gone":
            arm.stop()
        else:
            proxy.process.send_signal(signal.SIGINT)
        ended, report = proxy.finish()
        del kalvar, stream
    assert ended == status and says in report, report
    code, frames, _ = decode(path)
    assert code == 0 and len(frames.splitlines()) == 4


@pytest.mark.parametrize("mode", ["replay", "proxy"])
@pytest.mark.parametrize("end", ["leaves", signal.SIGINT, signal.SIGTERM],
                         ids=["leaves", "SIGINT", "SIGTERM"])
def test_a_program_that_stops_reading_does_not_hold_the_tool(tmp_path, mode, end):
    """The device's bytes fill the pseudo-terminal and the program reads none of them: the
    tool's write waits, and must still end when the program leaves or a stop signal comes."""
    with Simulator("grip", "--rate", 100000) as grip:
        if mode == "replay":
            path = tmp_path / "big.trace"
            path.write_text("brivane-trace 1\n10 > 0a\n20 < " + "5a" * (1 << 20) + "\n")
            tool = Sim("--replay", path)
        else:  # a streaming grip floods the line
            tool = Sim("--proxy", grip.port, "--record", tmp_path / "flood.trace")
        program = os.open(tool.port, os.O_RDWR | os.O_NOCTTY)
        try:
            os.write(program, b"\x0a")
            assert select.select([program], [], [], 10)[0]  # the device's bytes have come
            select.select([], [], [], 0.5)  # and fill the line
            if end == "leaves":
                os.close(program)
                program = -1
            else:
                tool.process.send_signal(end)
            try:
                _, report = tool.process.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                tool.process.kill()
                _, report = tool.process.communicate()
                pytest.fail(f"{mode} still running 10 s after the end: {report}")
        finally:
            if program >= 0:
                os.close(program)
    assert tool.process.returncode == 0, report
    if end != "leaves":
        assert f"stopped ({signal.strsignal(end)})" in report, report
    if mode == "replay":
        assert re.search(r"the device chunk of line 3 was cut short: \d+ of 1048576 bytes "
                         r"sent", report), report
    else:
        assert re.search(r"\d+ bytes from the device were not passed on", report), report
        code, frames, _ = decode(tmp_path / "flood.trace")
        assert code == 0 and frames.startswith("     1 "), frames[:200]


KNOWN = """brivane-trace 1
# port: /dev/ttyACM0
100 > 0a
300 < 0b{info}
1000 > aa
1100 < aa0000f041
2000 > ac
2300 < ac01
3000 > aa
4000 > ab
5000 < ab{currents}
5500 < 5555
""".format(info="00" * 21, currents="00" * 12)


def test_summary_of_a_known_trace(tmp_path):
    path = tmp_path / "known.trace"
    path.write_text(KNOWN)
    code, summary, _ = decode("--summary", path)
    assert code == 0
    for line in ["frames: 10 (5 requests, 4 answers, 0 messages, 1 junk)",
                 "get_temperature          2",
                 "exchange rate: 816.3 per second (4 answers in 0.005 s)",
                 "answer time µs: p50 200, p99 1000, max 1000",
                 "time-outs: 1",
                 "junk: 1 frames, 2 bytes"]:
        assert line in summary, summary


@pytest.mark.parametrize("late, said", [
    ("250us", "late answers (over 250 µs): 2"),
    ("0.5ms", "late answers (over 500 µs): 1"),
    ("0.001", "late answers (over 1000 µs): 0"),  # a bare number is seconds; 1 ms is on time
])
def test_summary_counts_late_answers_beside_the_time_outs(tmp_path, late, said):
    path = tmp_path / "known.trace"
    path.write_text(KNOWN)
    code, summary, _ = decode("--summary", "--late", late, path)
    assert code == 0
    assert said in summary and "time-outs: 1" in summary, summary


@pytest.mark.parametrize("args", [("--late", "soon", "--summary"), ("--late", "0", "--summary"),
                                  ("--late", "1ms")])
def test_late_must_be_a_time_and_go_with_summary_or_plot(tmp_path, args):
    path = tmp_path / "known.trace"
    path.write_text(KNOWN)
    code, _, error = decode(*args, path)
    assert code == 2 and "--late" in error


def test_a_servos_samples_line_up_with_its_trace_on_one_clock(tmp_path):
    """brivane-sim --proxy keeps its start on the monotonic clock, as the servo keeps its
    samples' epoch: a sample's time, moved by the difference, is when its request shows in
    the trace."""
    brivane = pytest.importorskip("brivane")
    import time
    path = tmp_path / "servo.trace"
    with Simulator("arm") as arm:
        proxy = Sim("--proxy", arm.port, "--record", path)
        with brivane.Arm(proxy.port, timeout=0.5) as device:
            with brivane.Servo(device, rate=200, ramp=0.0) as servo:
                servo.effects = [brivane.ConstantForce((0.5, 0, 0))]
                time.sleep(0.3)
            samples = servo.samples()
            epoch = servo.epoch
        proxy.process.send_signal(signal.SIGINT)
        proxy.finish()
    session = brivane.trace.read(path)
    assert session.epoch is not None and abs(epoch - time.monotonic()) < 60
    forces = session.exchanges[session.exchanges["command"] == "end_effector_force"]
    on_the_trace = samples["time"] + (epoch - session.epoch)
    # The servo's first request goes out as its first period begins, and each one after.
    assert 0 <= forces["request_time"][0] - on_the_trace[0] < 0.05
    assert len(forces) >= len(samples)
    assert session.late(1.0) == 0


@pytest.mark.parametrize("text, line, what", [
    ("not a trace\n", 1, "not a trace"),
    ("brivane-trace 2\n", 1, "trace version 2 is not known"),
    ("brivane-trace 1\n10 > 0a\n20 < 0bz0\n", 3, "bad hex digit 'z'"),
    ("brivane-trace 1\n10 > 0a0\n", 2, "odd number of hex digits"),
    ("brivane-trace 1\n10 > 0a\n5 < 0b\n", 3, "time 5 goes back"),
    ("brivane-trace 1\n10 > 0a\n20 < 0b", 3, "cut short"),
    ("brivane-trace 1\n10 > 0a\n18446744073709551615 < 0b\n", 3,
     "time 18446744073709551615 is out of range"),
    ("brivane-trace 1\n10 > 0a\n9007199254740993 < 0b\n", 3,
     "time 9007199254740993 is out of range"),
    ("brivane-trace 1\n184467440737095516160 > 0a\n", 2,
     "time 184467440737095516160 is out of range"),
])
def test_a_malformed_trace_is_refused_with_its_line(tmp_path, text, line, what):
    path = tmp_path / "bad.trace"
    path.write_text(text)
    code, _, error = decode(path)
    assert code == 1 and f"bad.trace:{line}: {what}" in error, error
    replay = subprocess.run([simulator_path(), "--replay", str(path)], capture_output=True,
                            text=True, timeout=10)
    assert replay.returncode == 2 and f"bad.trace:{line}: {what}" in replay.stderr
    code, _, error = decode("--follow", "--plot", tmp_path / "out.png", path)
    assert code == 1 and f"bad.trace:{line}: {what}" in error, error
    assert not (tmp_path / "out.png").exists()
    brivane = pytest.importorskip("brivane.trace")
    with pytest.raises(brivane.TraceError, match=f"bad.trace:{line}: {re.escape(what)}") as caught:
        brivane.read(path)
    assert (caught.value.line, caught.value.path) == (line, str(path))


@pytest.mark.parametrize("speed", [1, 0.5, 1e-6])
def test_replay_holds_back_an_answer_recorded_far_later(tmp_path, speed):
    path = tmp_path / "distant.trace"
    path.write_text("brivane-trace 1\n10 > 0a\n9007199254740992 < 0b\n")
    replay = Sim("--replay", path, "--speed", speed)
    program = os.open(replay.port, os.O_RDWR | os.O_NOCTTY)
    try:
        os.write(program, b"\x0a")
        heard = select.select([program], [], [], 0.5)[0]
    finally:
        os.close(program)
    status, report = replay.finish()
    assert not heard and status == 0, report
    assert "1 of 1 requests matched, 0 of 1 device chunks played" in report


def test_plot_writes_a_png(tmp_path):
    out = tmp_path / "session.png"
    code, _, error = decode("--plot", out, TRACES / "arm.trace")
    assert code == 0, error
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("tool, out, said", [
    ("--plot", "long.png", "brivane-trace: the plot was not drawn"),
    ("--hdf5", "long.h5", "brivane-trace: {out} was not written")])
@pytest.mark.parametrize("plotter", ["missing interpreter", "missing matplotlib"])
def test_plot_that_cannot_be_drawn_is_reported(tmp_path, plotter, tool, out, said):
    """The plotter (or the HDF5 writer) ends before it has read its data, far more than a
    pipe holds: without its interpreter, or without its site packages (matplotlib, h5py)."""
    if plotter == "missing interpreter":
        python = tmp_path / "no-python"
    else:
        python = tmp_path / "python-without-site"
        python.write_text('#!/bin/sh\nexec /usr/bin/python3 -S "$@"\n')
        python.chmod(0o755)
    trace = force_loop_trace(tmp_path / "long.trace", 5000)
    out = tmp_path / out
    code, _, error = decode(tool, out, trace, env={**os.environ, "BRIVANE_PYTHON": str(python)})
    assert code == 1 and said.format(out=out) in error, (code, error)
    assert not out.exists()


def make_output(tool, target, *options, env=None):
    """Writes `target` with brivane-sim --proxy --record, through which a program opens the
    port and closes it again, or with brivane-trace --plot, --csv or --hdf5: (exit status,
    standard error)."""
    if tool in ("plot", "csv", "hdf5"):
        code, _, error = decode(f"--{tool}", target, *options, TRACES / "arm.trace", env=env)
        return code, error
    with Simulator("arm") as arm:
        proxy = subprocess.Popen([simulator_path(), "--proxy", arm.port, "--record", target,
                                  *options], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True)
        port = proxy.stdout.readline().strip()
        if port:
            os.close(os.open(port, os.O_RDWR | os.O_NOCTTY))
        _, error = proxy.communicate(timeout=30)
    return proxy.returncode, error


def is_output(tool, path):
    start = {"plot": b"\x89PNG", "csv": b"frame,request_time,", "hdf5": b"\x89HDF\r\n\x1a\n"}
    return path.read_bytes().startswith(start.get(tool, b"brivane-trace 1\n# port: "))


def files(folder):
    return sorted(str(p.relative_to(folder)) for p in folder.rglob("*"))


@pytest.fixture
def user_files(tmp_path):
    """Where the output goes (out.png or out.trace) in a folder of the user's: a file of
    theirs, a symlink to one, or a symlink to where there is none yet."""
    def make(tool, what):
        (tmp_path / "elsewhere").mkdir()
        own = tmp_path / "elsewhere" / "own"
        own.write_text("the user's own\n")
        names = {"plot": "out.png", "csv": "out.csv", "hdf5": "out.h5"}
        target = tmp_path / names.get(tool, "out.trace")
        if what == "file":
            target.write_text("the user's own\n")
        else:
            target.symlink_to(own if what == "symlink" else tmp_path / "elsewhere" / "none")
        return target, own
    return make


@pytest.mark.parametrize("what", ["file", "symlink", "dangling symlink"])
@pytest.mark.parametrize("tool", ["record", "plot", "csv", "hdf5"])
def test_output_does_not_replace_a_file_unasked(tmp_path, user_files, tool, what):
    target, own = user_files(tool, what)
    before = files(tmp_path)
    code, error = make_output(tool, target)
    assert code == 1 and f"{target} exists; --overwrite replaces it" in error, error
    assert files(tmp_path) == before and own.read_text() == "the user's own\n"
    assert what != "file" or target.read_text() == "the user's own\n"
    tool_path = simulator_path() if tool == "record" else trace_path()
    help_text = subprocess.run([tool_path, "--help"], capture_output=True, text=True).stdout
    assert "--overwrite" in help_text


@pytest.mark.parametrize("what", ["file", "symlink", "dangling symlink"])
@pytest.mark.parametrize("tool", ["record", "plot", "csv", "hdf5"])
def test_overwrite_replaces_the_file_never_through_a_symlink(tmp_path, user_files, tool, what):
    target, own = user_files(tool, what)
    before = files(tmp_path)
    code, error = make_output(tool, target, "--overwrite")
    assert code == 0, error
    assert not target.is_symlink() and is_output(tool, target)
    assert files(tmp_path) == before and own.read_text() == "the user's own\n"


@pytest.mark.parametrize("end", ["recording", "failed plot", "port not opened"])
def test_output_is_whole_or_absent(tmp_path, end):
    target = tmp_path / "out.trace"
    if end == "failed plot":
        target = tmp_path / "out.png"
        code, _ = make_output("plot", target, env={**os.environ, "BRIVANE_PYTHON": "/none"})
        assert code == 1
    elif end == "port not opened":
        proxy = subprocess.run([simulator_path(), "--proxy", tmp_path / "no-port", "--record",
                                target], capture_output=True, text=True, timeout=30)
        assert proxy.returncode == 1 and "cannot open" in proxy.stderr
    else:
        with Simulator("arm") as arm:
            proxy = Sim("--proxy", arm.port, "--record", target)
            program = os.open(proxy.port, os.O_RDWR | os.O_NOCTTY)
            os.write(program, b"\xac")
            assert select.select([program], [], [], 10)[0] and os.read(program, 2) == b"\xac\x01"
            select.select([], [], [], 0.3)  # the proxy writes its trace out when idle
            assert files(tmp_path) != [] and not target.exists()
            os.close(program)
            assert proxy.finish()[0] == 0
        code, frames, _ = decode(target)
        assert code == 0 and len(frames.splitlines()) == 2
    assert files(tmp_path) == ([target.name] if end == "recording" else [])


@pytest.mark.parametrize("writer", ["brivane-trace --hdf5", "Session.to_hdf5"])
@pytest.mark.parametrize("name", ["arm.trace", "grip-block.trace", "grip-fixed.trace"])
def test_a_trace_as_hdf5_reads_back_as_its_tables(tmp_path, name, writer):
    """Both write through brivane.recording's one writer; the file reads back as the trace."""
    brivane = pytest.importorskip("brivane")
    numpy = pytest.importorskip("numpy")
    pytest.importorskip("h5py")
    out = tmp_path / "out.h5"
    session = brivane.trace.read(TRACES / name)
    if writer == "Session.to_hdf5":
        session.to_hdf5(out)
    else:
        code, _, error = decode("--hdf5", out, TRACES / name)
        assert code == 0 and f"wrote {out}" in error, error
    recording = brivane.recording.read(out)
    assert recording.samples is None and recording.complete
    back = recording.trace
    for table in ("exchanges", "messages"):
        ours, theirs = getattr(back, table), getattr(session, table)
        assert ours.dtype == theirs.dtype and len(ours) == len(theirs)
        for column in theirs.dtype.names:
            assert numpy.array_equal(ours[column], theirs[column],
                                     equal_nan=theirs[column].dtype.kind == "f"), column
    assert (back.device, back.frames, back.junk_frames, back.junk_bytes, back.unanswered,
            back.unmatched, back.comments, back.epoch) == (
        session.device, session.frames, session.junk_frames, session.junk_bytes,
        session.unanswered, session.unmatched, session.comments, session.epoch)
