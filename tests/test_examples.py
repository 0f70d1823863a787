"""The demo and the examples, run as a user runs them, against the device simulator."""
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"
sys.path.insert(0, str(EXAMPLES))
from simulator import Simulator, simulator_path  # noqa: E402


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


@pytest.fixture(scope="module")
def physics_example(tmp_path_factory):
    """examples/cpp/physics, built against the library installed from the build folder the
    simulator is in; a skip where CMake finds no MuJoCo."""
    build = pathlib.Path(simulator_path()).parent
    cache = build / "CMakeCache.txt"
    if not cache.exists() or "BRIVANE_SANITIZE:BOOL=ON" in cache.read_text():
        pytest.skip("the C++ examples are built against the plain build's library")
    folder = tmp_path_factory.mktemp("physics")

    def cmake(*args):
        result = subprocess.run(["cmake", *map(str, args)], capture_output=True, text=True,
                                timeout=600)
        assert result.returncode == 0, result.stdout + result.stderr
        return result.stdout

    cmake("--install", build, "--prefix", folder / "prefix", "--component", "cpp")
    configured = cmake("-S", EXAMPLES / "cpp", "-B", folder / "example",
                       f"-DCMAKE_PREFIX_PATH={folder / 'prefix'}", "-DBRIVANE_WERROR=ON")
    if "MuJoCo not found" in configured:
        pytest.skip("no MuJoCo to build the physics example with: install libmujoco-dev")
    cmake("--build", folder / "example", "--target", "physics")
    return folder / "example" / "physics"


@pytest.mark.parametrize("ending", ["its time", "Ctrl-C"])
def test_physics_pushes_the_box_against_the_other_and_ends_at_zero_force(
        physics_example, tmp_path, ending):
    trace = pytest.importorskip("brivane.trace")
    record = tmp_path / "arm.trace"
    with Simulator("arm", "--hand", "push=0,0,1.5", "--hand", "hold=0,30") as arm:
        proxy = subprocess.Popen([simulator_path(), "--proxy", arm.port, "--record", record],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        port = proxy.stdout.readline().strip()
        program = subprocess.Popen([physics_example, port, "3" if ending == "its time" else "60"],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if ending == "Ctrl-C":
            time.sleep(3)  # the push takes about a second
            program.send_signal(signal.SIGINT)
        out, error = program.communicate(timeout=30)
        assert proxy.wait(timeout=30) == 0  # the proxy ends with the last user of its port
    assert program.returncode == 0, out + error
    assert re.search(r"^box moved 0\.0[23]\d m, stopped against the other at", out, re.M), out
    overruns, failures = map(int, re.search(r"^servo: \d+ periods at [\d.]+ Hz: (\d+) "
                                            r"overruns, (\d+) failures", out, re.M).groups())
    if overruns == 0 and failures == 0:
        # At rest against the box, the coupling holds the hand's whole push.
        held = float(re.search(r"held with \S+ \S+ (\S+) N$", out, re.M).group(1))
        assert held == pytest.approx(-1.5, abs=0.05)
    forces = trace.read(record).exchanges
    forces = forces[forces["command"] == "end_effector_force"]
    assert [forces[-1][f"command_{i}"] for i in range(3)] == [0.0, 0.0, 0.0]
