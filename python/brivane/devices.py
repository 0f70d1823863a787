"""The devices: an arm and a grip, each on a port of its own, and an arm's live statistics."""
from __future__ import annotations

import time
import uuid
from types import TracebackType
from typing import Any, Iterable, Iterator, Optional, Tuple, Type, TypeVar, Union

from . import _brivane
from ._checks import _as_uuid, _checked_duration, _checked_timeout
from .discovery import find_arms, find_grips
from .errors import NotFound, PortError, WrongDevice
from .records import (Found, HandleError, HandleInfo, HandleStatus, Identity, JointState,
                      Message, Numbers, Port, State, StatusBlock, Stats, UserData, Vec3)

__all__ = ["Arm", "Grip", "ArmStats", "DEFAULT_TIMEOUT"]

#: The reply time-out, in seconds: a lost answer is noticed within a few periods of a
#: force loop at 1 kHz, where an arm answers in a fraction of a millisecond.
DEFAULT_TIMEOUT = 0.02


def _key_of(identity: Union[Identity, HandleInfo]) -> Any:
    return identity.uuid if isinstance(identity, Identity) else identity.device_id


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
        self._native = _brivane.Arm(port, _checked_timeout(timeout), State, JointState,
                                    Identity, Stats)
        self.identity: Identity = self._native.identity
        self._check_wanted()

    def _known_as(self) -> Any:
        return self._native.identity.uuid

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
        self.identity = self._native.identity


class ArmStats:
    """Live loop statistics of an arm: read its fields, or snapshot() them; reset() starts
    counting anew."""

    def __init__(self, native: _brivane.Arm) -> None:
        self._native = native

    def snapshot(self) -> Stats:
        return self._native.stats()

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
        self.info: HandleInfo = self._native.info
        self._check_wanted()

    def _known_as(self) -> Any:
        return self._native.info.device_id

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
        self.info = self._native.info

