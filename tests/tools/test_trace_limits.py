"""brivane-trace, brivane-sim --record, brivane.trace.read and brivane.scope at the edges of
what they are given: a trace of far more lines than chunks, a path that is no regular file,
and a file name as long as the file system takes."""
import os
import pathlib
import re
import resource
import select
import subprocess
import sys

import pytest

from test_trace import TRACES, Sim, decode, is_output, make_output, trace_path

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPOSITORY / "examples"))
from simulator import Simulator  # noqa: E402

#: Room for the interpreter with numpy and the text of the trace read, but not for a chunk
#: held ready for every line of it.
MEMORY = 1536 << 20


def limited():
    """For subprocess's preexec_fn: the child's address space held to MEMORY, so that a
    tool that takes far too much fails at once instead of taking the machine's. Not under
    AddressSanitizer, which reserves terabytes of it."""
    sanitized = "asan" in os.environ.get("LD_PRELOAD", "") or \
        b"libasan" in pathlib.Path(trace_path()).read_bytes()
    if sanitized:
        return None
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (MEMORY, MEMORY))


def run(tool, path, folder, timeout=60):
    """Reads `path` with brivane-trace (printing its summary), brivane-trace --follow (its
    image into `folder`) or brivane.trace.read: (exit status, standard output, standard
    error)."""
    if tool == "read":
        command = [sys.executable, "-c",
                   "import sys, brivane.trace\n"
                   "try:\n"
                   "    session = brivane.trace.read(sys.argv[1])\n"
                   "except OSError as error:\n"
                   "    sys.exit(f'{type(error).__name__}: {error}')\n"
                   "print('frames', session.frames)\n", str(path)]
    elif tool == "follow":
        command = [trace_path(), "--follow", "--plot", str(folder / "out.png"), str(path)]
    else:
        command = [trace_path(), "--summary", str(path)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                            preexec_fn=limited(),
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    return result.returncode, result.stdout, result.stderr


@pytest.mark.parametrize("tool", ["brivane-trace", "read"])
def test_a_trace_of_empty_lines_is_read_in_the_memory_its_text_takes(tmp_path, tool):
    # 64 MiB of empty lines: a chunk held ready for each would take 2.5 GiB.
    path = tmp_path / "empty.trace"
    with open(path, "wb") as file:
        file.write(b"brivane-trace 1\n")
        block = b"\n" * (16 << 20)
        for _ in range(4):
            file.write(block)
    code, out, error = run(tool, path, tmp_path)
    path.unlink()
    assert code == 0, error
    assert ("frames 0" if tool == "read" else "device: arm, 0 chunks over 0.000 s") in out


@pytest.mark.parametrize("tool", ["brivane-trace", "follow", "read"])
@pytest.mark.parametrize("kind", ["FIFO", "character device"])
def test_what_is_no_regular_file_is_refused_at_once(tmp_path, kind, tool):
    if kind == "FIFO":
        path = tmp_path / "live.trace"
        os.mkfifo(path)
    else:
        path = pathlib.Path("/dev/zero")
    try:
        code, _, error = run(tool, path, tmp_path, timeout=20)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{tool} still waits on the {kind}")
    assert code == 1 and str(path) in error, error
    assert f"a {kind}, not a regular file" in error and "save the trace to a file" in error, error
    assert error.startswith("OSError: " if tool == "read" else "brivane-trace: "), error
    assert sorted(p.name for p in tmp_path.iterdir()) == (["live.trace"] if kind == "FIFO" else [])


def long_name(extension):
    """A file name of 251 bytes: one the file system takes (up to 255), but too long to
    be a part of another name."""
    return "a" * (251 - len(extension)) + extension


def record_and_follow(target):
    """brivane-sim --proxy records `target` while brivane-trace --follow draws it; a program
    opens the port and closes it again. The path followed, and brivane-trace's status."""
    out = target.parent / "live.png"
    with Simulator("arm") as arm:
        proxy = Sim("--proxy", arm.port, "--record", target)
        follower = subprocess.Popen([trace_path(), "--follow", "--plot", str(out), str(target)],
                                    stderr=subprocess.PIPE, text=True)
        followed = re.match(r"brivane-trace: following (.*)$",
                            follower.stderr.readline().rstrip("\n"))
        program = os.open(proxy.port, os.O_RDWR | os.O_NOCTTY)
        os.write(program, b"\xac")
        assert select.select([program], [], [], 10)[0] and os.read(program, 2) == b"\xac\x01"
        os.close(program)
        assert proxy.finish()[0] == 0
        assert follower.wait(timeout=30) == 0, follower.stderr.read()
        follower.stderr.close()
    assert out.read_bytes().startswith(b"\x89PNG")
    return followed and followed.group(1)


@pytest.mark.parametrize("tool, extension", [
    ("csv", ".csv"), ("plot", ".png"), ("record", ".trace"), ("follow", ".trace"),
    ("scope", ".png"),
])
def test_a_file_name_as_long_as_the_file_system_takes_is_written(tmp_path, tool, extension):
    target = tmp_path / long_name(extension)
    assert len(os.fsencode(target.name)) == 251
    if tool in ("csv", "plot"):
        code, _, error = decode(f"--{tool}", target, TRACES / "arm.trace")
        assert code == 0, error
    elif tool == "record":
        code, error = make_output(tool, target)
        assert code == 0, error
    elif tool == "follow":
        # The proxy's file, found beside the target while it records, is not the target.
        followed = record_and_follow(target)
        assert followed and pathlib.Path(followed).parent == tmp_path, followed
        assert pathlib.Path(followed).name.startswith(".") and followed != str(target)
    else:
        brivane = pytest.importorskip("brivane")
        pytest.importorskip("matplotlib")
        with Simulator("arm", "--hand", "hold=200") as simulator, \
                brivane.Arm(simulator.port, timeout=1.0) as arm:
            servo = brivane.Servo(arm, rate=500, ramp=0.0)
            with servo:
                taken = brivane.scope(servo, plot=target, duration=0.2)
        assert len(taken) > 0 and target.read_bytes().startswith(b"\x89PNG")
    if tool != "scope":
        assert is_output("record" if tool == "follow" else tool, target)
    # Nothing left beside it.
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        [target.name] + (["live.png"] if tool == "follow" else []))
