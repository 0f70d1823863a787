"""SerialStream, UUID and Device as the module registers them."""
import array
import errno
import fcntl
import os
import pwd
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import threading

import pytest
from conftest import PtyDevice

ERROR_LINE = re.compile(r"\[err\] /\S*Library/src/SerialStream\.cpp:(\d+)> (.*): \[(-?\d+)\] (.+)")


def error_lines(text):
    lines = text.splitlines()
    matches = [ERROR_LINE.fullmatch(line) for line in lines]
    assert all(matches), lines
    return [(match[2], int(match[3])) for match in matches]


def test_no_class_doc_strings_and_rendered_signatures(api):
    for cls in (api.SerialStream, api.UUID, api.Device):
        assert cls.__doc__ is None
    init = api.SerialStream.__init__.__doc__.splitlines()
    assert init[0] == "__init__(self: BrivaneHardwareAPI.SerialStream, arg0: str) -> None"
    assert [line for line in init[1:] if line] == ["Initialize the serial stream"]
    assert api.UUID.__init__.__doc__.strip() == "__init__(self: BrivaneHardwareAPI.UUID) -> None"
    assert api.UUID.bytes.__doc__.strip() == "bytes(self: BrivaneHardwareAPI.UUID) -> List[int]"


def test_serial_stream_opens_from_str_bytes_and_bytearray(api, device, capfd):
    for name in (device.path, device.path.encode(), bytearray(device.path.encode())):
        stream = api.SerialStream(name)
        assert capfd.readouterr().err == ""
        # Held: a second opener is refused, and the first still stands.
        other = api.SerialStream(device.path)
        assert error_lines(capfd.readouterr().err) == [
            (f"unable to open port '{device.path}'", 16),
            (f"unable to open stream '{device.path}'", 16),
        ]
        del other, stream  # destroying the stream closes the port for the next round


def test_serial_stream_on_a_missing_port_still_exists(api, capfd):
    stream = api.SerialStream("ttyBrivaneNoSuchPort")
    assert isinstance(stream, api.SerialStream)
    assert error_lines(capfd.readouterr().err) == [
        ("unable to open port 'ttyBrivaneNoSuchPort'", 2),
        ("unable to open stream 'ttyBrivaneNoSuchPort'", 2),
    ]


@pytest.mark.parametrize("argument", [None, 3, ["ttyS0"]])
def test_serial_stream_refuses_what_is_not_a_name(api, capfd, argument):
    with pytest.raises(TypeError):
        api.SerialStream(argument)
    assert capfd.readouterr().err == ""


def test_serial_stream_refuses_a_name_with_a_nul_and_opens_nothing(api, device, capfd):
    with pytest.raises(ValueError, match="embedded null byte"):
        api.SerialStream(device.path + "\0tail")
    assert capfd.readouterr().err == ""
    api.SerialStream(device.path)  # the port was not taken
    assert capfd.readouterr().err == ""


ANY_ERROR_LINE = re.compile(r"\[err\] /\S*Library/src/(\w+)\.cpp:\d+> (.*): \[(-?\d+)\] .+")


@pytest.mark.parametrize("kind", ["file", "fifo", "null"])
def test_a_path_that_is_no_serial_port_is_never_written(api, tmp_path, capfd, kind):
    content = b"vm\n"
    path, reader = tmp_path / kind, None
    if kind == "file":
        path.write_bytes(content)
    elif kind == "fifo":
        os.mkfifo(path)
        reader = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    else:
        path = "/dev/null"  # a device, but no terminal
    stream = api.SerialStream(str(path))
    assert error_lines(capfd.readouterr().err) == [
        (f"unable to open port '{path}'", errno.ENOTTY),
        (f"unable to open stream '{path}'", errno.ENOTTY),
    ]
    assert api.Kalvar(stream).get_temperature() == 0.0
    grip = api.Handle(stream)
    grip.SendDeviceWakeup()
    grip.SendHandleState(1, 1, 7)
    grip.RequestStatus()
    lines = [ANY_ERROR_LINE.fullmatch(line) for line in capfd.readouterr().err.splitlines()]
    assert [(line[1], line[2], int(line[3])) for line in lines] == [
        ("SerialStream", "unable to write '1' bytes to stream", errno.EBADF),
        ("Device", "unable to read header code from stream", errno.EBADF),
        ("SerialStream", "unable to write '1' bytes to stream", errno.EBADF),
        ("SerialStream", "unable to write '5' bytes to stream", errno.EBADF),
        ("SerialStream", "unable to write '1' bytes to stream", errno.EBADF),
    ]
    if kind == "file":
        assert path.read_bytes() == content
    elif kind == "fifo":
        assert os.read(reader, 16) == b""  # nothing came, and its writer is gone
        os.close(reader)


def test_a_name_is_opened_by_the_bytes_python_decoded_it_from(api, device, tmp_path, capfd):
    link = os.path.join(os.fsencode(tmp_path), b"port-\xff")
    os.symlink(device.path, link)
    assert api.SerialStream(os.fsdecode(link)) is not None
    assert capfd.readouterr().err == ""
    api.SerialStream(os.fsdecode(b"/dev/ttyUSB-\xff"))
    assert error_lines(capfd.readouterr().err)[0] == ("unable to open port '/dev/ttyUSB-\\xff'", 2)
    with pytest.raises(UnicodeEncodeError):  # a lone surrogate has no bytes
        api.SerialStream("/dev/tty\ud800")


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"),
                    reason="needs root, to run as another user")
def test_a_closed_port_opens_again_for_a_user_who_is_not_root(device):
    # The line stays up (the test holds it), so its exclusive mode would outlive the stream.
    os.chown(device.path, pwd.getpwnam("nobody").pw_uid, -1)
    script = ("import sys, BrivaneHardwareAPI as api\n"
              "for _ in range(2):\n"
              "    stream = api.SerialStream(sys.argv[1])\n"
              "    del stream\n")
    result = subprocess.run(
        ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable, "-c",
         script, device.path], capture_output=True, timeout=60)
    assert (result.returncode, result.stderr.decode()) == (0, "")


def test_serial_stream_takes_its_name_by_position_only(api, device):
    with pytest.raises(TypeError):
        api.SerialStream(port=device.path)
    with pytest.raises(TypeError):
        api.SerialStream()


def test_serial_streams_made_on_many_threads_at_once(api):
    # Each opening runs without the interpreter lock, and only the opening: filling in the
    # instance without it corrupts the binding layer's shared registry of instances.
    from conftest import PtyDevice

    devices = [PtyDevice() for _ in range(4)]
    made = []

    def make(path):
        for _ in range(3000):
            made.append(api.SerialStream(path))
            made.pop()

    threads = [threading.Thread(target=make, args=(d.path,)) for d in devices]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for d in devices:
            d.close()
    assert made == []


def test_uuid_is_sixteen_zero_bytes_in_a_new_list_each_call(api):
    uuid = api.UUID()
    first, second = uuid.bytes(), uuid.bytes()
    assert first == [0] * 16
    assert first == second and first is not second
    first.append(1)
    assert uuid.bytes() == [0] * 16
    with pytest.raises(TypeError):
        uuid.bytes(0)
    with pytest.raises(AttributeError):
        uuid.bytes = [1] * 16
    assert api.UUID() != api.UUID()  # no comparison of its own


def test_device_has_no_constructor(api):
    with pytest.raises(TypeError) as raised:
        api.Device()
    assert str(raised.value) == "BrivaneHardwareAPI.Device: No constructor defined!"


# Arguments for the methods that have no defaults.
CALLBACK_ARGUMENTS = {
    "OnReceiveHandleInfo": (1, 2, 3, 4, 5),
    "OnReceiveHandleStatusMessage": (1, 0.5, 2, 3, 0, 4),
    "OnReceiveHandleErrorResponse": (1, 2),
    "ReceiveState": ([0.0] * 3, [0.0] * 3),
}


def uninitialized_calls():
    import BrivaneHardwareAPI as api

    class Grip(api.Handle):
        pass

    for cls in (api.SerialStream, api.UUID, api.Kalvar, api.Handle, Grip):
        for name, member in vars(cls if cls is not Grip else api.Handle).items():
            if callable(member) and not name.startswith("_"):
                arguments = CALLBACK_ARGUMENTS.get(name, ())
                yield pytest.param(cls, name, arguments, id=f"{cls.__name__}.{name}")
    unbuilt_stream = lambda: api.SerialStream.__new__(api.SerialStream)  # noqa: E731
    for device in (api.Kalvar, api.Handle):
        yield pytest.param(device, None, unbuilt_stream, id=f"{device.__name__}(unbuilt stream)")


def in_child(call):
    """Runs call() in a forked child: the text of the TypeError it raised, or why not."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            call()
            outcome = "no error"
        except TypeError as error:
            outcome = str(error)
        except BaseException as error:  # noqa: B036
            outcome = f"{type(error).__name__}: {error}"
        os.write(write_end, outcome.encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        finished = select.select([pipe], [], [], 10.0)[0]
        if not finished:  # uninitialised memory may hold any time-out
            os.kill(pid, signal.SIGKILL)
        outcome = pipe.read().decode() if finished else "hung"
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status), f"the child died of signal {os.WTERMSIG(status)}"
    return outcome


@pytest.mark.parametrize("cls, name, arguments", uninitialized_calls())
def test_an_object_whose_init_never_ran_is_refused(api, cls, name, arguments):
    if name is None:
        call = lambda: cls(arguments()).SendDeviceWakeup()  # noqa: E731
    else:
        call = lambda: getattr(cls.__new__(cls), name)(*arguments)  # noqa: E731
    assert "object is not initialized" in in_child(call)


def test_a_second_init_is_refused_and_touches_no_port(api, device):
    other = PtyDevice()
    try:
        other.send(b"left alone")
        stream = api.SerialStream(device.path)
        for target, argument in [(stream, other.path), (api.UUID(), None),
                                 (api.Kalvar(stream), stream), (api.Handle(stream), stream)]:
            with pytest.raises(TypeError, match="initialized already"):
                target.__init__(*([] if argument is None else [argument]))
        assert other.receive_all() == b""  # nothing written to it
        queued = array.array("i", [0])
        fcntl.ioctl(other.slave, termios.FIONREAD, queued)
        assert queued[0] == len(b"left alone")  # its input not flushed either
    finally:
        other.close()
