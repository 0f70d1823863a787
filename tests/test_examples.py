"""The demo and the examples, run as a user runs them, against the device simulator."""
import pathlib
import re
import subprocess
import sys
import time

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
from simulator import Simulator  # noqa: E402


def run(script, *args):
    result = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_demo_with_simulated_devices():
    output = run("demo.py", "--seconds", 0.2)
    assert "Library version: 0.1.8" in output
    assert "device_model_number': 4" in output
    summary = output[output.index("== Summary"):]
    for row in ("library", "force loop", "host vs arm position", "grip status"):
        assert f"  {row}" in summary
    assert "user data [42]" in summary
    assert "all devices answered as expected" in output


def test_demo_with_ports_given():
    with Simulator("arm") as arm, Simulator("grip") as grip:
        output = run("demo.py", "--arm", arm.port, "--grip", grip.port, "--seconds", 0.1)
    assert f"arm {arm.port}, grip {grip.port}" in output
    assert "(simulated)" not in output


def test_demo_refuses_a_missing_port():
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py"), "--arm", "/dev/nonexistent"],
        capture_output=True, text=True, timeout=60)
    assert result.returncode != 0 and "no such port: /dev/nonexistent" in result.stderr


def test_virtual_wall_holds_the_push():
    output = run("virtual_wall.py", "--seconds", 1.0)
    depth = float(re.search(r"final depth (-?[\d.]+) mm", output).group(1))
    # A push of 1 N against 500 N/m rests 2 mm deep.
    assert depth == pytest.approx(2.0, abs=0.2)


def test_servo_wall_holds_the_push():
    output = run("servo_wall.py", "--seconds", 1.0)
    depth = float(re.search(r"final depth (-?[\d.]+) mm", output).group(1))
    assert depth == pytest.approx(2.0, abs=0.3)  # 1 N against 500 N/m, rendered by the servo


def test_grip_thread_reads_in_the_background():
    output = run("grip_thread.py", "--seconds", 0.8)
    assert int(re.search(r"(\d+) status messages in", output).group(1)) > 0
    # A handle state sent through the reader's queue comes back in the user data.
    assert re.search(r"user data \[[36]\]", output)


def test_detect_identifies_simulated_devices():
    output = run("detect.py", "--simulate", "--scan", "kalvars")
    assert "detect_kalvars()" in output
    assert re.search(r"/dev/pts/\d+ +Kalvar", output)
    assert re.search(r"/dev/pts/\d+ +Handle", output)


def test_grip_thread_stops_on_a_lost_grip_without_spinning():
    import grip_thread

    with Simulator("grip", "--rate", 500) as grip:
        reader = grip_thread.Reader(grip.port)
        reader.start()
        while reader.latest.snapshot()[0] == 0:
            time.sleep(0.01)
    cpu = time.process_time()
    reader.join(timeout=30)  # a few reopens, each failing at once, then it gives up
    assert not reader.is_alive() and reader.lost
    assert time.process_time() - cpu < 0.5


def test_brivane_loop_prints_its_statistics():
    output = run("brivane_loop.py", "--seconds", 1.2)
    assert re.search(r"1 s  \d+ exchanges, \d+ failed, \d+ Hz, latency p50", output), output
    assert "answers lost" in output
