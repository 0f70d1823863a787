"""Runs brivane-sim, the device simulator, for the examples, the tests and the benchmarks.

The simulator is found through the environment variable BRIVANE_SIM, else as
build/brivane-sim in this repository, else as the brivane-sim that pip installed with the
module (on PATH, or in this interpreter's scripts folder). Each Simulator plays one device
on its own pseudo-terminal and prints the port to open; `port` holds it.
"""
import os
import pathlib
import shutil
import subprocess
import sysconfig

REPOSITORY = pathlib.Path(__file__).resolve().parent.parent


def simulator_path() -> str:
    path = os.environ.get("BRIVANE_SIM")
    if not path:
        built = str(REPOSITORY / "build" / "brivane-sim")
        installed = [shutil.which("brivane-sim"),
                     shutil.which("brivane-sim", path=sysconfig.get_path("scripts"))]
        path = next((p for p in [built, *installed] if p and os.access(p, os.X_OK)), built)
    if not os.access(path, os.X_OK):
        raise FileNotFoundError(f"no device simulator at {path}: build the project or "
                                "pip install it (see README), or set BRIVANE_SIM")
    return path


class Simulator:
    """A simulated "arm" or "grip"; options are brivane-sim's, e.g. "--latency-us", 1000.

    Use it as a context manager, or call stop(). The simulator also ends with the thread
    that started it, so none outlives a crashed program.
    """

    def __init__(self, device: str = "arm", *options):
        command = [simulator_path(), "--device", device, "--exit-with-parent"]
        command += [str(option) for option in options]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.port = self.process.stdout.readline().strip()
        if not self.port:
            error = self.stop()
            raise RuntimeError(f"brivane-sim did not start: {error.strip()}")
        self.report = ""

    def stop(self) -> str:
        """Stops the simulator; returns what it wrote on stderr (its closing count)."""
        if self.process.poll() is None:
            self.process.terminate()
        _, error = self.process.communicate(timeout=10)
        self.report = error
        return error

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.stop()
