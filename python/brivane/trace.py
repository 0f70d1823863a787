"""Traces recorded by `brivane-sim --proxy` as data: `read(path)` decodes a session with the
tools' own decoder into numpy arrays, one row per request and one per grip message, with the
same columns as `brivane-trace FILE --csv OUT.csv` writes.

    session = brivane.trace.read("arm.trace")
    e = session.exchanges
    force = e[e["command"] == "end_effector_force"]
    print(numpy.percentile(e["answer_us"], 99), force["x"].ptp())

Exchanges (per request): frame, request_time and answer_time (s since the trace's start),
answer_us, timed_out, command (the module method that sends it) and command_0..2 (the
values it carries), then the answer's fields: x, y, z (m) and vx, vy, vz (m/s) of an
end-effector state, angle_0..2 (rad) and joint_velocity_0..2 (rad/s) of a joint state,
temperature, current_0..2. Messages (per grip message): frame, time, answer_us (NaN for a
message nobody asked for), message (its name), device_id, error_flag, error_code, hall,
buttons, user_data (its length), q0..q3 and battery (V, a status block's). A value a row
does not carry is NaN. `session.to_hdf5(path)` writes the tables to an HDF5 file, laid out
as brivane.Recorder lays out a trace (brivane.recording).
"""
from __future__ import annotations

import errno
import json
import os
import stat
from dataclasses import dataclass
from typing import Any, Dict, Optional, Tuple, Union

from . import _brivane, recording

__all__ = ["read", "Session", "TraceError"]


class TraceError(ValueError):
    """A file that is no trace: the line (1 for the first; 0 for a file that cannot be read
    whole) and what is wrong with it."""

    def __init__(self, path: str, line: int, what: str) -> None:
        super().__init__(f"{path}:{line}: {what}")
        self.path = path
        self.line = line
        self.what = what


@dataclass(frozen=True)
class Session:
    """A decoded trace: the device, the number of frames, the exchanges and messages as
    numpy structured arrays, what made no frame (junk), the requests that got no answer,
    the arm answers nobody asked for, and the trace's comments (port, settings, start)."""
    path: str
    device: str
    frames: int
    exchanges: Any
    messages: Any
    junk_frames: int
    junk_bytes: int
    unanswered: int
    unmatched: int
    comments: Tuple[str, ...]
    #: The trace's time 0 on time.monotonic()'s clock (s), from its "monotonic:" comment;
    #: None for a trace recorded without one. A servo's samples line up with the trace by
    #: servo.epoch - epoch.
    epoch: Optional[float] = None

    def late(self, seconds: float) -> int:
        """The answers that came more than `seconds` after their request: late, yet answers,
        beside `unanswered`, the requests that got none."""
        if isinstance(seconds, bool) or not isinstance(seconds, (int, float)) or \
                not seconds >= 0:
            raise ValueError(f"seconds is a number of at least 0, not {seconds!r}")
        late = self.exchanges["answer_us"] > seconds * 1e6  # NaN, no answer, is not late
        return int(late.sum())

    def to_hdf5(self, path: Union[str, os.PathLike[str]], *, overwrite: bool = False) -> None:
        """Writes the session's tables and counts to a new HDF5 file at `path`, in the layout
        of brivane.recording (its group /trace), which brivane.recording.read reads back. An
        existing file is kept (FileExistsError) unless `overwrite`. Needs h5py (Debian:
        apt-get install python3-h5py)."""
        with recording.create(path, overwrite) as file:
            recording.write_trace_file(file, **self._tables())

    def _tables(self) -> Dict[str, Any]:
        """What brivane.recording.write_trace takes."""
        return {"device": self.device, "frames": self.frames, "exchanges": self.exchanges,
                "messages": self.messages, "junk_frames": self.junk_frames,
                "junk_bytes": self.junk_bytes, "unanswered": self.unanswered,
                "unmatched": self.unmatched, "comments": self.comments, "epoch": self.epoch}

    def __repr__(self) -> str:
        return (f"<brivane.trace.Session {self.device} {self.path!r}: {self.frames} frames, "
                f"{len(self.exchanges)} exchanges, {len(self.messages)} messages>")


_layout: Optional[Any] = None

#: What each kind of file that is not a regular one is called.
_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))


def _check_regular(name: str) -> None:
    """Raises FileNotFoundError, PermissionError and IsADirectoryError as open() would, and
    OSError for what is not a regular file; opened without waiting for a FIFO's writer."""
    descriptor = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        mode = os.fstat(descriptor).st_mode
    finally:
        os.close(descriptor)
    if stat.S_ISREG(mode):
        return
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
    kind = next((said for test, said in _KINDS if test(mode)), "a special file")
    raise OSError(errno.EINVAL, f"{kind}, not a regular file: save the trace to a file and "
                  "read that", name)


def read(path: Union[str, os.PathLike[str]], *, device: Optional[str] = None) -> Session:
    """Decodes the trace at `path`; `device` ("arm" or "grip") when its first bytes do not
    tell. Raises TraceError with the line for a file that is no trace, OSError for one that
    cannot be opened or is no regular file (a FIFO or a device, which may never end: save
    the trace to a file first), ValueError for another device."""
    from . import plots  # numpy, imported only where it is needed

    global _layout
    if device not in (None, "arm", "grip"):
        raise ValueError(f"device is 'arm' or 'grip', not {device!r}")
    name = os.fspath(path)
    _check_regular(name)
    result = _brivane.read_trace(name, device or "")
    if result[0] is None:
        raise TraceError(name, result[1], result[2])
    kind, frames, exchanges, messages, counts, comments = result
    if _layout is None:
        _layout = json.loads(_brivane.trace_layout())
    return Session(path=name, device=kind, frames=frames,
                   exchanges=plots.table(_layout, "exchanges", exchanges),
                   messages=plots.table(_layout, "messages", messages),
                   comments=tuple(comments), epoch=recording.epoch_of(comments), **counts)

