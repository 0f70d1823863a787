"""The records brivane returns and the types its calls take: what a device says of itself,
its states and messages, a port and what answered on it."""
from __future__ import annotations

import os
import uuid
from typing import Any, Iterable, NamedTuple, Optional, Protocol, Tuple, Union

__all__ = [
    "Identity", "State", "JointState", "Stats", "PortInfo", "Found",
    "HandleInfo", "HandleStatus", "HandleError", "StatusBlock",
    "Vec3", "Numbers", "UserData", "Port", "Message",
]

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

#: What a grip sends: its information message, a status message or an error message.
Message = Union[HandleInfo, HandleStatus, HandleError]

