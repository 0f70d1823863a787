"""The module entry: import, version functions, doc strings and the registered names."""
import contextlib
import io
import os
import signal
import subprocess
import sys
import time

import pytest

# Every name the module registers, in registration order.
ALL_NAMES = [
    "SerialStream",
    "UUID",
    "Device",
    "get_cpp_version",
    "print_cpp_version",
    "detect_kalvars",
    "detect_handles",
    "detect_wired_handles",
    "detect_wireless_handles",
    "Kalvar",
    "Handle",
    "__version__",
]
# What the interpreter gives every extension module.
MODULE_BASICS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_versions(api):
    assert api.get_cpp_version() == "0.1.8"
    assert api.__version__ == "dev"
    assert api.__name__ == "BrivaneHardwareAPI"
    assert api.__doc__ == "Python Implementation of the Brivane Hardware API"


def test_version_functions_show_their_signatures(api):
    for function, signature, text in [
        (api.get_cpp_version, "get_cpp_version() -> str", "Get the version of the CPP library"),
        (
            api.print_cpp_version,
            "print_cpp_version() -> None",
            "Print the version of the CPP library",
        ),
    ]:
        lines = function.__doc__.splitlines()
        assert lines[0] == signature
        assert [line for line in lines[1:] if line] == [text]


def test_print_cpp_version_writes_to_the_process_stdout(api, capfd):
    redirected = io.StringIO()
    with contextlib.redirect_stdout(redirected):
        assert api.print_cpp_version() is None
    assert redirected.getvalue() == ""
    out, err = capfd.readouterr()
    assert out == "Library version: 0.1.8\n"
    assert err == ""


def test_names_are_registered_in_order(api):
    # The module grows issue by issue: what is there so far is a prefix-ordered part of the
    # full list, nothing else, and always holds the entry's own names.
    names = [name for name in vars(api) if name not in MODULE_BASICS]
    assert set(names) <= set(ALL_NAMES), set(names) - set(ALL_NAMES)
    assert names == sorted(names, key=ALL_NAMES.index)
    for name in ["SerialStream", "UUID", "Device", "get_cpp_version", "print_cpp_version"]:
        assert name in names
    assert names[-1] == "__version__"


def test_the_entry_point_is_the_only_export(api):
    """No library symbol can take over, or be taken over by, one loaded before the module."""
    table = subprocess.run(["nm", "-D", "--defined-only", api.__file__], check=True,
                           capture_output=True, text=True).stdout
    functions = [fields[2] for fields in map(str.split, table.splitlines())
                 if len(fields) == 3 and fields[1] in "TtWwi"]
    assert functions == ["PyInit_BrivaneHardwareAPI"]

    peer = os.environ["BRIVANE_VERSION_PEER"]
    code = ("import ctypes, sys; ctypes.CDLL(sys.argv[1], mode=ctypes.RTLD_GLOBAL); "
            "import BrivaneHardwareAPI as api; print(api.get_cpp_version())")
    run = subprocess.run([sys.executable, "-c", code, peer], check=True, capture_output=True,
                         text=True)
    assert run.stdout == "0.1.8\n"


INTERRUPTED_CALL = """
import os, sys, time, tty
import BrivaneHardwareAPI as api
master, slave = os.openpty()
tty.setraw(slave)
stream = api.SerialStream(os.ttyname(slave))
device = (api.Kalvar if sys.argv[1] == "Kalvar" else api.Handle)(stream)
print("ready", flush=True)
start = time.monotonic()
try:
    getattr(device, sys.argv[2])()
    print("returned")
except KeyboardInterrupt:
    print(f"interrupted after {time.monotonic() - start:.1f} s")
os.set_blocking(master, False)
try:
    print(os.read(master, 1024).hex())
except BlockingIOError:
    print("")
"""


@pytest.mark.parametrize("device, method, sent", [
    ("Kalvar", "get_temperature", "aa"),  # waits with the interpreter lock held
    ("Handle", "Receive", None),          # waits with it released
])
def test_ctrl_c_ends_a_wait_for_a_silent_device_at_once(device, method, sent):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED_CALL, device, method],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    time.sleep(1.0)
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=15)
    lines = out.splitlines()
    # At once: within a loaded machine's scheduling of the signal (a sanitizer build, say).
    assert lines[0].startswith("interrupted after "), err
    assert 1.0 <= float(lines[0].split()[2]) < 1.5, lines[0]
    assert err == ""  # no error line for a wait that was stopped
    if sent is not None:
        assert lines[1] == sent  # and no drain or other traffic after it
