"""Devices played by pseudo-terminals, for the module's tests.

Many module methods keep the interpreter lock while they wait for the device, so a device
that must answer such a call answers from a forked child process, not from a thread.
"""
import os
import select
import sys
import time
import tty

import pytest

BUILD_HINT = "build the module first (see README) and put its folder on PYTHONPATH"


class PtyDevice:
    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self._child = None

    def send(self, data: bytes) -> None:
        view = memoryview(bytes(data))
        while view:
            view = view[os.write(self.master, view):]

    def receive(self, n: int, timeout: float = 1.0) -> bytes:
        """Reads exactly n bytes the library wrote; fewer when the time runs out."""
        data = b""
        until = time.monotonic() + timeout
        while len(data) < n:
            left = until - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            data += os.read(self.master, n - len(data))
        return data

    def receive_all(self, quiet: float = 0.05) -> bytes:
        data = b""
        while True:
            more = self.receive(4096, quiet)
            if not more:
                return data
            data += more

    def respond(self, request_length: int, answer: bytes, delay: float = 0.0) -> None:
        """From a child process: read a request, wait `delay`, then answer."""
        self.join()
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # pragma: no cover - the child
            try:
                os.close(read_end)
                request = self.receive(request_length, 10.0)
                os.write(write_end, request)
                time.sleep(delay)
                self.send(answer)
            finally:
                os._exit(0)
        os.close(write_end)
        self._child = (pid, read_end)

    def join(self) -> bytes:
        """Waits for the answering child; returns the request it read."""
        if self._child is None:
            return b""
        pid, read_end = self._child
        self._child = None
        os.waitpid(pid, 0)
        with os.fdopen(read_end, "rb") as pipe:
            return pipe.read()

    def close(self) -> None:
        self.join()
        os.close(self.master)
        os.close(self.slave)


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits out the module's fixed 5 s device timeout")


@pytest.fixture
def device():
    pty_device = PtyDevice()
    yield pty_device
    pty_device.close()


@pytest.fixture(scope="session")
def api():
    try:
        import BrivaneHardwareAPI
    except ImportError as error:  # pragma: no cover
        pytest.exit(f"cannot import BrivaneHardwareAPI ({error}): {BUILD_HINT}", returncode=1)
    assert sys.version_info[:2] == (3, 11)
    return BrivaneHardwareAPI
