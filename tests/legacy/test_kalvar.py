"""The Kalvar arm from Python: signatures, results, legacy methods, warnings and the lock."""
import gc
import math
import re
import struct
import threading
import time
import uuid
import warnings

import pytest

ZERO13 = b"\x2a" + bytes(12)


def floats(*values):
    return struct.pack(f"<{len(values)}f", *values)


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


STATE = (0.5, -1.25, 2.0, 3.5, -4.0, 1e-3)
STATE_LISTS = ([f32(v) for v in STATE[:3]], [f32(v) for v in STATE[3:]])
INFO_ANSWER = b"\x0b\x2c\x01\x04\x02\x07" + bytes(range(16))


@pytest.fixture
def arm(api, device):
    return api.Kalvar(api.SerialStream(device.path))


# Re-derived here from the linkage geometry, in double precision, with the arm's own
# constants (its pi, its not-quite-unit base quaternion).
def forward_kinematics(q0, q1, q2):
    l1, l2 = 0.14, 0.165
    x = l1 * math.cos(q1) - l1 * math.cos(q2)
    y = l1 * math.sin(q1) - l1 * math.sin(q2)
    g = math.hypot(x, y)
    if g < 1e-6:
        psi = q1
    else:
        psi = math.atan2(y, x) + 3.141592 - math.acos(g / (2 * l2))
    xp = l2 * math.cos(psi) + l1 * math.cos(q1)
    yp = l2 * math.sin(psi) + l1 * math.sin(q1)
    lateral = -0.052 + 0.0765
    m = -(xp + 0.18645)
    h = -math.cos(q0) * yp + math.sin(q0) * lateral
    e = math.cos(q0) * lateral + math.sin(q0) * yp
    w2 = 2 * 0.7071 * 0.7071
    return [(1 - w2) * m + w2 * e, h, -w2 * m + (1 - w2) * e]


def host_position(degrees, offsets=(0.0, 0.0, 0.0)):
    k = 3.141592 / 180
    a0, a1, a2 = (f32(a) for a in degrees)
    return forward_kinematics((a0 + 90) * k - offsets[0], (-a1 - 180) * k - offsets[1],
                              (-a2 - 180) * k - offsets[2])


SIGNATURES = {
    "__init__": "(self: BrivaneHardwareAPI.Kalvar, arg0: BrivaneHardwareAPI.SerialStream) -> None",
    "device_wakeup": "(self: BrivaneHardwareAPI.Kalvar) -> tuple",
    "device_wakeup_dict": "(self: BrivaneHardwareAPI.Kalvar) -> dict",
    "get_firmware_version": "(self: BrivaneHardwareAPI.Kalvar) -> object",
    "get_device_id": "(self: BrivaneHardwareAPI.Kalvar) -> object",
    "get_motor_currents":
        "(self: BrivaneHardwareAPI.Kalvar) -> Annotated[List[float], FixedSize(3)]",
    "get_device_orientation":
        "(self: BrivaneHardwareAPI.Kalvar) -> Annotated[List[float], FixedSize(4)]",
    "get_power_status": "(self: BrivaneHardwareAPI.Kalvar) -> bool",
    "get_temperature": "(self: BrivaneHardwareAPI.Kalvar) -> float",
    "end_effector_force": "(self: BrivaneHardwareAPI.Kalvar, force request vector: "
                          "List[float] = [0.0, 0.0, 0.0]) -> tuple",
    "get_end_effector_position":
        "(self: BrivaneHardwareAPI.Kalvar, onboard: bool = True) -> tuple",
    "adjust_angles":
        "(self: BrivaneHardwareAPI.Kalvar, angles: List[float] = [0.0, 0.0, 0.0]) -> None",
    "joint_torques": "(self: BrivaneHardwareAPI.Kalvar, joint torque request vector: "
                     "List[float] = [0.0, 0.0, 0.0]) -> tuple",
    "end_effector_position": "(self: BrivaneHardwareAPI.Kalvar, position request vector: "
                             "List[float] = [0.0, 0.0, 0.0]) -> tuple",
    "joint_angles": "(self: BrivaneHardwareAPI.Kalvar, joint angle request vector: "
                    "List[float] = [0.0, 0.0, 0.0]) -> tuple",
    "SendDeviceWakeup": "(self: BrivaneHardwareAPI.Kalvar) -> None",
    "ReceiveDeviceInfo": "(self: BrivaneHardwareAPI.Kalvar) -> tuple",
    "SendForce": "(*args, **kwargs)",
    "ReceiveState": "(self: BrivaneHardwareAPI.Kalvar, position: List[float] = [0.0, 0.0, 0.0], "
                    "velocity: List[float] = [0.0, 0.0, 0.0]) -> tuple",
    "ReceiveJointState": "(self: BrivaneHardwareAPI.Kalvar, joint_position: List[float] = "
                         "[0.0, 0.0, 0.0], joint_velocity: List[float] = [0.0, 0.0, 0.0]) -> tuple",
    "SendJointTorques":
        "(self: BrivaneHardwareAPI.Kalvar, joint_torque: List[float] = [0.0, 0.0, 0.0]) -> None",
    "SendAngle": "(self: BrivaneHardwareAPI.Kalvar, angle: List[float] = [0.0, 0.0, 0.0]) -> None",
    "RequestCurrent": "(self: BrivaneHardwareAPI.Kalvar) -> None",
    "ReceiveCurrent": "(self: BrivaneHardwareAPI.Kalvar, current: List[float] = [0.0, 0.0, 0.0])"
                      " -> List[float]",
    "SendPosition":
        "(self: BrivaneHardwareAPI.Kalvar, position: List[float] = [0.0, 0.0, 0.0]) -> None",
}


def test_class_methods_signatures_and_docs(api):
    assert api.Kalvar.__doc__ == "Kalvar Device Class"
    assert not issubclass(api.Kalvar, api.Device)
    names = [n for n in vars(api.Kalvar) if not n.startswith("__") or n == "__init__"]
    assert names == list(SIGNATURES)
    for name, signature in SIGNATURES.items():
        assert getattr(api.Kalvar, name).__doc__.split("\n")[0] == name + signature

    assert api.Kalvar.end_effector_force.__doc__.split("\n")[2] == \
        "Send forces to the device and receive device states"
    assert api.Kalvar.ReceiveDeviceInfo.__doc__.split("\n", 2)[2] == (
        "\n            Receive device info and return a tuple with the following fields: \n\n"
        "            device_id (uint16_t)\n            \n"
        "            device_model_num (uint8_t)\n            \n"
        "            hardware_version (uint8_t)\n            \n"
        "            firmware_version (uint8_t)\n            \n"
        "            device_id_ext (UUID)\n            \n")
    overloads = api.Kalvar.SendForce.__doc__
    assert "1. SendForce(self: BrivaneHardwareAPI.Kalvar, force: List[float] = [0.0, 0.0, 0.0])" \
           " -> None\n\n[Deprecated] Send force to the device\n" in overloads
    assert "2. SendForce(self: BrivaneHardwareAPI.Kalvar, ForceX: float = 0, ForceY: float = 0," \
           " ForceZ: float = 0) -> None\n\n[Deprecated] Send force to the device\n" in overloads


@pytest.mark.parametrize("call, request_frame, answer", [
    (lambda a: a.end_effector_force([1, 2.5, -3]), b"\x2a" + floats(1, 2.5, -3), 0x2B),
    (lambda a: a.end_effector_force(), ZERO13, 0x2B),
    (lambda a: a.end_effector_position((0.1, 0.2, 0.3, 99)), b"\x2c" + floats(0.1, 0.2, 0.3),
     0x2B),
    (lambda a: a.joint_torques(**{"joint torque request vector": [4, 5, 6]}),
     b"\x1a" + floats(4, 5, 6), 0x1B),
    (lambda a: a.joint_angles([90, -45, 30]), b"\x1c" + floats(90, -45, 30), 0x1B),
    (lambda a: a.get_end_effector_position(), ZERO13, 0x2B),
])
def test_state_commands(arm, device, call, request_frame, answer):
    device.respond(13, bytes([answer]) + floats(*STATE))
    assert call(arm) == STATE_LISTS
    assert device.join() == request_frame


def test_identity_and_queries(api, arm, device):
    device.respond(1, INFO_ANSWER)
    assert arm.device_wakeup() == (300, 4, 2, 7, list(range(16)))
    assert device.join() == b"\x0a"

    device.respond(1, INFO_ANSWER)
    info = arm.device_wakeup_dict()
    assert list(info) == ["device_id", "device_model_number", "hardware_version",
                          "firmware_version", "device_id_ext"]
    assert info["device_id_ext"] == uuid.UUID("000102030405060708090a0b0c0d0e0f")
    assert type(info["device_id_ext"]) is uuid.UUID
    assert [info[k] for k in list(info)[:4]] == [300, 4, 2, 7]

    identifier = bytes([0xAB, 0x05] + list(range(14)))
    for method, sub_code in (arm.get_device_id, 0xD1), (arm.get_firmware_version, 0xD2):
        device.respond(2, bytes([0x0D, sub_code, 16]) + identifier)
        result = method()
        assert device.join() == bytes([0x0D, sub_code])
        assert type(result) is uuid.UUID and result.hex.startswith("ab05000102")

    for method, request, answer, expected in [
        (arm.get_motor_currents, b"\xab", b"\xab" + floats(1.5, -2.25, 3), [1.5, -2.25, 3.0]),
        (arm.get_device_orientation, b"\x0c", b"\x0c" + floats(0, 0.5, 0, 0.75),
         [0.0, 0.5, 0.0, 0.75]),
        (arm.get_power_status, b"\xac", b"\xac\x02", True),
        (arm.get_power_status, b"\xac", b"\xac\x00", False),
        (arm.get_temperature, b"\xaa", b"\xaa" + floats(36.5), 36.5),
    ]:
        device.respond(1, answer)
        result = method()
        assert device.join() == request
        assert result == expected and type(result) is type(expected)


def test_host_kinematics_and_shared_calibration(api, arm, device):
    other_device = type(device)()
    other = api.Kalvar(api.SerialStream(other_device.path))
    try:
        joint_state = b"\x1b" + floats(*STATE)
        device.respond(13, joint_state)
        position, velocity = arm.get_end_effector_position(False)
        assert device.join() == b"\x1a" + bytes(12)
        assert position == pytest.approx(host_position(STATE[:3]), abs=1e-6)
        assert velocity == [0.0, 0.0, 0.0]

        # Calibrating the other arm moves this one's positions too.
        other_device.respond(13, b"\x1b" + floats(15, 25, 35, 0, 0, 0))
        other.adjust_angles([10, 20, 30])
        assert other_device.join() == b"\x1a" + bytes(12)
        k = 3.141592 / 180
        device.respond(13, joint_state)
        position, _ = arm.get_end_effector_position(False)
        assert position == pytest.approx(host_position(STATE[:3], (5 * k, -5 * k, -5 * k)),
                                         abs=1e-6)

        # Angles that are not a number give a position that is not a number.
        device.respond(13, b"\x1b" + floats(math.nan, 0, 0, 0, 0, 0))
        assert all(math.isnan(v) for v in arm.get_end_effector_position(False)[0])
    finally:
        other_device.respond(13, b"\x1b" + bytes(24))
        other.adjust_angles()  # back to zero offsets
        other_device.close()


def warned(call, count=1):
    """Runs call, checks it issued `count` DeprecationWarnings from this file; the texts."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call()
    assert len(caught) == count, [str(w.message) for w in caught]
    for warning in caught:
        assert warning.category is DeprecationWarning
        assert warning.filename == __file__  # stack level 1: the calling line
    return result, [str(w.message) for w in caught]


FORCE_TEXT = "SendForce is deprecated, use end_effector_force instead"


@pytest.mark.parametrize("call, sent", [
    (lambda a: a.SendForce(), bytes(12)),
    (lambda a: a.SendForce([1.0, 2.0, 3.0, 4.0]), floats(1, 2, 3)),
    (lambda a: a.SendForce((1, 2, 3)), floats(1, 2, 3)),
    (lambda a: a.SendForce(1, 2, 3), floats(1, 2, 3)),
    (lambda a: a.SendForce(ForceX=1.0, ForceY=2.0, ForceZ=3.0), floats(1, 2, 3)),
    (lambda a: a.SendForce(ForceZ=3), floats(0, 0, 3)),
    (lambda a: a.SendForce(0.5), floats(0.5, 0, 0)),
])
def test_send_force_overloads(arm, device, call, sent):
    assert warned(lambda: call(arm)) == (None, [FORCE_TEXT])
    assert device.receive_all() == b"\x2a" + sent


@pytest.mark.parametrize("name, args, frame, text", [
    ("SendDeviceWakeup", (), b"\x0a", "SendDeviceWakeup is deprecated, use device_wakeup instead"),
    ("SendJointTorques", ([1, 2, 3],), b"\x1a" + floats(1, 2, 3),
     "SendJointTorques is deprecated, use joint_torques instead"),
    ("SendAngle", ([30, 60, 90],), b"\x1c" + floats(30, 60, 90), None),
    ("RequestCurrent", (), b"\xab", None),
    ("SendPosition", ([0.1, 0.2, 0.3],), b"\x2c" + floats(0.1, 0.2, 0.3),
     "SendPosition is deprecated, use end_effector_position instead"),
])
def test_legacy_sends(arm, device, name, args, frame, text):
    for _ in range(2):  # once per call, every call
        result, texts = warned(lambda: getattr(arm, name)(*args), 1 if text else 0)
        assert result is None and texts == ([text] if text else [])
        assert device.receive_all() == frame


def test_legacy_receives(api, arm, device):
    device.send(b"\x2b" + floats(*STATE))
    assert warned(arm.ReceiveState) == (
        STATE_LISTS, ["ReceiveState is deprecated, use end_effector instead"])
    device.send(b"\x2b" + floats(*STATE))
    (position, velocity), _ = warned(lambda: arm.ReceiveState([9, 9, 9, 9], [8, 8, 8]))
    assert position == STATE_LISTS[0] + [9.0] and velocity == STATE_LISTS[1]

    device.send(b"\x1b" + floats(*STATE))
    assert warned(lambda: arm.ReceiveJointState(joint_velocity=[7, 7, 7])) == (
        STATE_LISTS, ["ReceiveJointState is deprecated, use joint_torques instead"])

    device.send(b"\xab" + floats(1, 2, 3))
    assert warned(lambda: arm.ReceiveCurrent([0, 0, 0, 5]), 0) == ([1.0, 2.0, 3.0, 5.0], [])

    device.send(INFO_ANSWER)
    info, _ = warned(arm.ReceiveDeviceInfo, 0)
    assert info[:4] == (300, 4, 2, 7)
    assert isinstance(info[4], api.UUID) and info[4].bytes() == list(range(16))
    assert device.receive_all() == b""  # receives send nothing


@pytest.mark.parametrize("call, argument", [
    (lambda a: a.end_effector_force([1.0, 2.0]), "force request vector"),
    (lambda a: a.end_effector_position([1.0, 2.0]), "position request vector"),
    (lambda a: a.joint_torques([1.0, 2.0]), "joint torque request vector"),
    (lambda a: a.joint_angles([1.0, 2.0]), "joint angle request vector"),
    (lambda a: a.adjust_angles([1.0, 2.0]), "angles"),
    (lambda a: a.SendForce([1.0, 2.0]), "force"),
    (lambda a: a.SendForce([1, 2]), "force"),
    (lambda a: a.SendJointTorques([1.0, 2.0]), "joint_torque"),
    (lambda a: a.SendAngle([1.0, 2.0]), "angle"),
    (lambda a: a.SendPosition([1.0, 2.0]), "position"),
    (lambda a: a.ReceiveState([1.0, 2.0]), "position"),
    (lambda a: a.ReceiveState(velocity=[1.0, 2.0]), "velocity"),
    (lambda a: a.ReceiveJointState([0, 0, 0], [1.0, 2.0]), "joint_velocity"),
    (lambda a: a.ReceiveCurrent([1.0, 2.0]), "current"),
])
def test_short_vectors_are_refused_before_any_traffic(arm, device, call, argument):
    device.send(b"\xab" + floats(1, 2, 3))  # would be taken by a receive that went ahead
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError, match=f"'{argument}' needs 3 numbers, got 2"):
            call(arm)
    assert caught == []
    assert device.receive_all() == b""
    assert arm.ReceiveCurrent() == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("call, error, text", [
    (lambda a: a.end_effector_force([math.nan, 0, 0]), ValueError, "element 0 of 'force request"),
    (lambda a: a.end_effector_position([0, math.inf, 0]), ValueError, "'position request vector'"),
    (lambda a: a.joint_torques([0, 0, -math.inf]), ValueError, "'joint torque request vector'"),
    (lambda a: a.joint_angles([1e39, 0, 0]), ValueError, "'joint angle request vector'"),
    (lambda a: a.adjust_angles([math.nan, 0, 0]), ValueError, "'angles'"),
    (lambda a: a.SendForce([0, math.nan, 0]), ValueError, "'force'"),
    (lambda a: a.SendForce(0, 0, 1e39), ValueError, "'ForceZ'"),
    (lambda a: a.SendJointTorques([math.inf] * 3), ValueError, "'joint_torque'"),
    (lambda a: a.SendAngle([math.nan] * 3), ValueError, "'angle'"),
    (lambda a: a.SendPosition([0, 0, math.nan]), ValueError, "'position'"),
    (lambda a: a.end_effector_force(bytearray(struct.pack("<3f", 0, 0, 1))), TypeError, ""),
    (lambda a: a.joint_angles(bytearray(b"\x0a\x14\x1e")), TypeError, ""),
    (lambda a: a.end_effector_position(memoryview(b"\x01\x02\x03")), TypeError, ""),
    (lambda a: a.get_end_effector_position(None), TypeError, ""),
])
def test_unsafe_or_misread_commands_are_refused_before_anything_is_sent(
        api, arm, device, call, error, text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(error, match=re.escape(text)):
            call(arm)
    assert device.receive_all() == b""  # adjust_angles asks for the angles before storing


def test_warnings_as_errors_stop_the_call_before_traffic(arm, device):
    device.send(b"\x2b" + floats(*STATE))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning, match="SendPosition is deprecated"):
            arm.SendPosition([1, 2, 3])
        with pytest.raises(DeprecationWarning, match=FORCE_TEXT):
            arm.SendForce(1, 2, 3)
        with pytest.raises(DeprecationWarning, match="ReceiveState is deprecated"):
            arm.ReceiveState()
    assert device.receive_all() == b""
    assert warned(arm.ReceiveState)[0] == STATE_LISTS  # the answer was left queued


def test_stream_lifetime(api, device):
    with pytest.raises(TypeError):
        api.Kalvar(None)
    arm = api.Kalvar(api.SerialStream(device.path))  # the only reference to the stream
    gc.collect()
    device.respond(13, b"\x2b" + floats(*STATE))
    assert arm.end_effector_force([1, 2, 3]) == STATE_LISTS
    assert device.join() == b"\x2a" + floats(1, 2, 3)


def ticks_during(call):
    """Runs call while another thread ticks; the ticks seen well inside the call."""
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.002)

    thread = threading.Thread(target=ticker)
    thread.start()
    time.sleep(0.02)
    start = time.monotonic()
    result = call()
    end = time.monotonic()
    stop.set()
    thread.join()
    return result, sum(start + 0.1 < t < end - 0.1 for t in ticks)


@pytest.mark.parametrize("name, args, request_length, answer, released", [
    ("end_effector_force", ([1, 2, 3],), 13, b"\x2b" + floats(*STATE), True),
    ("device_wakeup", (), 1, INFO_ANSWER, True),
    ("ReceiveCurrent", (), 0, b"\xab" + floats(1, 2, 3), True),
    ("get_temperature", (), 1, b"\xaa" + floats(20), False),
    ("adjust_angles", (), 13, b"\x1b" + bytes(24), False),
], ids=["end_effector_force", "device_wakeup", "ReceiveCurrent", "get_temperature",
        "adjust_angles"])
def test_interpreter_lock(arm, device, name, args, request_length, answer, released):
    device.respond(request_length, answer, delay=0.4)
    _, ticks = ticks_during(lambda: getattr(arm, name)(*args))
    assert len(device.join()) == request_length
    if released:
        assert ticks > 20
    else:
        assert ticks == 0


@pytest.mark.slow
def test_silent_arm_gives_zero_state(arm, device):
    started = time.monotonic()
    assert arm.end_effector_force() == ([0.0] * 3, [0.0] * 3)
    assert 9.5 < time.monotonic() - started < 12  # a header wait and a drain
    assert device.receive_all() == ZERO13


@pytest.mark.slow
def test_wrong_answer_gives_zero_identity(arm, device):
    device.respond(1, b"\x0c" + bytes(21))
    info = arm.device_wakeup_dict()
    assert list(info.values()) == [0, 0, 0, 0, uuid.UUID(int=0)]


@pytest.mark.slow
def test_short_current_leaves_the_argument(arm, device):
    device.send(b"\xab" + floats(1, 2))
    assert arm.ReceiveCurrent([5, 6, 7, 8]) == [5.0, 6.0, 7.0, 8.0]
