"""brivane.Recorder: a session written to an HDF5 file while it runs, a chunk a second, from
a thread of its own that takes the servo's samples as scope() does, so that the servo never
waits for it. The layout is brivane.recording's; brivane.recording.read gives it back."""
from __future__ import annotations

import atexit
import dataclasses
import datetime
import json
import math
import os
import tempfile
import threading
import time
import weakref
from types import TracebackType
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Type, Union

from . import _brivane, recording
from . import trace as _trace
from .devices import Arm, Grip
from .effects import Mesh
from .servo import _SAMPLE_FIELDS, Servo

if TYPE_CHECKING:
    from .trace import Session

__all__ = ["Recorder"]

#: How long stop() lets a proxy that still records write out the exchanges of the last
#: samples: it writes its trace out every 100 ms.
_TRACE_CATCH_UP = 0.25
#: Seconds between two takes of the samples, within a chunk.
_TAKE_EVERY = 0.1

_recording: "weakref.WeakSet[Recorder]" = weakref.WeakSet()


def _stop_all() -> None:
    # A program that ends without stop() leaves a whole file, its statistics and trace in
    # it. Registered at the first start, once h5py is imported, so that it runs before
    # h5py's own handler and the servos' (the last registered runs first).
    for recorder in list(_recording):
        recorder.stop()


class Recorder:
    """Records `servo`'s samples, and the identities of its arm and grip (or of `arm` and
    `grip` alone), into the HDF5 file at `path` while it runs: a `with` block, or start()
    and stop().

    Its thread takes the samples the servo recorded, ten times a second, and writes and
    flushes them every `chunk` seconds. The file is in SWMR mode: it can be read while being
    written (brivane.recording.read, or h5py with swmr=True), and a writer killed at any moment
    leaves a valid file with all but its last chunk. The samples lost because the servo's
    record overflowed are counted (`dropped`, and the samples' attribute). At stop() the
    servo's statistics and effects are added and, with `trace` (the path a `brivane-sim
    --proxy --record` writes to), the trace's exchanges: read from the file the proxy is
    still writing, when it runs. While it records, the Recorder takes the servo's samples:
    servo.samples() and brivane.scope raise RuntimeError meanwhile.

    An existing file is kept (FileExistsError) unless `overwrite=True`. What fails in the
    thread ends the recording (the servo runs on) and is raised by stop() or at the end of
    the with block, once; `error` keeps it.
    """

    def __init__(self, path: Union[str, "os.PathLike[str]"], servo: Optional[Servo] = None,
                 arm: Optional[Arm] = None, grip: Optional[Grip] = None, *,
                 trace: Union[str, "os.PathLike[str]", None] = None, overwrite: bool = False,
                 chunk: float = 1.0) -> None:
        for value, kind, name in ((servo, Servo, "servo"), (arm, Arm, "arm"),
                                  (grip, Grip, "grip")):
            if value is not None and not isinstance(value, kind):
                raise TypeError(f"a Recorder's {name} is a brivane.{kind.__name__}, not "
                                f"{type(value).__name__}")
        if not isinstance(overwrite, bool):
            raise TypeError(f"overwrite must be True or False, not {type(overwrite).__name__}")
        if isinstance(chunk, bool) or not isinstance(chunk, (int, float)):
            raise TypeError(f"chunk must be a number of seconds, not {type(chunk).__name__}")
        if not (math.isfinite(chunk) and 0.01 <= chunk <= 60):
            raise ValueError(f"chunk must be from 0.01 to 60 seconds, not {chunk!r}")
        if servo is not None:
            for given, its, name in ((arm, servo._arm, "arm"), (grip, servo._grip, "grip")):
                if given is not None and given is not its:
                    raise ValueError(f"the {name} given is not the servo's: give the servo "
                                     f"alone, and its {name} is recorded")
            arm, grip = servo._arm, servo._grip
            # The servo's record must hold what it makes between two takes, and more.
            if servo._capacity < 2 * chunk * servo.rate:
                raise ValueError(
                    f"the servo's record holds {servo._capacity} samples, less than two chunks "
                    f"of {chunk:g} s at {servo.rate:g} Hz: make the Servo with samples="
                    f"{math.ceil(4 * chunk * servo.rate)} or more, or record shorter chunks")
        if servo is None and arm is None and grip is None and trace is None:
            raise ValueError("a Recorder records a servo, an arm, a grip or a trace: give at "
                             "least one")
        self.path = os.fspath(path)
        self.servo, self.arm, self.grip = servo, arm, grip
        self.trace = None if trace is None else os.fspath(trace)
        self.overwrite = overwrite
        self.chunk = float(chunk)
        self._file: Any = None
        self._table: Optional[recording.Table] = None
        self._thread: Optional[threading.Thread] = None
        self._stopping = threading.Event()
        self._epoch: Optional[float] = None
        self._rows = 0
        self._pending: list = []  # type: ignore[type-arg]  # taken, not yet written
        self._dropped = 0
        self._last_take = 0.0
        self._error: Optional[BaseException] = None
        self._raised = False
        self._done = False
        self._meshes: List[Any] = []  # the native meshes in /meshes, in order

    # Running

    def start(self) -> "Recorder":
        """Makes the file and starts recording; nothing when it records already. A Recorder
        records once: another file needs another Recorder."""
        if self._thread is not None:
            return self
        if self._done:
            raise RuntimeError(f"this Recorder has recorded {self.path}; make another for "
                               "another recording")
        if self.servo is not None and self.servo._reader is not None:
            raise RuntimeError("another brivane.Recorder records this servo; stop it first")
        self._file = recording.create(self.path, self.overwrite)
        try:
            self._lay_out()
            self._file.swmr_mode = True
            self._file.flush()
        except BaseException:
            self._file.close()
            os.unlink(self.path)  # half a layout is no recording
            raise
        if self.servo is not None:
            self.servo._reader = self
        self._thread = threading.Thread(target=self._run, name=f"brivane.Recorder {self.path}",
                                        daemon=True)
        self._thread.start()
        if not _recording:
            atexit.unregister(_stop_all)
            atexit.register(_stop_all)
        _recording.add(self)
        return self

    def stop(self) -> None:
        """Takes the last samples, adds the servo's statistics and effects and the trace,
        and closes the file; nothing when it is not recording. Raises what failed in the
        thread, once (`error` keeps it)."""
        if self._thread is not None:
            self._stopping.set()
            self._thread.join()
            self._thread = None
            if self.servo is not None:
                self.servo._reader = None
            self._file.close()
            self._file = None
            self._done = True
            _recording.discard(self)
            try:
                self._finish()
            except Exception as error:  # kept as the thread's are, and raised once
                self._error = error
        self._raise_once()

    def _raise_once(self) -> None:
        if self._error is not None and not self._raised:
            self._raised = True
            raise self._error

    def __enter__(self) -> "Recorder":
        return self.start()

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if kind is None:
            self.stop()
            return
        try:
            self.stop()
        except Exception:
            pass  # the exception that ended the block goes on; `error` keeps this one

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    @property
    def error(self) -> Optional[BaseException]:
        """What ended the recording before stop(): an OSError of the file, say; else None."""
        return self._error

    @property
    def rows(self) -> int:
        """The samples written so far."""
        return self._rows

    @property
    def dropped(self) -> int:
        """Samples the servo's record overwrote before the Recorder took them."""
        return self._dropped

    def __repr__(self) -> str:
        state = "recording" if self.running else "stopped"
        return f"<brivane.Recorder {state} {self.path!r}: {self._rows} samples>"

    # Writing

    def _lay_out(self) -> None:
        """Everything but the rows, made before the file goes into SWMR mode, in which no
        object can be made."""
        file = self._file
        file.attrs["format"] = recording.FORMAT
        file.attrs["complete"] = False
        file.attrs["start"] = datetime.datetime.now(datetime.timezone.utc).isoformat()
        if self.servo is not None:
            servo = file.create_group("servo")
            for option in ("rate", "max_force", "ramp", "lease", "spin"):
                servo.attrs[option] = getattr(self.servo, option)
            servo.attrs["effects"] = self._effects_json(file, self.servo.effects)
            rows = max(1, round(self.chunk * self.servo.rate))
            samples = file.create_group("samples")
            self._table = recording.Table(samples, _stored_dtype(), rows)
            samples.attrs["epoch"] = 0.0  # set by the first chunk that has rows
            samples.attrs["rate"] = self.servo.rate
            samples.attrs["dropped"] = 0
            samples.attrs["chunk"] = self.chunk
        if self.arm is not None:
            arm = file.create_group("arm")
            arm.attrs["port"] = self.arm.port
            for key, value in self.arm.identity._asdict().items():
                arm.attrs[key] = str(value) if key == "uuid" else value
        if self.grip is not None:
            grip = file.create_group("grip")
            grip.attrs["port"] = self.grip.port
            for key, value in self.grip.info._asdict().items():
                grip.attrs[key] = value

    def _run(self) -> None:
        # Taken in small pieces, flushed a chunk at a time: a take of a whole chunk at 4 kHz
        # would hold a core for milliseconds at once, which the servo's thread may need.
        takes = max(1, round(self.chunk / _TAKE_EVERY))
        try:
            taken = 0
            while not self._stopping.wait(self.chunk / takes):
                self._take()
                taken += 1
                if taken % takes == 0:
                    self._write()
            self._take()  # what came until stop()
            self._write()
        except BaseException as error:  # raised by stop(): the thread never ends unsaid
            self._error = error
            if self.servo is not None:
                self.servo._reader = None  # the samples are the program's again

    def _take(self) -> None:
        if self.servo is None or self._table is None:
            return
        import numpy

        taken, dropped = self.servo._take_raw()
        self._last_take = time.monotonic()
        samples = self._file["samples"]
        if len(taken):
            epoch = self.servo.epoch
            if self._epoch is None:
                self._epoch = epoch
                samples.attrs.modify("epoch", epoch)
            elif epoch != self._epoch:
                raise recording.RecordingError(
                    self.path, "the servo started again while it was recorded, on another "
                    "clock: record each run into a file of its own")
            rows = numpy.empty(len(taken), dtype=_stored_dtype())
            for name in rows.dtype.names:
                rows[name] = taken[name]
            self._pending.append(rows)
        if dropped:
            self._dropped += dropped
            samples.attrs.modify("dropped", self._dropped)

    def _write(self) -> None:
        """The rows taken since the last chunk, written and flushed as one: each of the
        file's columns grows once a chunk, which costs the machine, and so the servo, least."""
        if self._pending:
            import numpy

            rows = numpy.concatenate(self._pending)
            self._pending = []
            assert self._table is not None
            self._table.append(rows)
            self._rows += len(rows)
        self._file.flush()

    def _finish(self) -> None:
        """The servo's statistics and effects and the trace, once the rows are all written:
        in the file reopened out of SWMR mode, in which groups can be made again."""
        if self._error is not None:
            return
        import h5py  # type: ignore[import]

        session = self._read_trace() if self.trace is not None else None
        with h5py.File(self.path, "r+", libver="latest") as file:
            if self.servo is not None:
                stats = file["servo"].create_group("stats")
                for key, value in self.servo.stats._asdict().items():
                    stats.attrs[key] = value
                file["servo"].attrs["effects"] = self._effects_json(file, self.servo.effects)
            if session is not None:
                recording.write_trace(file, **session._tables())
            file.attrs["complete"] = True

    def _effects_json(self, file: Any, effects: Any) -> str:
        """The effects' numbers as JSON; each mesh's geometry written once, as
        /meshes/<n>/vertices and triangles, and its effect's "mesh" n."""
        fields: List[Dict[str, Any]] = []
        for effect in effects:
            if not isinstance(effect, Mesh):
                fields.append({"effect": type(effect).__name__, **dataclasses.asdict(effect)})
                continue
            # A mesh moved to another pose is the same geometry, stored once.
            known = [n for n, native in enumerate(self._meshes) if native is effect._native]
            if known:
                number = known[0]
            else:
                number = len(self._meshes)
                stored = file.require_group("meshes").create_group(str(number))
                stored.create_dataset("vertices", data=effect.vertices)
                stored.create_dataset("triangles", data=effect.triangles)
                self._meshes.append(effect._native)
            fields.append({"effect": "Mesh", "mesh": number, "stiffness": effect.stiffness,
                           "damping": effect.damping,
                           "static_friction": effect.static_friction,
                           "dynamic_friction": effect.dynamic_friction,
                           "pose": dataclasses.asdict(effect.pose)})
        return json.dumps(fields)

    def _read_trace(self) -> "Session":
        """The trace at `trace`; while a proxy still records it, what it has written so far,
        up to its last whole line, once it had the time to write the last samples' exchanges."""
        assert self.trace is not None
        writing = _brivane.trace_being_written(self.trace)
        if writing is None:
            if not os.path.exists(self.trace):
                raise FileNotFoundError(
                    2, "no trace there, and no brivane-sim --proxy records it: start the proxy "
                    "with --record and this name", self.trace)
            return _trace.read(self.trace)
        time.sleep(max(0.0, self._last_take + _TRACE_CATCH_UP - time.monotonic()))
        with open(writing, "rb") as source:
            text = source.read()
        with tempfile.NamedTemporaryFile(prefix="brivane-", suffix=".trace") as copy:
            copy.write(text[:text.rfind(b"\n") + 1])
            copy.flush()
            return _trace.read(copy.name)


def _stored_dtype() -> Any:
    """A sample's fields as the servo's record keeps them: its single-precision values in
    single precision, which loses nothing."""
    import numpy

    return numpy.dtype([(name, raw, shape) for name, _, raw, shape in _SAMPLE_FIELDS])
