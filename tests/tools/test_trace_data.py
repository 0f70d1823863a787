"""Traces as data and as pictures: brivane.trace.read and brivane-trace --csv against what the
decoder prints of the same frames, and the plots drawn headless, after a session and live
while the proxy records it."""
import csv
import math
import os
import pathlib
import re
import struct
import subprocess
import sys

import pytest

from test_trace import TRACES, Sim, decode, force_loop_trace

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator  # noqa: E402

trace = pytest.importorskip("brivane.trace")
numpy = pytest.importorskip("numpy")

RECORDED = ["arm.trace", "grip-block.trace", "grip-fixed.trace"]
FRAME = re.compile(r"^ *(\d+) +([\d.]+) ([<>]) (.*?)(?:  \(answer to (\d+) after (\d+) µs\)|"
                   r"  \(no answer\))?$")
NUMBER = re.compile(r"[-+]?\d+\.\d+")
# The fields of each kind of frame, in the order the decoder prints their values.
PRINTED = {
    "end_effector_force": ["command_0", "command_1", "command_2"],
    "joint_angles": ["command_0", "command_1", "command_2"],
    "end-effector state": ["x", "y", "z", "vx", "vy", "vz"],
    "joint state": ["angle_0", "angle_1", "angle_2",
                    "joint_velocity_0", "joint_velocity_1", "joint_velocity_2"],
    "temperature": ["temperature"],
    "status": ["q0", "q1", "q2", "q3"],
    "status block": ["q0", "q1", "q2", "q3", "battery"],
}


def printed_frames(path):
    """brivane-trace's lines: number -> (time in µs, direction, text, number answered, µs)."""
    code, out, error = decode(path)
    assert code == 0, error
    frames = {}
    for line in out.splitlines():
        number, time, direction, text, answered, wait = FRAME.match(line).groups()
        frames[int(number)] = (round(float(time) * 1e6), direction, text,
                               answered and int(answered), wait and int(wait))
    return frames


def assert_printed(text, row):
    """The values the decoder prints of a frame are the row's, to the digits it prints."""
    numbers = NUMBER.findall(text)
    kind = max((k for k in PRINTED if text.startswith(k + " ")), key=len, default=None)
    fields = PRINTED.get(kind, [])
    assert len(numbers) == len(fields), (text, fields)
    for number, field in zip(numbers, fields):
        digits = len(number.split(".")[1])
        assert round(float(row[field]), digits) == pytest.approx(float(number), abs=1e-9), \
            (text, field)


@pytest.mark.parametrize("name", RECORDED)
def test_reader_holds_the_frames_times_and_values_the_decoder_prints(name):
    session = trace.read(TRACES / name)
    frames = printed_frames(TRACES / name)
    assert session.frames == len(frames)
    answers = {f[3]: (number, f) for number, f in frames.items() if f[3]}
    requests = [number for number, f in frames.items() if f[1] == ">"]
    assert list(session.exchanges["frame"]) == requests
    for row in session.exchanges:
        time, _, text, _, _ = frames[row["frame"]]
        assert round(row["request_time"] * 1e6) == time
        assert text.startswith(row["command"]) and row["command"]
        assert_printed(text, row)
        if row["frame"] not in answers:
            assert math.isnan(row["answer_time"]) and math.isnan(row["answer_us"])
            continue
        _, (answer_time, _, answer, _, wait) = answers[row["frame"]]
        assert (round(row["answer_time"] * 1e6), row["answer_us"]) == (answer_time, wait)
        if session.device == "arm":
            assert_printed(answer, row)
    received = [number for number, f in frames.items() if f[1] == "<"]
    assert list(session.messages["frame"]) == (received if session.device == "grip" else [])
    for row in session.messages:
        time, _, text, _, wait = frames[row["frame"]]
        assert round(row["time"] * 1e6) == time and text.startswith(row["message"] + " ")
        assert row["answer_us"] == wait if wait else math.isnan(row["answer_us"])
        assert f"device_id {row['device_id']}," in text
        assert_printed(text, row)
        if row["message"] == "status":
            assert f"hall {row['hall']}," in text
            assert row["user_data"] == (0 if text.endswith("none") else
                                        len(text.split("user data ")[1].split()))
        if row["message"] == "error":
            assert f"code {row['error_code']}" in text


@pytest.mark.parametrize("name", RECORDED)
def test_csv_is_the_readers_table(tmp_path, name):
    out = tmp_path / "session.csv"
    code, _, error = decode("--csv", out, TRACES / name)
    assert code == 0, error
    session = trace.read(TRACES / name)
    rows = session.messages if session.device == "grip" else session.exchanges
    with open(out, newline="") as file:
        table = list(csv.DictReader(file))
    assert len(table) == len(rows) and list(table[0]) == list(rows.dtype.names)
    for cells, row in zip(table, rows):
        for column, cell in cells.items():
            value = row[column]
            kind = rows.dtype[column].kind
            if kind == "f":
                # The shortest text that reads back as the same float or double.
                assert numpy.isnan(value) if cell == "" else \
                    rows.dtype[column].type(cell) == value, (column, cell, value)
            else:
                assert cell == str(value), (column, cell, value)


def test_reader_counts_junk_unanswered_and_unasked(tmp_path):
    path = tmp_path / "faults.trace"
    path.write_text("brivane-trace 1\n10 > 0a\n20 > aa\n30 < aa0000f041\n40 < 2b" + "00" * 24 +
                    "\n50 < 77 78\n60 > ac\n")
    session = trace.read(path, device="arm")
    assert (session.junk_frames, session.junk_bytes) == (1, 2)
    assert (session.unanswered, session.unmatched) == (2, 1)
    assert list(session.exchanges["timed_out"]) == [1, 0, 1]
    assert list(session.exchanges["temperature"][1:2]) == [30.0]


@pytest.mark.parametrize("problem, error", [
    (dict(path="missing.trace"), FileNotFoundError),
    (dict(device="wrist"), ValueError),
])
def test_reader_refuses_what_it_cannot_read(tmp_path, problem, error):
    path = tmp_path / problem.get("path", "arm.trace")
    if "path" not in problem:
        force_loop_trace(path, 2)
    with pytest.raises(error):
        trace.read(path, device=problem.get("device"))


def png_height(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])[1]


def panels(height):
    """The panels in a plot of that height: each is 1.45 in at 100 dpi, below a 1 in title.
    A long session is drawn as the low and high of each slice of time: 6,000 frames are."""
    return round((height - 100) / 145)


@pytest.mark.parametrize("name, expected", [
    ("arm.trace", 7),  # x, y, z, commanded force, velocity, loop period, answer time
    ("grip-block.trace", 4),  # quaternion, hall level, message interval, answer time
    ("long", 7),
])
def test_plot_draws_a_panel_per_quantity_at_any_length(tmp_path, name, expected):
    path = TRACES / name if name != "long" else force_loop_trace(tmp_path / "long.trace",
                                                                 3_000)
    out = tmp_path / "session.png"
    code, _, error = decode("--plot", out, path)
    assert code == 0, error
    assert panels(png_height(out)) == expected


def test_panels_are_named_for_what_they_show():
    matplotlib = pytest.importorskip("matplotlib.figure")
    from brivane import plots
    session = trace.read(TRACES / "arm.trace")
    view = plots.Panels(matplotlib.Figure(), plots.arm_columns(session.exchanges))
    assert [ax.get_ylabel().replace("\n", " ") for ax in view.axes] == [
        "x (mm)", "y (mm)", "z (mm)", "commanded force (N)", "velocity (mm/s)",
        "loop period (ms)", "answer time (µs)"]


@pytest.mark.parametrize("seconds", [None, 0.2])
def test_follow_draws_the_latest_seconds_until_the_proxy_ends(tmp_path, seconds):
    target = tmp_path / "arm.trace"
    out = tmp_path / "live.png"
    shown = ["--seconds", str(seconds)] if seconds else []
    with Simulator("arm", "--hand", "hold=200") as arm:
        proxy = Sim("--proxy", arm.port, "--record", target)
        follower = subprocess.Popen([os.environ.get("BRIVANE_TRACE", "brivane-trace"),
                                     "--follow", *shown, "--plot", str(out), str(target)],
                                    stderr=subprocess.PIPE, text=True)
        assert "following" in follower.stderr.readline()
        session = subprocess.run([sys.executable, "-c", f"""
import time, brivane
with brivane.Arm({proxy.port!r}) as arm:
    end = time.monotonic() + 0.8
    while time.monotonic() < end:
        arm.force((0.5, 0.0, 0.0))
"""], env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, capture_output=True,
            text=True, timeout=60)
        assert session.returncode == 0, session.stderr
        assert proxy.finish()[0] == 0
        assert follower.wait(timeout=30) == 0
        report = follower.stderr.read()
    first, last = map(int, re.search(r"drew .*live.png \(frames (\d+) to (\d+)\)", report).groups())
    frames = printed_frames(target)
    # The whole session to its last frame, or from a request within its latest seconds (the
    # window is cut once it spans half as much again).
    assert last == len(frames) and panels(png_height(out)) == 7
    if seconds is None:
        assert first == 1
    else:
        span = (frames[last][0] - frames[first][0]) / 1e6
        assert first > 1 and span < 1.5 * seconds and frames[first][1] == ">", span


def test_follow_refuses_a_trace_nobody_records(tmp_path):
    code, _, error = decode("--follow", "--plot", tmp_path / "live.png", tmp_path / "arm.trace")
    assert code == 1 and "arm.trace does not exist, and no brivane-sim --proxy records it" \
        in error, error
