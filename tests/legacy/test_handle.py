"""The Handle class: commands, messages reaching Python overrides, and the status dict."""
import ctypes
import gc
import os
import struct
import threading
import time
import tty
import warnings
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest

INFO = bytes([0xD0, 0x2C, 0x01, 0x05, 0x06, 0x07, 0x08])  # device 300, then 5, 6, 7, 8
ERROR = bytes([0xDF, 0x34, 0x12, 0x09])  # device 0x1234, code 9
PURE_VIRTUAL = 'Tried to call pure virtual function "API::Devices::Handle::OnReceiveHandleStatusMessage"'


def status_message(user_data=b"", device_id=0x0102, quaternion=(0.5, -0.25, 1.0, -1.0)):
    return (struct.pack("<BHBB4fB", 0xDA, device_id, 3, 4, *quaternion, len(user_data))
            + bytes(user_data))


def stuffed_status_frame(block):
    body = bytes(block).replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")
    return b"\xda" + body + b"\xc0"


@pytest.fixture
def stream(api, device):
    return api.SerialStream(device.path)


@pytest.fixture
def handle(api, stream):
    return api.Handle(stream)


def first_doc_line(method):
    return method.__doc__.splitlines()[0]


def test_class_shape_and_signatures(api):
    H = "BrivaneHardwareAPI.Handle"
    assert api.Handle.__doc__ == "The stavrin handle class"
    assert not issubclass(api.Handle, api.Device)
    expected = {
        "__init__": f"__init__(self: {H}, arg0: BrivaneHardwareAPI.SerialStream) -> None",
        "SendDeviceWakeup": f"SendDeviceWakeup(self: {H}) -> None",
        "SendHandleState": f"SendHandleState(self: {H}, device_id: int = 0, data_length: int = 0,"
                           " user_data: int = None) -> None",
        "RequestStatus": f"RequestStatus(self: {H}) -> None",
        "OnReceiveHandleInfo": f"OnReceiveHandleInfo(self: {H}, tool_data_remaining: int,"
                               " device_id: int, device_model_number: int, hardware_version: int,"
                               " firmware_version: int) -> None",
        "OnReceiveHandleStatusMessage": f"OnReceiveHandleStatusMessage(self: {H}, device_id: int,"
                                        " quaternion: float, error_flag: int,"
                                        " hall_effect_sensor_level: int, user_data_length: int,"
                                        " user_data: int) -> None",
        "OnReceiveHandleErrorResponse": f"OnReceiveHandleErrorResponse(self: {H}, device_id: int,"
                                        " error_code: int) -> None",
        "Receive": "Receive(*args, **kwargs)",
        "GetStavrinStatus": f"GetStavrinStatus(self: {H}) -> dict",
    }
    for name, signature in expected.items():
        assert first_doc_line(getattr(api.Handle, name)) == signature, name

    docs = {
        "SendDeviceWakeup": [], "SendHandleState": ["send handle state"],
        "RequestStatus": ["request handle status"],
        "OnReceiveHandleInfo": ["OnReceiveHandleInfo"],
        "OnReceiveHandleStatusMessage": ["OnReceiveHandleStatusMessage"],
        "OnReceiveHandleErrorResponse": ["OnReceiveHandleErrorResponse"],
        "GetStavrinStatus": ["Get the most recent Stavrin informations"],
    }
    for name, doc in docs.items():
        assert [line for line in getattr(api.Handle, name).__doc__.splitlines()[1:] if line] == doc
    receive = [line for line in api.Handle.Receive.__doc__.splitlines() if line]
    assert receive[2:] == [
        f"1. Receive(self: {H}) -> int", "Receive data from the handle",
        f"2. Receive(self: {H}, obsolete: int) -> int",
        "[DEPRECATED] Receive current and return current",
    ]


def test_commands_are_sent_byte_exact(handle, device):
    handle.SendDeviceWakeup()
    handle.RequestStatus()
    handle.SendHandleState()
    handle.SendHandleState(5, 1, 127)
    handle.SendHandleState(data_length=0, device_id=300)
    assert device.receive_all() == bytes.fromhex("0a da db000000 db0500017f db2c0100")


class OnlyInt:
    def __int__(self):
        return 300


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("args", [
    (65536,), (-1,), (0, 256), (0, -1), (0, 1, 256), (0, 1, -1), (1.0,), (0, 1, 2.0), ("1",),
    # Numbers that are not integers are not truncated into one.
    (Decimal("300.9"),), (Fraction(601, 2),), (0, Decimal("0.5")), (OnlyInt(),), (Index(65536),),
])
def test_out_of_range_arguments_raise_type_error_and_send_nothing(handle, device, args):
    with pytest.raises(TypeError):
        handle.SendHandleState(*args)
    assert device.receive_all() == b""
    handle.SendHandleState(Index(300), True, Index(7))  # what says it is an int, is one
    assert device.receive_all() == bytes.fromhex("db2c010107")


def test_data_length_beyond_the_user_data_given_raises_value_error(handle, device):
    for args in [(1, 1), (1, 1, None), (1, 2, 7), (1, 255, 7)]:
        with pytest.raises(ValueError, match="larger than the user data given"):
            handle.SendHandleState(*args)
    assert device.receive_all() == b""
    handle.SendHandleState(1, 0, 7)  # a byte given but not announced is not sent
    assert device.receive_all() == bytes.fromhex("db010000")


def test_handle_keeps_its_stream_alive_and_refuses_none(api, device):
    stream = api.SerialStream(device.path)
    stream_ref = weakref.ref(stream)
    grip = api.Handle(stream)
    del stream
    gc.collect()
    assert stream_ref() is not None
    grip.SendDeviceWakeup()
    assert device.receive_all() == b"\x0a"
    del grip
    gc.collect()
    assert stream_ref() is None
    with pytest.raises(TypeError):
        api.Handle(None)


def test_plain_handle_consumes_messages_without_python_code(handle, device):
    device.send(status_message(b"\x01\x02\x03") + INFO + ERROR)
    assert handle.Receive() == 24
    assert handle.Receive() == 6
    assert handle.Receive() == 3
    # Calling the callbacks directly reaches the library's empty bodies.
    assert handle.OnReceiveHandleInfo(1, 2, 3, 4, 5) is None
    assert handle.OnReceiveHandleStatusMessage(1, 0.5, 2, 3, 255, 4) is None
    assert handle.OnReceiveHandleErrorResponse(1, 2) is None


def test_a_stream_of_long_messages_keeps_flowing(handle, device):
    # A tty whose input buffer filled takes more only once a read has nearly emptied it: a
    # read that waited for a whole payload before taking any of it would stall there.
    count = 2000
    device.respond(0, b"".join(status_message(bytes(140), device_id=i) for i in range(count)))
    for i in range(count):
        assert handle.Receive() == 21 + 140, f"message {i}"
    device.join()


class Recorder:
    """Mixed into Handle subclasses: every override appends what it was given."""

    def record(self, *call):
        if not hasattr(self, "calls"):
            self.calls = []
        self.calls.append(call)


def test_subclass_overriding_only_info(api, stream, device):
    class InfoOnly(api.Handle, Recorder):
        def OnReceiveHandleInfo(self, *args):
            self.record("info", *args)

    grip = InfoOnly(stream)
    device.send(INFO + ERROR + status_message() + INFO)
    assert grip.Receive() == 6
    assert grip.calls == [("info", 5, 300, 6, 7, 8)]
    assert all(type(value) is int for value in grip.calls[0][1:])
    assert grip.Receive() == 3  # the error response is ignored
    with pytest.raises(RuntimeError) as raised:
        grip.Receive()
    assert str(raised.value) == PURE_VIRTUAL
    # The status message was consumed: the next message is read normally.
    assert grip.Receive() == 6
    assert len(grip.calls) == 2


def test_subclass_overriding_all_three(api, stream, device):
    class Full(api.Handle, Recorder):
        def OnReceiveHandleInfo(self, *args):
            self.record("info", *args)

        def OnReceiveHandleStatusMessage(self, *args):
            self.record("status", *args)

        def OnReceiveHandleErrorResponse(self, *args):
            self.record("error", *args)

    grip = Full(stream)
    full = bytes(range(255, 0, -1))
    device.send(status_message() + status_message(full) + ERROR + INFO)
    assert [grip.Receive() for _ in range(4)] == [21, 276, 3, 6]
    assert grip.calls == [
        ("status", 0x0102, [0.5, -0.25, 1.0, -1.0], 3, 4, 0, []),
        ("status", 0x0102, [0.5, -0.25, 1.0, -1.0], 3, 4, 255, list(full)),
        ("error", 0x1234, 9),
        ("info", 5, 300, 6, 7, 8),
    ]


def test_overrides_are_looked_up_for_every_message(api, stream, device):
    class Nested(api.Handle, Recorder):
        def OnReceiveHandleInfo(self, *args):
            self.record("info", args[1])
            if len(self.calls) == 1:
                self.Receive()  # the next info message reaches this override too

        def OnReceiveHandleStatusMessage(self, device_id, *rest):
            self.record("status", device_id)
            if len(self.calls) == 3:
                self.Receive()

    grip = Nested(stream)
    device.send(INFO + INFO + status_message() + status_message(device_id=7))
    assert grip.Receive() == 6
    assert grip.Receive() == 21
    assert grip.calls == [("info", 300), ("info", 300), ("status", 0x0102), ("status", 7)]

    # A handler added after the first message of its kind, on the class or the instance.
    class Late(api.Handle, Recorder):
        pass

    late = Late(stream)
    device.send(ERROR + ERROR + ERROR)
    assert late.Receive() == 3
    Late.OnReceiveHandleErrorResponse = lambda self, *args: self.record("class", *args)
    assert late.Receive() == 3
    late.OnReceiveHandleErrorResponse = lambda *args: late.record("instance", *args)
    assert late.Receive() == 3
    assert late.calls == [("class", 0x1234, 9), ("instance", 0x1234, 9)]

    # An attribute that raises says why, rather than that nothing overrides it.
    class Raising(api.Handle):
        @property
        def OnReceiveHandleStatusMessage(self):
            raise LookupError("no handler configured")

    device.send(status_message())
    with pytest.raises(LookupError, match="no handler configured"):
        Raising(stream).Receive()


def test_exception_in_override_leaves_receive(api, stream, device):
    class Raising(api.Handle):
        def OnReceiveHandleErrorResponse(self, device_id, error_code):
            raise KeyError(error_code)

    grip = Raising(stream)
    device.send(ERROR + INFO)
    with pytest.raises(KeyError) as raised:
        grip.Receive()
    assert raised.value.args == (9,)
    assert grip.Receive() == 6


def test_super_calls_of_the_base_callbacks(api, stream, device):
    class Calling(api.Handle, Recorder):
        def OnReceiveHandleInfo(self, *args):
            self.record("info", super().OnReceiveHandleInfo(*args))

        def OnReceiveHandleErrorResponse(self, *args):
            self.record("error", super().OnReceiveHandleErrorResponse(*args))

        def OnReceiveHandleStatusMessage(self, device_id, quaternion, *rest):
            # The base of the status callback has no body to reach: it is pure.
            super().OnReceiveHandleStatusMessage(device_id, quaternion[0], 1, 2, 0, 0)

    grip = Calling(stream)
    device.send(INFO + ERROR + status_message())
    assert grip.Receive() == 6
    assert grip.Receive() == 3
    assert grip.calls == [("info", None), ("error", None)]
    with pytest.raises(RuntimeError, match="pure virtual"):
        grip.Receive()


def test_direct_status_call_through_the_class_widens_with_zeros(api, stream):
    class Status(api.Handle, Recorder):
        def OnReceiveHandleStatusMessage(self, *args):
            self.record(*args)

    grip = Status(stream)
    api.Handle.OnReceiveHandleStatusMessage(grip, 7, 0.5, 1, 2, 3, 9)
    api.Handle.OnReceiveHandleStatusMessage(grip, 7, -1.0, 1, 2, 255, 200)
    api.Handle.OnReceiveHandleStatusMessage(grip, 7, 0.0, 1, 2, 0, 200)
    assert grip.calls == [
        (7, [0.5, 0.0, 0.0, 0.0], 1, 2, 3, [9, 0, 0]),
        (7, [-1.0, 0.0, 0.0, 0.0], 1, 2, 255, [200] + [0] * 254),
        (7, [0.0, 0.0, 0.0, 0.0], 1, 2, 0, []),
    ]
    with pytest.raises(TypeError):
        api.Handle.OnReceiveHandleStatusMessage(grip, 7, 0.5, 1, 2, 256, 9)


def test_deprecated_receive_warns_once_then_reads(handle, device, api):
    device.send(INFO + INFO)
    with pytest.warns(DeprecationWarning) as record:
        assert handle.Receive(0) == 6
    assert [str(w.message) for w in record] == ["Receive with one argument is deprecated"]
    assert record[0].filename == __file__
    with pytest.raises(TypeError):
        handle.Receive(300)
    # As an error the warning is raised before anything is read.
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            handle.Receive(1)
    assert handle.Receive() == 6


def test_status_dict(handle, device):
    block = bytearray(18)
    block[2], block[3], block[4] = 0, 0xE5, 42
    block[8:16] = struct.pack("<4H", 0x8000, 0x7FFF, 0x0000, 0xC000)
    block[16] = 200
    block[0], block[17] = 0xDB, 0xC0  # stuffed on the wire
    device.send(b"\x01\x02" + stuffed_status_frame(block))
    status = handle.GetStavrinStatus()
    assert list(status) == ["device_id", "quaternion", "error_flag", "hall_effect_sensor_level",
                            "buttons", "battery_level"]
    assert status == {"device_id": 42, "quaternion": [-1.0, 0.999969482421875, 0.0, -0.5],
                      "error_flag": 0, "hall_effect_sensor_level": 5, "buttons": 7,
                      "battery_level": 4.0}


@pytest.mark.slow
def test_status_dict_of_a_silent_grip(handle):
    assert handle.GetStavrinStatus() == {
        "device_id": 0, "quaternion": [0.0, 0.0, 0.0, 0.0], "error_flag": 2,
        "hall_effect_sensor_level": 0, "buttons": 0, "battery_level": 0.0}


STUFFED_BLOCK = bytes([0xC0, 1, 2, 3, 4, 0xDB, 6, 7, 8, 9, 0xC0]) + bytes(7)


@pytest.mark.parametrize("sent", [
    pytest.param(b"\xda", id="header_only"),
    pytest.param(b"\xda" + bytes(range(1, 11)), id="within_the_first_19_raw_bytes"),
    pytest.param(stuffed_status_frame(STUFFED_BLOCK)[:21], id="stuffed_and_short_after_19"),
])
def test_status_block_cut_short_by_a_vanished_grip_is_a_bad_block(api, sent):
    # The grip's own line, which vanishes from under the read after sending `sent`.
    master, slave = os.openpty()
    tty.setraw(slave)
    grip = api.Handle(api.SerialStream(os.ttyname(slave)))
    os.write(master, sent)

    def vanish():
        time.sleep(0.3)
        os.close(master)
        os.close(slave)

    vanishing = threading.Thread(target=vanish)
    vanishing.start()
    started = time.monotonic()
    status = grip.GetStavrinStatus()
    taken = time.monotonic() - started
    vanishing.join()
    assert status == {
        "device_id": 0, "quaternion": [0.0, 0.0, 0.0, 0.0], "error_flag": 1,
        "hall_effect_sensor_level": 0, "buttons": 0, "battery_level": 0.0}
    assert taken < 2.5  # the line's loss ends the call, not the 5 s time-out


def test_overrides_run_on_the_calling_thread_with_the_lock_while_others_ran(api, stream, device):
    stamps = []  # when the other thread ran, every 10 ms or so
    stop = threading.Event()

    def other_thread():
        while not stop.is_set():
            now = time.monotonic()
            if not stamps or now - stamps[-1] >= 0.01:
                stamps.append(now)

    class Watching(api.Handle, Recorder):
        def OnReceiveHandleInfo(self, *args):
            self.record(threading.get_ident(), ctypes.pythonapi.PyGILState_Check())

    grip = Watching(stream)
    other = threading.Thread(target=other_thread)
    other.start()
    try:
        for call, answer in [(grip.Receive, INFO),
                             (grip.GetStavrinStatus, stuffed_status_frame(bytes(18)))]:
            # The grip answers the status request after a while, from another process.
            device.respond(1, answer, delay=0.3)
            grip.RequestStatus()
            started = time.monotonic()
            call()
            assert time.monotonic() - started >= 0.25
            assert device.join() == b"\xda"
            assert any(started + 0.1 <= stamp <= started + 0.2 for stamp in stamps), \
                f"{call.__name__}: other threads stood still during the wait"
    finally:
        stop.set()
        other.join()
    assert grip.calls == [(threading.get_ident(), 1)]
