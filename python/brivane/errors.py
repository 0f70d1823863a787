"""The exceptions of brivane. Every fault raises one, with a message that says what happened,
on which port, in which operation, and what to do."""
from __future__ import annotations

import errno as _errno
import os as _os

__all__ = ["DeviceError", "NoAnswer", "BadAnswer", "LineLost", "PortError", "WrongDevice",
           "NotFound"]


class DeviceError(Exception):
    """The base of the package's faults: `port` and `operation` say where it happened."""

    def __init__(self, message: str, *, port: str | None = None,
                 operation: str | None = None) -> None:
        super().__init__(message)
        self.port = port
        self.operation = operation

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class NoAnswer(DeviceError, TimeoutError):
    """Nothing, or not all of the answer, came within the time-out. The object stays usable."""


class BadAnswer(DeviceError):
    """A wrong header code or a malformed answer; `received` holds the bytes that came."""

    def __init__(self, message: str, *, port: str | None = None, operation: str | None = None,
                 received: bytes = b"") -> None:
        super().__init__(message, port=port, operation=operation)
        self.received = received


class _SystemFault(DeviceError, OSError):
    def __init__(self, message: str, *, port: str | None = None, operation: str | None = None,
                 errno: int = 0) -> None:
        DeviceError.__init__(self, message, port=port, operation=operation)
        self.errno = errno
        self.strerror = _os.strerror(errno) if errno else ""

    def __str__(self) -> str:
        return DeviceError.__str__(self)


class LineLost(_SystemFault):
    """The line hung up or failed, and the port was closed. Later calls raise it again at
    once, until reopen()."""


class PortError(_SystemFault):
    """The port could not be opened: `errno` says why (ENOENT, EACCES, EBUSY...)."""


class WrongDevice(DeviceError):
    """Something answered, but not the device asked for."""


class NotFound(DeviceError, LookupError):
    """No device of the identity asked for answered on any port probed."""


_PORT_ADVICE = {
    _errno.ENOENT: "check the name, and that the device is plugged in",
    _errno.EACCES: "add your user to the dialout group (then log in again)",
    _errno.EBUSY: "another program, or another object of this one, holds it: close that first",
    _errno.ENOTTY: "it is no serial port: check the name",
}


def _port_error(port: str, error: int) -> PortError:
    advice = _PORT_ADVICE.get(error, "check the port")
    return PortError(f"cannot open {port}: [Errno {error}] {_os.strerror(error)}; {advice}",
                     port=port, operation="open", errno=error)


def _from_native(kind: str, port: str, operation: str, timeout: float, error: int,
                 received: bytes, bad_answer_advice: str = "",
                 no_answer_advice: str = "") -> DeviceError:
    """The exception for an exchange that failed in the native part; the advice, when
    given, says what a wrong answer or none most likely means for this operation."""
    where = f"{operation} on {port}"
    if kind == "no_answer" and no_answer_advice:
        return NoAnswer(f"{where}: {no_answer_advice}", port=port, operation=operation)
    if kind == "no_answer":
        what = "an answer cut short" if received else "no answer"
        return NoAnswer(f"{where}: {what} within {timeout * 1000:g} ms; check that the device "
                        "is powered and awake, or allow a longer timeout",
                        port=port, operation=operation)
    if kind == "bad_answer" and bad_answer_advice:
        return BadAnswer(f"{where}: {bad_answer_advice}", port=port, operation=operation,
                         received=received)
    if kind == "bad_answer":
        shown = received.hex(" ") if received else "nothing usable"
        return BadAnswer(f"{where}: the device answered {shown}, not what {operation} expects; "
                         "check that this port has the right device",
                         port=port, operation=operation, received=received)
    if kind == "line_lost":
        return LineLost(f"{where}: the line was lost ([Errno {error}] {_os.strerror(error)}) "
                        "and the port closed; plug the device back in, then call reopen()",
                        port=port, operation=operation, errno=error)
    if kind == "refused":
        return DeviceError(f"{where}: its values make no frame, so nothing was sent; pass "
                           "the data the length announces", port=port, operation=operation)
    return DeviceError(f"{where}: stopped", port=port, operation=operation)
