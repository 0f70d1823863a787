"""brivane: the Kalvar arm and the Handle grip for new programs.

Faults raise (brivane.errors), every call has a time-out of its object's own, ports close
on leaving a with block, and each arm keeps its own calibration. This is a layer over the
same C++ library as the BrivaneHardwareAPI module, with its own copy of it: calibration set
through one is not seen by the other.
"""
from __future__ import annotations

import math
import os
import time
import uuid
from types import TracebackType
from typing import (Any, Iterable, Iterator, NamedTuple, Optional, Protocol, Sequence, Tuple,
                    Type, TypeVar, Union)

from . import _brivane
from . import effects, trace
from .effects import Box, ConstantForce, Damper, Plane, Sphere, Spring
from .errors import BadAnswer, DeviceError, LineLost, NoAnswer, NotFound, PortError, WrongDevice
from ._scope import scope
from .servo import Sample, Servo, ServoStats

__all__ = [
    "Arm", "Grip", "list_ports", "find_arms", "find_grips",
    "Identity", "State", "JointState", "Stats", "PortInfo", "Found",
    "HandleInfo", "HandleStatus", "HandleError", "StatusBlock",
    "DeviceError", "NoAnswer", "BadAnswer", "LineLost", "PortError", "WrongDevice", "NotFound",
    "Servo", "Sample", "ServoStats", "effects", "scope", "trace",
    "ConstantForce", "Spring", "Damper", "Plane", "Box", "Sphere",
    "DEFAULT_TIMEOUT",
]

#: The reply time-out, in seconds: a lost answer is noticed within a few periods of a
#: force loop at 1 kHz, where an arm answers in a fraction of a millisecond.
DEFAULT_TIMEOUT = 0.02
#: How long detection gives each port to answer.
DEFAULT_PROBE_TIMEOUT = 0.5

Vec3 = Tuple[float, float, float]


class Numbers(Protocol):
    """What a command takes: three numbers, as a sequence or an array of them, of shape (3,),
    (1, 3) or (3, 1): a list, a tuple, a numpy array..."""

    def __len__(self) -> int: ...

    def __getitem__(self, index: int, /) -> Any: ...


#: A handle state's user data: bytes, a bytes-like object, or numbers from 0 to 255.
UserData = Union[bytes, bytearray, memoryview, Iterable[int]]
#: A port's path, as os.fspath takes it: /dev/ttyUSB0, b"/dev/ttyUSB0" or a pathlib.Path
#: such as /dev/serial/by-id/...
Port = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]


class Identity(NamedTuple):
    """What an arm says of itself when it wakes."""
    device_id: int
    model: int
    hardware: int
    firmware: int
    uuid: uuid.UUID


class State(NamedTuple):
    """The end effector's position (m) and velocity (m/s)."""
    position: Vec3
    velocity: Vec3


class JointState(NamedTuple):
    """The joint angles (degrees) and velocities (degrees/s)."""
    angles: Vec3
    velocities: Vec3


class Stats(NamedTuple):
    """An arm's exchanges, measured in the library around each one: `exchanges`, `failures`
    and the worst latency `max_us` (microseconds) over every exchange since the last reset;
    the loop rate `rate_hz` (exchanges per second) and the latency percentiles `p50_us` and
    `p99_us` (microseconds) over the recent ones, up to 1024."""
    exchanges: int
    failures: int
    rate_hz: float
    p50_us: float
    p99_us: float
    max_us: float


class HandleInfo(NamedTuple):
    """The grip's information message: its id, and numbers without units."""
    device_id: int
    tool_data_remaining: int
    model: int
    hardware: int
    firmware: int


class HandleStatus(NamedTuple):
    """A status message: the grip's orientation as a unit quaternion in the order the grip
    sends it, the hall-effect sensor level (a raw reading), and the user data last sent."""
    device_id: int
    quaternion: Tuple[float, float, float, float]
    error_flag: int
    hall_effect_sensor_level: int
    user_data: bytes


class HandleError(NamedTuple):
    """An error message: 1 for another device id, 2 for an unknown command."""
    device_id: int
    error_code: int


class StatusBlock(NamedTuple):
    """The grip's decoded status block: the quaternion's components from -1 to just below
    1, the hall-effect sensor level from 0 to 31, three button bits (0 to 7), and the
    battery level in volts (3.0 to 4.275)."""
    device_id: int
    quaternion: Tuple[float, float, float, float]
    error_flag: int
    hall_effect_sensor_level: int
    buttons: int
    battery_level: float


class PortInfo(NamedTuple):
    """A serial port and what the system knows of it; None where it knows nothing."""
    device: str
    kind: Optional[str] = None  # "usb", "wired" or "bluetooth"
    vid: Optional[int] = None
    pid: Optional[int] = None
    serial_number: Optional[str] = None
    manufacturer: Optional[str] = None
    product: Optional[str] = None
    by_id: Optional[str] = None


class Found(NamedTuple):
    """A port where a device answered, and what it said of itself."""
    port: PortInfo
    identity: Union[Identity, HandleInfo]


def _checked_timeout(timeout: float) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, not {type(timeout).__name__}")
    if not math.isfinite(timeout) or timeout <= 0:
        raise ValueError(f"timeout must be a finite number of seconds above 0, not {timeout!r}")
    return float(timeout)


def _checked_duration(duration: float) -> float:
    if isinstance(duration, bool) or not isinstance(duration, (int, float)):
        raise TypeError(f"duration must be a number of seconds, or None for ever, not "
                        f"{type(duration).__name__}")
    if math.isnan(duration) or duration < 0:
        raise ValueError(f"duration must be a number of seconds from 0, or None for ever, not "
                         f"{duration!r}")
    return float(duration)


def _as_uuid(value: Union[uuid.UUID, str]) -> uuid.UUID:
    if isinstance(value, uuid.UUID):
        return value
    if isinstance(value, str):
        try:
            return uuid.UUID(value)
        except ValueError:
            pass
    raise ValueError(f"uuid must be a uuid.UUID or its text, such as "
                     f"'5b1d0d5e-0a7c-4b5a-9c3e-000000000001', not {value!r}")


def _key_of(identity: Union[Identity, HandleInfo]) -> Any:
    return identity.uuid if isinstance(identity, Identity) else identity.device_id


def _identity(fields: Sequence[Any]) -> Identity:
    device_id, model, hardware, firmware, identifier = fields
    return Identity(device_id, model, hardware, firmware, uuid.UUID(bytes=bytes(identifier)))


_Self = TypeVar("_Self", bound="_Device")


class _Device:
    _native: Union[_brivane.Arm, _brivane.Grip]
    _kind = "device"
    # What the device is known by (an arm's uuid, a grip's id), and where to look for it.
    _wanted: Any = None
    _ports: Optional[list[Port]] = None

    def _known_as(self) -> Any:
        raise NotImplementedError

    def _found(self) -> list[Found]:
        raise NotImplementedError

    def _search(self) -> str:
        """The port where the device with the wanted identity answers now."""
        for found in self._found():
            if _key_of(found.identity) == self._wanted:
                return found.port.device
        where = "the system's ports" if self._ports is None else f"{len(self._ports)} ports"
        raise NotFound(f"no {self._kind} {self._wanted} answered on {where}; check that it is "
                       "plugged in and powered", operation="open")

    def _open_wanted(self, port: Optional[Port]) -> Port:
        """The port to open: `port`, or where the wanted device answers."""
        if port is None:
            if self._wanted is None:
                key = "uuid" if self._kind == "arm" else "device_id"
                raise TypeError(f"port must be a port's path (str, bytes or os.PathLike), not "
                                f"NoneType; or give {key}= to find the {self._kind} by it")
            return self._search()
        return port

    def _check_wanted(self) -> None:
        """Closes and raises when the device opened is not the one wanted; else remembers it."""
        if self._wanted is not None and self._known_as() != self._wanted:
            known = self._known_as()
            self.close()
            raise WrongDevice(f"{self.port}: {self._kind} {known} answered, not {self._wanted}",
                              port=self.port, operation="open")
        self._wanted = self._known_as()

    def _reopen(self, port: Optional[Port]) -> None:
        if port is not None:
            self._native.reopen(port)
            self._wanted = self._known_as()
            return
        # The same device: on its old port, or, when that is gone or holds another device,
        # wherever it answers now (a replugged USB device comes back under another name).
        try:
            self._native.reopen(None)
            if self._known_as() == self._wanted:
                return
            self.close()
        except PortError:
            pass
        self._native.reopen(self._search())

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def close(self) -> None:
        """Closes the port; later calls raise ValueError. Closing twice is harmless."""
        self._native.close()

    @property
    def closed(self) -> bool:
        """Whether the port is closed: by close(), or because its line was lost, when calls
        raise LineLost until reopen()."""
        return self._native.closed

    @property
    def port(self) -> str:
        """The port's path as a str (decoded as os.fsdecode does)."""
        return self._native.port

    @property
    def timeout(self) -> float:
        """The reply time-out of every call, in seconds."""
        return self._native.timeout

    @timeout.setter
    def timeout(self, seconds: float) -> None:
        self._native.timeout = _checked_timeout(seconds)

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"timeout={self.timeout:g}"
        return f"{type(self).__name__}({self.port!r}, {state})"


class Arm(_Device):
    """A Kalvar arm on its own port, opened exclusively and woken at construction.

    One object may be used from several threads: each call holds the arm's own lock for
    its whole exchange, so frames never interleave and answers never mix.
    """

    _native: _brivane.Arm
    _kind = "arm"

    def __init__(self, port: Optional[Port] = None, *, timeout: float = DEFAULT_TIMEOUT,
                 uuid: Union[uuid.UUID, str, None] = None,
                 ports: Optional[Iterable[Port]] = None) -> None:
        """Opens the arm on `port`; or finds the arm whose identity's `uuid` is given on the
        system's USB serial ports, or on `ports`, and opens it there. reopen() finds the same
        arm again, wherever it comes back."""
        self._wanted = None if uuid is None else _as_uuid(uuid)
        self._ports = None if ports is None else list(ports)
        port = self._open_wanted(port)
        self._native = _brivane.Arm(port, _checked_timeout(timeout), State, JointState)
        self.identity: Identity = _identity(self._native.identity)
        self._check_wanted()

    def _known_as(self) -> Any:
        return _identity(self._native.identity).uuid

    def _found(self) -> list[Found]:
        return find_arms(self._ports)

    def force(self, force: Numbers) -> State:
        """Commands an end-effector force (N) and returns the state the arm answers with."""
        return self._native.force(force)

    def position_target(self, position: Numbers) -> State:
        """Commands an end-effector position (m)."""
        return self._native.position_target(position)

    def torques(self, torques: Numbers) -> JointState:
        """Commands joint torques (N·m) and returns the joint state."""
        return self._native.torques(torques)

    def angle_target(self, angles: Numbers) -> JointState:
        """Commands joint angles (degrees)."""
        return self._native.angle_target(angles)

    def temperature(self) -> float:
        """The arm's temperature (°C)."""
        return self._native.temperature()

    def powered(self) -> bool:
        """Whether the motors have power."""
        return self._native.powered()

    def currents(self) -> Vec3:
        """The current of each motor (A)."""
        return self._native.currents()

    def orientation(self) -> Tuple[float, float, float, float]:
        """The base's orientation, a unit quaternion (x, y, z, w)."""
        return self._native.orientation()

    def firmware_id(self) -> uuid.UUID:
        return uuid.UUID(bytes=self._native.firmware_id())

    def calibrate(self, angles: Numbers = (0.0, 0.0, 0.0)) -> None:
        """Takes the arm's present pose for `angles` (degrees), for host_position() of this
        arm only."""
        self._native.calibrate(angles)

    @property
    def offsets(self) -> Vec3:
        """This arm's joint-angle offsets in degrees, set by calibrate(): the angles the arm
        measured less those it was taken for; zeros before any calibration."""
        return self._native.offsets

    def host_position(self) -> Vec3:
        """The end-effector position (m) computed here from the joint angles, with this
        arm's calibration (commands zero torques to read them)."""
        return self._native.host_position()

    @property
    def stats(self) -> "ArmStats":
        return ArmStats(self._native)

    def reopen(self, port: Optional[Port] = None) -> None:
        """Opens the port again, once the arm is back, and wakes it; when its port is gone or
        holds another device, finds the same arm (by its uuid) on the ports it was looked
        for on, and opens it there. Or opens `port`, which `port` names from then on."""
        self._reopen(port)
        self.identity = _identity(self._native.identity)


class ArmStats:
    """Live loop statistics of an arm: read its fields, or snapshot() them; reset() starts
    counting anew."""

    def __init__(self, native: _brivane.Arm) -> None:
        self._native = native

    def snapshot(self) -> Stats:
        return Stats(*self._native.stats())

    def reset(self) -> None:
        self._native.reset_stats()

    def __getattr__(self, name: str) -> Any:
        if name in Stats._fields:
            return getattr(self.snapshot(), name)
        raise AttributeError(name)

    def __repr__(self) -> str:
        s = self.snapshot()
        return (f"{s.exchanges} exchanges, {s.failures} failed, {s.rate_hz:.0f} Hz, latency "
                f"p50 {s.p50_us:.0f} us, p99 {s.p99_us:.0f} us, max {s.max_us:.0f} us")


Message = Union[HandleInfo, HandleStatus, HandleError]


class Grip(_Device):
    """A Handle grip on its own port, opened exclusively and woken at construction; `info`
    is its answer to the wake-up.

    One thread may receive while another sends; each side has its own lock.
    """

    _native: _brivane.Grip
    _kind = "grip"

    def __init__(self, port: Optional[Port] = None, *, timeout: float = DEFAULT_TIMEOUT,
                 device_id: Optional[int] = None, ports: Optional[Iterable[Port]] = None) -> None:
        """Opens the grip on `port`; or finds the grip whose information message carries
        `device_id` on the system's serial ports, or on `ports`, and opens it there.
        reopen() finds the same grip again, wherever it comes back."""
        self._wanted = device_id
        self._ports = None if ports is None else list(ports)
        port = self._open_wanted(port)
        self._native = _brivane.Grip(port, _checked_timeout(timeout), HandleInfo, HandleStatus,
                                     HandleError)
        self.info: HandleInfo = HandleInfo(*self._native.info)
        self._check_wanted()

    def _known_as(self) -> Any:
        return HandleInfo(*self._native.info).device_id

    def _found(self) -> list[Found]:
        return find_grips(self._ports)

    def send_state(self, device_id: int = 0, user_data: UserData = b"") -> None:
        """Sends a handle state: the grip's id (0 to 65535; 0 for any grip) and up to 255
        bytes."""
        self._native.send_state(device_id, user_data)

    def request_status(self) -> None:
        self._native.request_status()

    def receive(self, timeout: Optional[float] = None) -> Optional[Message]:
        """The next message, or None when none came within `timeout` (the grip's own
        time-out when None)."""
        wait = self.timeout if timeout is None else _checked_timeout(timeout)
        messages = self._native.receive(wait, 1)
        return messages[0] if messages else None

    def messages(self, duration: Optional[float] = None) -> Iterator[Message]:
        """The messages as they come, for `duration` seconds (for ever when None); the
        messages already here are taken in one call."""
        until = None if duration is None else time.monotonic() + _checked_duration(duration)
        receive = self._native.receive
        while True:
            wait = self.timeout
            if until is not None:
                wait = min(wait, until - time.monotonic())
                if wait <= 0:
                    return
            yield from receive(wait, 256)

    def status(self) -> StatusBlock:
        """Requests the status and returns the decoded status block."""
        device_id, quaternion, error_flag, hall, buttons, battery = self._native.status(
            self.timeout)
        return StatusBlock(device_id, quaternion, error_flag, hall, buttons, battery)

    def reopen(self, port: Optional[Port] = None) -> None:
        """Opens the port again, once the grip is back, and wakes it; when its port is gone
        or holds another device, finds the same grip (by its device id) on the ports it was
        looked for on, and opens it there. Or opens `port`, which `port` names from then
        on."""
        self._reopen(port)
        self.info = HandleInfo(*self._native.info)


def list_ports() -> list[PortInfo]:
    """Every serial port the system lists that may carry a device, with what it knows of
    each (from sysfs and /dev/serial/by-id on Linux; names only on Windows)."""
    return [PortInfo(*fields) for fields in _brivane.list_ports()]


def _port_infos(ports: Optional[Iterable[Port]]) -> dict[str, PortInfo]:
    if ports is None:
        return {info.device: info for info in list_ports()}
    if isinstance(ports, (str, bytes, os.PathLike)) or not isinstance(ports, Iterable):
        raise TypeError("ports must be an iterable of ports' paths, such as a list, or None for "
                        f"the system's own, not {type(ports).__name__}")
    infos = {}
    for port in ports:
        info = PortInfo(*_brivane.describe_port(port))
        infos[info.device] = info
    return infos


def find_arms(ports: Optional[Iterable[Port]] = None, *,
              timeout: float = DEFAULT_PROBE_TIMEOUT) -> list[Found]:
    """The ports where a Kalvar arm answered, probing them all at once: the system's USB
    serial ports, or `ports` (such as the simulator's)."""
    infos = _port_infos(ports)
    names = list(infos) if ports is not None else _brivane.usb_ports()
    found = _brivane.find_arms(names, _checked_timeout(timeout))
    return [Found(infos.get(name, PortInfo(name)), _identity(rest)) for name, *rest in found]


def find_grips(ports: Optional[Iterable[Port]] = None, *,
               timeout: float = DEFAULT_PROBE_TIMEOUT) -> list[Found]:
    """The ports where a Handle grip answered its wake-up, probing them all at once: every
    serial port the system lists, or `ports`."""
    infos = _port_infos(ports)
    found = _brivane.find_grips(list(infos), _checked_timeout(timeout))
    return [Found(infos[name], HandleInfo(*rest)) for name, *rest in found]
