"""Force effects a brivane.Servo renders in its own thread, every period.

Each is a frozen record of finite numbers, checked when it is made, each within the range
of the 32-bit floats the servo computes with (at most 3.4e38 in size): metres, seconds and
newtons in the arm's frame, stiffness in N/m (a number, or three per axis), damping in
N·s/m. The shapes push along their surface normal while the end effector is in contact, by
stiffness times the depth, and their damping acts on the velocity along that normal.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple, Union

__all__ = ["Effect", "ConstantForce", "Spring", "Damper", "Plane", "Box", "Sphere", "Mesh",
           "Pose"]

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


Quaternion = Tuple[float, float, float, float]


@dataclass(frozen=True)
class Pose:
    """Where a mesh is: a point p of the mesh's own frame is at rotation · p + position in
    the arm's (m). `rotation` is a quaternion (w, x, y, z) of any finite length but zero,
    kept made of unit length; Pose.about() makes one from an axis and an angle."""
    position: Vec3 = (0.0, 0.0, 0.0)
    rotation: Quaternion = (1.0, 0.0, 0.0, 0.0)

    def __post_init__(self) -> None:
        if isinstance(self.rotation, (str, bytes)) or len(tuple(self.rotation)) != 4:
            raise ValueError("rotation must be a quaternion of 4 numbers (w, x, y, z)")
        parts = [_number(q, f"rotation[{i}]", float32=False)
                 for i, q in enumerate(self.rotation)]
        length = math.sqrt(sum(q * q for q in parts))
        if not 0 < length < math.inf:
            raise ValueError("rotation must not be zero: (1, 0, 0, 0) is no rotation")
        w, x, y, z = (q / length for q in parts)
        _set(self, position=_vector(self.position, "position"), rotation=(w, x, y, z))

    @classmethod
    def about(cls, axis: Vec3, angle: float, position: Vec3 = (0.0, 0.0, 0.0)) -> "Pose":
        """Turned by `angle` radians about `axis` (right-handed), then moved to `position`."""
        ax, ay, az = _vector(axis, "axis", float32=False)
        length = math.sqrt(ax * ax + ay * ay + az * az)
        if not 0 < length < math.inf:
            raise ValueError("axis must not be zero: it is the line the mesh turns about")
        half = _number(angle, "angle", float32=False) / 2
        sine = math.sin(half) / length
        return cls(position, (math.cos(half), ax * sine, ay * sine, az * sine))


class Mesh:
    """A triangle mesh touched through a proxy: a point that follows the end effector in
    free space and stays on the surface where the end effector goes through it, so that a
    thin or sharp object is never passed through, however fast or deep the hand goes. The
    force is stiffness (N/m) times the proxy's offset from the end effector, damped (N·s/m)
    along it while in contact; friction on the proxy sticks it while the force along the
    surface is within static_friction times the force into it, and once it slips, slides it
    until that share is dynamic_friction.

    `vertices` (N × 3, m, in the mesh's own frame) and `triangles` (M × 3 indices into
    them) are numpy arrays or sequences. Each face is one-sided: it is felt from the side
    from which its corners run counter-clockwise, and from behind it is not there; a closed
    mesh so wound has an inside. `pose` puts the mesh in the arm's frame; moved() gives the
    same mesh at another pose without building it again, so that a servo may glide it there.

    The mesh is built once, with a bounding-box tree, so that a period costs about as much
    for a million triangles as for one; a malformed mesh (an index out of range, a triangle
    of no area, a vertex that is not finite) raises ValueError naming what is wrong."""

    __slots__ = ("vertices", "triangles", "stiffness", "damping", "static_friction",
                 "dynamic_friction", "pose", "_native")
    vertices: Any  # numpy.ndarray, N x 3 float64, read-only
    triangles: Any  # numpy.ndarray, M x 3 int64, read-only
    stiffness: float
    damping: float
    static_friction: float
    dynamic_friction: float
    pose: Pose
    _native: Any

    def __init__(self, vertices: Any, triangles: Any, stiffness: float, damping: float = 0.0,
                 static_friction: float = 0.0, dynamic_friction: float = 0.0,
                 pose: Pose = Pose()) -> None:
        import numpy

        from . import _brivane

        points = numpy.array(vertices, dtype=numpy.float64)
        if points.ndim != 2 or points.shape[1] != 3:
            raise ValueError(f"vertices must be N x 3 (x, y, z in metres), not of shape "
                             f"{points.shape}")
        corners = numpy.asarray(triangles)
        if corners.ndim != 2 or corners.shape[1] != 3:
            raise ValueError(f"triangles must be M x 3 vertex indices, not of shape "
                             f"{corners.shape}")
        if corners.size and not numpy.issubdtype(corners.dtype, numpy.integer):
            raise TypeError(f"triangles must be integer indices, not {corners.dtype}")
        corners = numpy.array(corners, dtype=numpy.int64)
        points.setflags(write=False)
        corners.setflags(write=False)
        self._init(points, corners, _brivane.TriangleMesh(points, corners), stiffness, damping,
                   static_friction, dynamic_friction, pose)

    def _init(self, points: Any, corners: Any, native: Any, stiffness: float, damping: float,
              static_friction: float, dynamic_friction: float, pose: Pose) -> None:
        if not isinstance(pose, Pose):
            raise TypeError(f"pose must be a brivane.Pose, not {type(pose).__name__}")
        static = _number(static_friction, "static_friction", positive=True)
        dynamic = _number(dynamic_friction, "dynamic_friction", positive=True)
        if dynamic > static:
            raise ValueError(f"dynamic_friction ({dynamic:g}) must not exceed static_friction "
                             f"({static:g}): a contact that slips holds less than one at rest")
        set_ = object.__setattr__
        set_(self, "vertices", points)
        set_(self, "triangles", corners)
        set_(self, "_native", native)
        set_(self, "stiffness", _number(stiffness, "stiffness", positive=True))
        set_(self, "damping", _number(damping, "damping", positive=True))
        set_(self, "static_friction", static)
        set_(self, "dynamic_friction", dynamic)
        set_(self, "pose", pose)

    def moved(self, pose: Optional[Pose] = None, **changes: float) -> "Mesh":
        """The same mesh, not copied nor built again, at `pose` and with any of stiffness,
        damping, static_friction and dynamic_friction changed: a set holding it may glide
        from the one to the other."""
        unknown = set(changes) - {"stiffness", "damping", "static_friction", "dynamic_friction"}
        if unknown:
            raise TypeError(f"moved() takes pose, stiffness, damping, static_friction and "
                            f"dynamic_friction, not {', '.join(sorted(unknown))}")
        fields = {name: getattr(self, name) for name in
                  ("stiffness", "damping", "static_friction", "dynamic_friction")}
        fields.update(changes)
        mesh = Mesh.__new__(Mesh)
        mesh._init(self.vertices, self.triangles, self._native, pose=self.pose
                   if pose is None else pose, **fields)
        return mesh

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"], stiffness: float, *,
             scale: float = 1.0, **options: Any) -> "Mesh":
        """A mesh read from a file people have (STL, OBJ, PLY and the other formats meshio
        reads: Debian's python3-meshio), its coordinates times `scale` in metres (0.001 for
        a file in millimetres); its quadrilaterals each made two triangles. `options` are
        Mesh's (damping, static_friction, dynamic_friction, pose)."""
        try:
            import meshio  # type: ignore[import]
        except ImportError:
            raise ImportError("Mesh.load reads files with meshio: install it (Debian: "
                              "apt-get install python3-meshio), or make the Mesh from arrays"
                              ) from None
        import numpy

        factor = _number(scale, "scale", float32=False)
        if factor <= 0:
            raise ValueError(f"scale must be above 0, not {factor!r}")
        read = meshio.read(os.fspath(path))
        triangles = [numpy.asarray(block.data) for block in read.cells if block.type == "triangle"]
        for block in read.cells:
            if block.type == "quad":
                quads = numpy.asarray(block.data)
                triangles += [quads[:, [0, 1, 2]], quads[:, [0, 2, 3]]]
        if not triangles:
            kinds = ", ".join(sorted({block.type for block in read.cells})) or "none"
            raise ValueError(f"{os.fspath(path)} holds no triangles (its cells: {kinds})")
        return cls(numpy.asarray(read.points, dtype=numpy.float64)[:, :3] * factor,
                   numpy.concatenate(triangles), stiffness, **options)

    @classmethod
    def box(cls, low: Vec3, high: Vec3, stiffness: float, **options: Any) -> "Mesh":
        """A closed box from `low` to `high`, its 12 triangles wound to be felt from outside.
        `options` are Mesh's."""
        (x0, y0, z0), (x1, y1, z1) = _vector(low, "low"), _vector(high, "high")
        if not (x0 < x1 and y0 < y1 and z0 < z1):
            raise ValueError(f"low must be below high on every axis: {low} and {high}")
        vertices = [(x, y, z) for z in (z0, z1) for y in (y0, y1) for x in (x0, x1)]
        # Corners 0-3 below (z0), 4-7 above; each face counter-clockwise from outside.
        faces = [(0, 2, 3, 1), (4, 5, 7, 6), (0, 1, 5, 4), (2, 6, 7, 3), (0, 4, 6, 2),
                 (1, 3, 7, 5)]
        triangles = [t for a, b, c, d in faces for t in ((a, b, c), (a, c, d))]
        return cls(vertices, triangles, stiffness, **options)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"a Mesh is frozen: use mesh.moved(...) for one with {name} "
                             "changed")

    def __repr__(self) -> str:
        return (f"Mesh({len(self.triangles)} triangles, stiffness={self.stiffness:g}, "
                f"damping={self.damping:g}, static_friction={self.static_friction:g}, "
                f"dynamic_friction={self.dynamic_friction:g}, pose={self.pose})")

    def _fields(self) -> Tuple[Any, ...]:
        return ("mesh", self._native, self.pose.position, self.pose.rotation, self.stiffness,
                self.damping, self.static_friction, self.dynamic_friction)


#: Any of the effects.
Effect = Union[ConstantForce, Spring, Damper, Plane, Box, Sphere, Mesh]
