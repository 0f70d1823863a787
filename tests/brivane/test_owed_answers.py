"""Answers that come after their call gave up: thrown away when they land, never handed to
a later call, through brivane and the module alike; and the grip's status forms."""
import os
import select
import struct
import time

import pytest

WAKE_ANSWER = b"\x0b" + struct.pack("<HBBB", 7, 4, 3, 14) + bytes(range(16))
INFO = bytes([0xD0, 0x2C, 0x01, 0x05, 0x06, 0x07, 0x08])
ERROR_MESSAGE = bytes([0xDF, 0x34, 0x12, 0x09])


VELOCITY = 42.75  # its bytes 00 00 2B 42 hold the answer's code: a rest cut before them
CUT = 15          # begins like an answer


def numbered_state(number):
    return b"\x2b" + struct.pack("<6f", number, number, number, *[VELOCITY] * 3)


def play(device, steps):
    """From a child process: ("read", n) waits for n bytes, ("send", bytes, delay) sends them
    after the delay; ("numbered", late) answers force requests with their own number, the
    ones in `late` after late[n] seconds, until the line stays quiet for a second."""
    device.join()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            for step in steps:
                if step[0] == "read":
                    device.receive(step[1], 10.0)
                elif step[0] == "send":
                    time.sleep(step[2])
                    device.send(step[1])
                else:
                    serve_numbered(device, step[1])
        finally:
            os._exit(0)
    device._child = (pid, os.open(os.devnull, os.O_RDONLY))


def serve_numbered(device, late):  # pragma: no cover - in the child
    while select.select([device.master], [], [], 1.0)[0]:
        code = device.receive(1)
        if code == b"\x0a":
            device.send(WAKE_ANSWER)
        elif code == b"\x2a":
            number = struct.unpack("<f", device.receive(12)[:4])[0]
            time.sleep(late.get(int(number), 0.0))
            device.send(numbered_state(number))


def test_brivane_never_hands_a_late_answer_to_a_later_call(device):
    brivane = pytest.importorskip("brivane")
    play(device, [("numbered", {3: 0.15})])
    arm = brivane.Arm(device.path, timeout=0.05)
    answered = {}
    for number in range(1, 25):
        try:
            answered[number] = arm.force([number, 0, 0]).position
        except brivane.NoAnswer:
            pass
    arm.close()
    assert 3 not in answered
    assert all(position == (n, n, n) for n, position in answered.items()), answered
    assert set(range(17, 25)) <= set(answered), "not recovered"


@pytest.mark.slow
def test_module_drops_the_late_rest_of_a_cut_answer(api, device):
    """The rest of an answer, beginning 0x2B as any payload byte may, lands while the next
    call waits: that call returns its own answer, not values made of the rest."""
    arm = api.Kalvar(api.SerialStream(device.path))
    cut = numbered_state(1)
    play(device, [("read", 13), ("send", cut[:CUT], 0.0)])
    assert arm.end_effector_force([1, 0, 0]) == ([0.0] * 3, [0.0] * 3)
    rest = cut[CUT:]
    assert rest[0] == 0x2B
    play(device, [("send", rest, 0.3), ("read", 13), ("send", numbered_state(2), 0.0)])
    assert arm.end_effector_force([2, 0, 0]) == ([2.0] * 3, [VELOCITY] * 3)
    device.join()


@pytest.mark.slow
def test_module_grip_calls_back_for_no_message_made_of_a_late_rest(api, device):
    """A status message cut after 10 payload bytes returns 0; its rest, beginning 0xDF,
    lands while the next Receive waits and calls no error callback."""
    calls = []

    class Grip(api.Handle):
        def OnReceiveHandleInfo(self, *fields):
            calls.append(("info", fields))

        def OnReceiveHandleStatusMessage(self, *fields):
            calls.append(("status", fields))

        def OnReceiveHandleErrorResponse(self, *fields):
            calls.append(("error", fields))

    grip = Grip(api.SerialStream(device.path))
    status = struct.pack("<BHBB", 0xDA, 7, 0, 0) + b"\x00" * 6 + b"\xdf\x07\x02" + b"\x00" * 7
    status += b"\x00"
    device.send(status[:11])
    assert grip.Receive() == 0
    play(device, [("send", status[11:] + INFO, 0.3)])
    assert grip.Receive() == 6
    device.join()
    assert calls == [("info", (5, 300, 6, 7, 8))]


def test_module_grip_reads_the_message_after_a_stuffed_status_block(api, device):
    """The END that closes a stuffed block goes with it: the next Receive reads the next
    message at once."""
    calls = []

    class Grip(api.Handle):
        def OnReceiveHandleStatusMessage(self, *fields):
            calls.append(fields)

        def OnReceiveHandleErrorResponse(self, *fields):
            calls.append(fields)

    grip = Grip(api.SerialStream(device.path))
    block = bytearray(18)
    block[4], block[6] = 9, 0xC0
    body = bytes(block).replace(b"\xdb", b"\xdb\xdd").replace(b"\xc0", b"\xdb\xdc")
    device.send(b"\xda" + body + b"\xc0" + ERROR_MESSAGE)
    assert grip.GetStavrinStatus()["device_id"] == 9
    assert grip.Receive() == 3
    assert calls == [(0x1234, 9)]


@pytest.mark.parametrize("form, decoded", [("fixed", False), ("stuffed", True)])
def test_brivane_grip_status_is_decoded_only_from_a_closed_block_of_its_own(form, decoded):
    brivane = pytest.importorskip("brivane")
    import sys
    import pathlib
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
    from simulator import Simulator

    simulator = Simulator("grip", "--status", form)
    try:
        with brivane.Grip(simulator.port) as grip:
            if decoded:
                status = grip.status()
                assert status.device_id == grip.info.device_id & 0xFF
                assert 3.0 <= status.battery_level <= 4.275
            else:
                with pytest.raises(brivane.BadAnswer, match="plain 0xDA messages.*receive()"):
                    grip.status()
    finally:
        simulator.stop()
