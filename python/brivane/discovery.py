"""Finding devices: the system's serial ports and what it knows of each, and the ports where
an arm or a grip answers, probed all at once."""
from __future__ import annotations

import os
from typing import Iterable, Optional

from . import _brivane
from ._checks import _checked_timeout
from .records import Found, HandleInfo, Identity, PortInfo, Port

__all__ = ["list_ports", "find_arms", "find_grips", "DEFAULT_PROBE_TIMEOUT"]

#: How long detection gives each port to answer.
DEFAULT_PROBE_TIMEOUT = 0.5


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
    found = _brivane.find_arms(names, _checked_timeout(timeout), Identity)
    return [Found(infos.get(name, PortInfo(name)), identity) for name, identity in found]


def find_grips(ports: Optional[Iterable[Port]] = None, *,
               timeout: float = DEFAULT_PROBE_TIMEOUT) -> list[Found]:
    """The ports where a Handle grip answered its wake-up, probing them all at once: every
    serial port the system lists, or `ports`."""
    infos = _port_infos(ports)
    found = _brivane.find_grips(list(infos), _checked_timeout(timeout), HandleInfo)
    return [Found(infos[name], info) for name, info in found]
