"""Force effects a brivane.Servo renders in its own thread, every period.

Each is a frozen record of finite numbers, checked when it is made, each within the range
of the 32-bit floats the servo computes with (at most 3.4e38 in size): metres, seconds and
newtons in the arm's frame, stiffness in N/m (a number, or three per axis), damping in
N·s/m. The shapes push along their surface normal while the end effector is in contact, by
stiffness times the depth, and their damping acts on the velocity along that normal.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Sequence, Tuple, Union

__all__ = ["Effect", "ConstantForce", "Spring", "Damper", "Plane", "Box", "Sphere"]

Vec3 = Tuple[float, float, float]
#: A stiffness: one number for every axis, or three, one per axis.
Stiffness = Union[float, Sequence[float]]


# The largest 32-bit float: the servo computes its forces from such floats, in which a
# larger number would be infinite.
_FLOAT32_MAX = float.fromhex("0x1.fffffep+127")


def _number(value: Any, name: str, *, positive: bool = False, float32: bool = True) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(
            value, "__float__"):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number):
        raise ValueError(f"{name} must be finite, not {number!r}")
    if float32 and abs(number) > _FLOAT32_MAX:
        raise ValueError(f"{name} must be at most {_FLOAT32_MAX:.7g} in size (the servo "
                         f"computes in 32-bit floats), not {number!r}")
    if positive and number < 0:
        raise ValueError(f"{name} must not be negative, not {number!r}")
    return number


def _vector(values: Any, name: str, *, positive: bool = False, float32: bool = True) -> Vec3:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name} must be 3 numbers, not {type(values).__name__}")
    try:
        items = list(values)
    except TypeError:
        raise TypeError(f"{name} must be 3 numbers, not {type(values).__name__}") from None
    if len(items) != 3:
        raise ValueError(f"{name} must be 3 numbers, not {len(items)}")
    x, y, z = (_number(v, f"{name}[{i}]", positive=positive, float32=float32)
               for i, v in enumerate(items))
    return (x, y, z)


def _stiffness(value: Any, name: str = "stiffness") -> Vec3:
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        k = _number(value, name, positive=True)
        return (k, k, k)
    return _vector(value, name, positive=True)


def _set(record: Any, **fields: Any) -> None:
    for name, value in fields.items():
        object.__setattr__(record, name, value)


@dataclass(frozen=True)
class ConstantForce:
    """The same force everywhere (N)."""
    force: Vec3

    def __post_init__(self) -> None:
        _set(self, force=_vector(self.force, "force"))

    def _fields(self) -> Tuple[Any, ...]:
        return ("constant", self.force)


@dataclass(frozen=True)
class Spring:
    """Pulls towards `anchor` by stiffness times the distance, per axis; damping acts on the
    whole velocity."""
    anchor: Vec3
    stiffness: Stiffness
    damping: float = 0.0

    def __post_init__(self) -> None:
        _set(self, anchor=_vector(self.anchor, "anchor"), stiffness=_stiffness(self.stiffness),
             damping=_number(self.damping, "damping", positive=True))

    def _fields(self) -> Tuple[Any, ...]:
        return ("spring", self.anchor, self.stiffness, self.damping)


@dataclass(frozen=True)
class Damper:
    """Resists every motion: damping times the velocity."""
    damping: float

    def __post_init__(self) -> None:
        _set(self, damping=_number(self.damping, "damping", positive=True))

    def _fields(self) -> Tuple[Any, ...]:
        return ("damper", self.damping)


@dataclass(frozen=True)
class Plane:
    """A one-sided wall through `point`, facing along `normal`: behind it, it pushes out.
    `normal` may be of any finite length but zero; it is kept made of unit length."""
    point: Vec3
    normal: Vec3
    stiffness: Stiffness
    damping: float = 0.0

    def __post_init__(self) -> None:
        # Any finite size: it is made of unit length here, scaled by its largest part first
        # so that neither its squares nor their sum overflow or underflow.
        normal = _vector(self.normal, "normal", float32=False)
        largest = max(abs(n) for n in normal)
        if largest == 0:
            raise ValueError("normal must not be zero: it says which side of the wall is free")
        scaled = [n / largest for n in normal]
        length = math.sqrt(sum(n * n for n in scaled))
        _set(self, point=_vector(self.point, "point"),
             normal=(scaled[0] / length, scaled[1] / length, scaled[2] / length),
             stiffness=_stiffness(self.stiffness),
             damping=_number(self.damping, "damping", positive=True))

    def _fields(self) -> Tuple[Any, ...]:
        return ("plane", self.point, self.normal, self.stiffness, self.damping)


@dataclass(frozen=True)
class Box:
    """Walls that keep the end effector within [low, high] on every axis."""
    low: Vec3
    high: Vec3
    stiffness: Stiffness
    damping: float = 0.0

    def __post_init__(self) -> None:
        low, high = _vector(self.low, "low"), _vector(self.high, "high")
        if any(a > b for a, b in zip(low, high)):
            raise ValueError(f"low must not exceed high on any axis: {low} and {high}")
        _set(self, low=low, high=high, stiffness=_stiffness(self.stiffness),
             damping=_number(self.damping, "damping", positive=True))

    def _fields(self) -> Tuple[Any, ...]:
        return ("box", self.low, self.high, self.stiffness, self.damping)


@dataclass(frozen=True)
class Sphere:
    """A ball: solid, it pushes the end effector out while it is within `radius` of
    `center`; hollow (inside=True), it pushes it back in while it is beyond."""
    center: Vec3
    radius: float
    stiffness: Stiffness
    damping: float = 0.0
    inside: bool = False

    def __post_init__(self) -> None:
        radius = _number(self.radius, "radius")
        if radius <= 0:
            raise ValueError(f"radius must be above 0, not {radius!r}")
        if not isinstance(self.inside, bool):
            raise TypeError(f"inside must be True or False, not {type(self.inside).__name__}")
        _set(self, center=_vector(self.center, "center"), radius=radius,
             stiffness=_stiffness(self.stiffness),
             damping=_number(self.damping, "damping", positive=True))

    def _fields(self) -> Tuple[Any, ...]:
        return ("sphere", self.center, self.radius, self.stiffness, self.damping, self.inside)


#: Any of the effects.
Effect = Union[ConstantForce, Spring, Damper, Plane, Box, Sphere]
