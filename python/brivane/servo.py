"""The haptic servo: a fixed-rate C++ thread that owns an arm's exchanges while it runs,
renders force effects, keeps the hand safe and records every period."""
from __future__ import annotations

import atexit
import math
import warnings
import weakref
from types import TracebackType
from typing import (TYPE_CHECKING, Any, Callable, NamedTuple, Optional, Sequence, Tuple, Type,
                    Union)

from . import _brivane
from .effects import Effect, Mesh
from .laws import CompiledLaw

if TYPE_CHECKING:
    import numpy

    from .devices import Arm, Grip

__all__ = ["Servo", "Sample", "ServoStats", "DEFAULT_MAX_FORCE"]

Vec3 = Tuple[float, float, float]

#: The longest force a servo commands unless told otherwise, in newtons: felt clearly and
#: held easily, so that a wrong stiffness (millimetres taken for metres, a sign turned)
#: makes a firm push rather than a jolt.
DEFAULT_MAX_FORCE = 3.0


class Sample(NamedTuple):
    """One servo period: when it began (s since start), the arm's answer (m, m/s), the force
    computed for the next period after the clamp, ramp and lease (N), and the period as
    measured (s); with a grip, its orientation (the quaternion's four components in the order
    the grip sends them) and hall level, and the number of the status message they came from
    (1 for the first the servo took) with when the servo took it, on the samples' clock (s;
    the message came within the period before); with passivity, the energy the forces have
    put into the hand so far, less what it put into them (J), and the damping the controller
    added to this period's force (N·s/m); with a Mesh among the effects, where the first
    one's proxy is (m; the arm's position without one)."""
    time: float
    position: Vec3
    velocity: Vec3
    force: Vec3
    period: float
    orientation: Tuple[float, float, float, float] = (0.0, 0.0, 0.0, 0.0)
    hall: int = 0
    grip_sequence: int = 0
    grip_time: float = 0.0
    energy: float = 0.0
    damping: float = 0.0
    proxy: Vec3 = (0.0, 0.0, 0.0)


class ServoStats(NamedTuple):
    """A servo's figures since it started: periods, overruns (periods whose work or answer
    ended past the next deadline, never caught up), failures (answers lost or malformed, each
    once), the rate, the period and the lateness of its wake-ups in microseconds (percentiles
    to within 2 %, maxima exact); late answers (used, their period stretched), extra answers
    (beyond the requests sent), whether the servo cannot hold its rate (`behind`: half the
    periods of a stretch overran, and it renders at the pace the arm and the machine allow),
    whether the grip's line was lost, and with passivity, the periods whose force its
    controller damped and the energy it took back (J)."""
    periods: int
    overruns: int
    failures: int
    rate_hz: float
    period_p50_us: float
    period_p99_us: float
    period_max_us: float
    late_p99_us: float
    late_max_us: float
    late: int = 0
    extra: int = 0
    behind: bool = False
    grip_lost: bool = False
    passivity_periods: int = 0
    dissipated: float = 0.0


Law = Union[Callable[[Sample], Optional[Sequence[float]]], CompiledLaw]

_running: "weakref.WeakSet[Servo]" = weakref.WeakSet()


@atexit.register
def _stop_all() -> None:
    # Before the interpreter goes: no servo may call a law into a finished interpreter, and
    # every arm is left with zero force.
    for servo in list(_running):
        servo.stop()


def _number(value: Any, name: str, low: float, high: float = math.inf, *,
            above: bool = False) -> float:
    """`value` as a float from `low` (or above it) to `high`, or a TypeError or ValueError
    that names it."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    number = float(value)
    if not math.isfinite(number) or number > high or number < low or (above and number == low):
        bound = f"above {low:g}" if above else f"at least {low:g}"
        if high != math.inf:
            bound += f" and at most {high:g}"
        raise ValueError(f"{name} must be {bound}, not {value!r}")
    return number


def _law_force(force: Any) -> Optional[Vec3]:
    if force is None:
        return None
    try:
        if isinstance(force, (str, bytes)):
            raise TypeError
        values = [float(v) for v in force]
    except (TypeError, ValueError):
        raise TypeError("a servo's law returns a force of 3 numbers, or None; it returned "
                        f"{type(force).__name__}") from None
    if len(values) != 3 or not all(map(math.isfinite, values)):
        raise ValueError(f"a servo's law returns 3 finite numbers, or None; it returned {force!r}")
    return (values[0], values[1], values[2])


class Servo:
    """A fixed-rate C++ thread that owns `arm`'s exchanges while it runs.

    Each period it sends the force computed in the period before, receives the arm's state,
    computes the next force from the effects and the law, holds its length below
    `max_force`, fades it in over `ramp` seconds after a start, and records the period. An
    answer that comes past the period's deadline is waited for (up to two periods after its
    request, at least 1.5 ms) and used: the period stretches and counts as an overrun. One
    that does not come by then is lost and counted as a failure; the periods without a fresh
    state fade the last force to nothing within 10 ms, never step it. An arm silent for longer
    than its timeout stops the servo with NoAnswer; a lost line with LineLost. Sleeps are to
    absolute deadlines on the monotonic clock, never caught up in bursts. An arm slower than
    the rate is rendered at its own pace, and the servo warns once (`stats.behind`).
    `realtime=True` asks for a real-time priority and locks the process's memory, and raises
    PermissionError, saying how to allow them, when the system refuses.

    `passivity=True` adds a time-domain passivity observer and controller: the observer sums
    the energy the forces put into the hand (force · velocity · period), and whenever they
    have put out more than they took in, the controller adds just the damping that takes the
    excess back, within max_force. It guards every effect, law and glide, and keeps a wall
    stiffer than the rate allows from buzzing; `Sample.energy`, `Sample.damping` and the
    stats' `passivity_periods` and `dissipated` show what it did.

    Where the system allows (Linux), a guardian process shares the port while the servo runs
    and sends zero force should the program die without stopping it (a signal, os._exit, a
    crash).

    With `grip`, each period also takes the grip's queued messages without waiting, and the
    samples carry its latest orientation and hall level: a teleoperation's pose and trigger
    on the arm's clock.

    While it runs, the arm's own calls that exchange raise RuntimeError; its identity, port,
    offsets, timeout and stats stay readable. So do the grip's reads (its sends stay
    allowed). Stopping (stop(), leaving a with block, a lost
    line, a silent arm, a law that raised, the interpreter's exit) leaves the arm with zero
    force; a servo that ended by itself gives the arm back at once, and its stop() or the end
    of its with block raises what ended it, once.
    """

    def __init__(self, arm: "Arm", *, rate: float = 1000.0,
                 max_force: float = DEFAULT_MAX_FORCE, ramp: float = 0.5, lease: float = 0.0,
                 grip: Optional["Grip"] = None, realtime: bool = False,
                 samples: int = 65536, spin: float = 0.0, passivity: bool = False) -> None:
        native_arm = getattr(arm, "_native", None)
        if not isinstance(native_arm, _brivane.Arm):
            raise TypeError(f"a Servo drives a brivane.Arm, not {type(arm).__name__}")
        native_grip = getattr(grip, "_native", None)
        if grip is not None and not isinstance(native_grip, _brivane.Grip):
            raise TypeError(f"a Servo's grip is a brivane.Grip, not {type(grip).__name__}")
        if not isinstance(realtime, bool):
            raise TypeError(f"realtime must be True or False, not {type(realtime).__name__}")
        if not isinstance(passivity, bool):
            raise TypeError(f"passivity must be True or False, not {type(passivity).__name__}")
        if isinstance(samples, bool) or not isinstance(samples, int) or not \
                2 <= samples <= 1 << 24:
            raise ValueError(f"samples must be a whole number from 2 to {1 << 24}, not {samples!r}")
        self._arm = arm
        self._grip = grip
        self._capacity = samples
        #: The brivane.Recorder that takes the samples while it records, or None.
        self._reader: Optional[object] = None
        rate = _number(rate, "rate", 1.0, 10000.0)
        self._native = _brivane.Servo(
            native_arm, native_grip, arm.port, rate,
            _number(max_force, "max_force", 0.0, above=True), _number(ramp, "ramp", 0.0),
            _number(lease, "lease", 0.0), realtime, samples, Sample,
            _number(spin, "spin", 0.0, 0.5 / rate), passivity)
        self._effects: Tuple[Effect, ...] = ()
        self._law: Optional[Law] = None
        self._dropped = 0
        self._raised = False

    # Running

    def start(self) -> "Servo":
        """Starts the thread; nothing when it runs already."""
        if not self._native.running:
            self._raised = False
        self._native.start()
        _running.add(self)
        return self

    def stop(self) -> None:
        """Sends a zero force, ends the thread and gives the arm back; nothing when it is
        not running. When the servo had ended by itself, raises what ended it (the law's
        exception, NoAnswer, LineLost), once; `error` keeps it."""
        self._native.stop()
        _running.discard(self)
        self._raise_once()

    def _raise_once(self) -> None:
        error = self._native.error
        if error is not None and not self._raised:
            self._raised = True
            raise error

    def __enter__(self) -> "Servo":
        return self.start()

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self._native.stop()
        _running.discard(self)
        if kind is None:
            self._raise_once()

    @property
    def running(self) -> bool:
        return self._native.running

    @property
    def error(self) -> Optional[BaseException]:
        """What stopped the servo: a LineLost, or the exception its law raised; else None."""
        return self._native.error

    # What it renders

    @property
    def effects(self) -> Tuple[Effect, ...]:
        return self._effects

    @effects.setter
    def effects(self, effects: Sequence[Effect]) -> None:
        """Replaces the whole set at once: the thread never sees half an update. Renews the
        lease."""
        effects = tuple(effects)
        self._native.set_effects(_fields_of(effects))
        self._effects = effects

    def glide(self, effects: Sequence[Effect], seconds: float) -> None:
        """Replaces the effects by a set of the same shape (the same kinds of effect in the
        same order), moving every number in a straight line from its value now to the new one
        over `seconds`, in the servo's thread, so that the force changes by a little each
        period instead of a step. A glide given during another goes on from where that one
        was. `effects` is the new set at once. Renews the lease.

        The moving target of a teleoperation or a virtual coupling: a Spring whose anchor
        glides to each new pose of a simulated body; the spring's force, read back from
        `state.force`, is the coupling force to apply to the body.

        A set of another shape raises ValueError: replace it with `servo.effects = ...`."""
        seconds = _number(seconds, "seconds", 0.0)
        effects = tuple(effects)
        if not self._native.glide(_fields_of(effects), seconds):
            now = ", ".join(type(effect).__name__ for effect in self._effects) or "no effects"
            new = ", ".join(type(effect).__name__ for effect in effects) or "no effects"
            if now == new and any(isinstance(e, Mesh) for e in effects):
                raise ValueError("a Mesh glides only to another pose or numbers of the same "
                                 "mesh: give mesh.moved(pose=...), or replace the set with "
                                 "servo.effects = ... instead")
            raise ValueError(f"a glide moves the numbers of the same effects in the same order: "
                             f"the servo has ({now}), the glide gives ({new}); replace the set "
                             "with servo.effects = ... instead")
        self._effects = effects

    @property
    def law(self) -> Optional[Law]:
        return self._law

    @law.setter
    def law(self, law: Optional[Law]) -> None:
        """A function of the latest Sample returning a force (N) added to the effects', or
        None. It runs beside the servo, on a thread of its own with the interpreter lock,
        called with each newest sample; the servo adds the newest force it returned while
        that is fresh (three periods, at least 3 ms, after its sample) and fades it out after,
        so that whatever holds the interpreter lock delays the law, never the wire, and the
        effects keep rendering meanwhile. What it raises stops the servo, after a zero force,
        and becomes `error`. Renews the lease.

        A brivane.CompiledLaw runs in the period instead, in the servo's own thread, with no
        interpreter: its force is the period's."""
        if isinstance(law, CompiledLaw):
            self._native.set_compiled_law(law, law.address)
            self._law = law
            return
        if law is not None and not callable(law):
            raise TypeError(f"a law is a function of a Sample, or a brivane.CompiledLaw, not "
                            f"{type(law).__name__}")
        self._law = law
        python_law = law
        self._native.law = None if python_law is None else (
            lambda sample: _law_force(python_law(sample)))

    def renew(self) -> None:
        """Renews the lease: the forces keep on for another `lease` seconds."""
        self._native.renew()

    # Options

    @property
    def rate(self) -> float:
        return self._native.rate

    @property
    def max_force(self) -> float:
        return self._native.max_force

    @property
    def ramp(self) -> float:
        return self._native.ramp

    @property
    def spin(self) -> float:
        """Seconds before each deadline at which the thread stops sleeping and spins to it
        (at most half a period): a wake-up on time where the system wakes sleepers
        late, for that share of a core; 0 sleeps to the deadline."""
        return self._native.spin

    @property
    def lease(self) -> float:
        """Seconds the forces last without renew() or new effects or a new law before they
        fade to zero, so that a program that hangs lets the hand go; 0: no lease."""
        return self._native.lease

    @lease.setter
    def lease(self, seconds: float) -> None:
        """Sets the lease, running or not, and renews it."""
        self._native.lease = _number(seconds, "lease", 0.0)

    # What it did

    @property
    def state(self) -> Sample:
        """The latest sample; readable after the servo stopped."""
        state: Sample = self._native.state
        return state

    @property
    def epoch(self) -> float:
        """When the samples' time 0 was, on time.monotonic()'s clock (s): the latest run's
        start, 0.0 before any. A sample's time plus this is its time on that clock, which the
        traces of brivane-sim --proxy also keep (brivane.trace.Session.epoch), so that a
        session's samples and its trace line up: trace time = sample time + servo.epoch -
        session.epoch."""
        return self._native.epoch

    @property
    def stats(self) -> ServoStats:
        return ServoStats(*self._native.stats())

    @property
    def dropped(self) -> int:
        """Samples lost because samples() was not called before the record overflowed."""
        return self._dropped

    def samples(self) -> numpy.ndarray[Any, Any]:
        """Every sample since the last call, oldest first, as a numpy structured array with
        the fields time, position, velocity, force (3 each), period, orientation (4), hall,
        outcome (0 for a period whose exchange was answered; its position and velocity are
        then the arm's) and flags (1: its answer came late and was used, 2: no fresh state,
        the force faded, 4: the grip's line is lost, 8: the first mesh's proxy is on its
        surface), then grip_sequence and grip_time (the grip's status message the
        orientation came from, and when the servo took it), energy and damping (the
        passivity observer's and controller's) and proxy (where the first Mesh's proxy is;
        the position without one). Samples a run left untaken come first.
        When the record overflowed meanwhile, warns how many were dropped. While a
        brivane.Recorder records the servo, it takes them, and this raises RuntimeError."""
        if self._reader is not None:
            raise RuntimeError("a brivane.Recorder takes this servo's samples while it "
                               "records: read them from its file (brivane.recording.read)")
        out, dropped = self._take_samples()
        if dropped:
            warnings.warn(f"{dropped} servo samples were dropped: call samples() more often "
                          "than the record fills, or make the Servo with more samples",
                          RuntimeWarning, stacklevel=2)
        return out

    def _take_samples(self) -> Tuple[numpy.ndarray[Any, Any], int]:
        """samples() without the warning: the samples and how many were dropped before them."""
        import numpy

        raw, dropped = self._take_raw()
        out = numpy.empty(len(raw), dtype=_sample_dtype(numpy))
        for name in out.dtype.names:
            out[name] = raw[name]
        return out, dropped

    def _take_raw(self) -> Tuple[numpy.ndarray[Any, Any], int]:
        """The samples as the native record lays them out, and how many were dropped."""
        import numpy

        data, dropped = self._native.take_samples()
        self._dropped += dropped
        return numpy.frombuffer(data, dtype=_raw_dtype(numpy)), dropped

    def __repr__(self) -> str:
        state = "running" if self.running else "stopped"
        return f"<brivane.Servo {state} at {self.rate:g} Hz on {self._arm.port}>"


def _fields_of(effects: Tuple[Effect, ...]) -> list:  # type: ignore[type-arg]
    for effect in effects:
        if not hasattr(effect, "_fields"):
            raise TypeError(f"effects are brivane.effects records, not {type(effect).__name__}")
    return [effect._fields() for effect in effects]


#: A sample's fields: each one's name, its type in samples() and in the native record (which
#: keeps positions, velocities, forces and orientations in single precision), and its shape.
_SAMPLE_FIELDS: Tuple[Tuple[str, str, str, Tuple[int, ...]], ...] = (
    ("time", "f8", "<f8", ()), ("position", "f8", "<f4", (3,)),
    ("velocity", "f8", "<f4", (3,)), ("force", "f8", "<f4", (3,)), ("period", "f8", "<f8", ()),
    ("orientation", "f8", "<f4", (4,)), ("hall", "u1", "u1", ()), ("outcome", "u1", "u1", ()),
    ("flags", "u1", "u1", ()), ("grip_sequence", "u4", "<u4", ()), ("grip_time", "f8", "<f8", ()),
    ("energy", "f8", "<f8", ()), ("damping", "f8", "<f4", ()), ("proxy", "f8", "<f4", (3,)))


def _sample_dtype(numpy: Any) -> Any:
    return numpy.dtype([(name, kind, shape) for name, kind, _, shape in _SAMPLE_FIELDS])


def _raw_dtype(numpy: Any) -> Any:
    """The native record's layout, as the library lays out its samples."""
    layout = _brivane.sample_layout()
    return numpy.dtype({"names": [name for name, *_ in _SAMPLE_FIELDS],
                        "formats": [(raw, shape) for _, _, raw, shape in _SAMPLE_FIELDS],
                        "offsets": [layout[name] for name, *_ in _SAMPLE_FIELDS],
                        "itemsize": layout["itemsize"]})
