"""brivane: the Kalvar arm and the Handle grip for new programs.

Faults raise (brivane.errors), every call has a time-out of its object's own, ports close
on leaving a with block, and each arm keeps its own calibration. This is a layer over the
same C++ library as the BrivaneHardwareAPI module, with its own copy of it: calibration set
through one is not seen by the other.
"""
from __future__ import annotations

from . import _brivane
from . import effects, recording, trace
from .devices import DEFAULT_TIMEOUT, Arm, Grip, _Device
from .devices import ArmStats as ArmStats
from .discovery import find_arms, find_grips, list_ports
from .discovery import DEFAULT_PROBE_TIMEOUT as DEFAULT_PROBE_TIMEOUT
from .effects import Box, ConstantForce, Damper, Mesh, Plane, Pose, Sphere, Spring
from .errors import BadAnswer, DeviceError, LineLost, NoAnswer, NotFound, PortError, WrongDevice
from .records import (Found, HandleError, HandleInfo, HandleStatus, Identity, JointState,
                      PortInfo, State, StatusBlock, Stats)
from .records import Message as Message, Numbers as Numbers, Port as Port
from .records import UserData as UserData, Vec3 as Vec3
from ._scope import scope
from .laws import LAW_SAMPLE_FIELDS, CompiledLaw
from .servo import Sample, Servo, ServoStats
from .recorder import Recorder

__all__ = [
    "Arm", "Grip", "list_ports", "find_arms", "find_grips",
    "Identity", "State", "JointState", "Stats", "PortInfo", "Found",
    "HandleInfo", "HandleStatus", "HandleError", "StatusBlock",
    "DeviceError", "NoAnswer", "BadAnswer", "LineLost", "PortError", "WrongDevice", "NotFound",
    "Servo", "Sample", "ServoStats", "CompiledLaw", "LAW_SAMPLE_FIELDS", "effects", "scope",
    "trace", "Recorder", "recording",
    "ConstantForce", "Spring", "Damper", "Plane", "Box", "Sphere", "Mesh", "Pose",
    "DEFAULT_TIMEOUT",
]

# The records, devices and finders are the package's own: they are shown, documented and
# pickled as brivane's, whichever of its modules defines them.
for _type in (Identity, State, JointState, Stats, HandleInfo, HandleStatus, HandleError,
              StatusBlock, PortInfo, Found, Numbers, _Device, Arm, ArmStats, Grip, CompiledLaw,
              Recorder):
    _type.__module__ = __name__
for _function in (list_ports, find_arms, find_grips):
    _function.__module__ = __name__
del _type, _function
