"""Sessions as HDF5 files: the layout brivane.Recorder writes while a servo runs and
`brivane-trace --hdf5` writes from a trace, both through the writers here, and `read(path)`,
which gives a file back as numpy arrays.

    recording = brivane.recording.read("session.h5")
    s = recording.samples                    # as Servo.samples() gives them
    print(recording.stats.period_p99_us, numpy.ptp(s["position"][:, 2]))

A table is a group with one dataset per column (its `columns` attribute lists them in
order), each growing by the same rows: /samples, the servo's samples; /trace/exchanges and
/trace/messages, a trace's tables as brivane.trace.read gives them. Attributes say the rest:
/samples' epoch (on time.monotonic()'s clock), rate and dropped; /servo's options and
effects and /servo/stats; /arm's and /grip's identity; /trace's counts, comments and epoch.
/meshes/<n> holds the vertices and triangles of the n-th mesh among the effects.
docs/viewing.md#sessions-as-hdf5 describes each.

Only the standard library at the top, numpy and h5py where they are used: brivane-trace
runs the writers in a plain interpreter.
"""
import errno
import os
from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple, Union

__all__ = ["read", "Recording", "RecordingError", "FORMAT"]

#: What the root's `format` attribute says: the layout and its version.
FORMAT = "brivane-recording 1"


class RecordingError(ValueError):
    """A file that is no recording, or a recording that could not be made as asked: the
    path and what is wrong."""

    def __init__(self, path: str, what: str) -> None:
        super().__init__(f"{path}: {what}")
        self.path = path
        self.what = what


def _stored(kind: Any) -> Any:
    """How a column's type is kept: text as ASCII bytes (HDF5's fixed-length strings),
    anything else as it is."""
    import numpy

    return numpy.dtype(f"S{kind.itemsize // 4}") if kind.kind == "U" else kind


class Table:
    """A group of datasets, one per column of `dtype` (a numpy structured type), that grow
    together by append(), in HDF5 chunks of `chunk_rows` rows."""

    def __init__(self, group: Any, dtype: Any, chunk_rows: int) -> None:
        self.columns = []
        for name in dtype.names:
            kind, shape = dtype.fields[name][0].base, dtype.fields[name][0].shape
            self.columns.append(group.create_dataset(
                name, (0,) + shape, _stored(kind), maxshape=(None,) + shape,
                chunks=(max(1, chunk_rows),) + shape))
        group.attrs["columns"] = list(dtype.names)
        self.rows = 0

    def append(self, rows: Any) -> None:
        if not len(rows):
            return
        end = self.rows + len(rows)
        for dataset in self.columns:
            dataset.resize(end, axis=0)
            values = rows[dataset.name.rsplit("/", 1)[-1]]
            dataset[self.rows:] = values.astype(dataset.dtype) if values.dtype.kind == "U" \
                else values
        self.rows = end


def create(path: Union[str, "os.PathLike[str]"], overwrite: bool = False) -> Any:
    """A new HDF5 file at `path`, in the format SWMR readers take. An existing file is kept
    (FileExistsError) unless `overwrite`; then a symlink at that name is replaced itself,
    never the file it points to."""
    import h5py  # type: ignore[import]

    name = os.fspath(path)
    if os.path.isdir(name) and not os.path.islink(name):
        raise IsADirectoryError(errno.EISDIR, f"{os.strerror(errno.EISDIR)}: give a file's "
                                "name", name)
    if os.path.lexists(name):
        if not overwrite:
            raise FileExistsError(errno.EEXIST, "exists; overwrite=True replaces it", name)
        os.unlink(name)
    # "x" creates the file only where none is: one made meanwhile is not replaced either.
    return h5py.File(name, "x", libver="latest")


def write_trace(file: Any, *, device: str, frames: int, exchanges: Any, messages: Any,
                junk_frames: int, junk_bytes: int, unanswered: int, unmatched: int,
                comments: Sequence[str], epoch: Optional[float]) -> None:
    """A trace's tables and counts into `file`'s group /trace. The one writer of that group:
    brivane.trace.Session.to_hdf5, brivane-trace --hdf5 and the Recorder all call it."""
    group = file.create_group("trace")
    for key, value in (("device", device), ("frames", frames), ("junk_frames", junk_frames),
                       ("junk_bytes", junk_bytes), ("unanswered", unanswered),
                       ("unmatched", unmatched)):
        group.attrs[key] = value
    group.attrs["comments"] = list(comments)
    group.attrs["epoch"] = float("nan") if epoch is None else epoch
    for kind, rows in (("exchanges", exchanges), ("messages", messages)):
        table = Table(group.create_group(kind), rows.dtype, min(len(rows), 65536))
        table.append(rows)


def write_trace_file(file: Any, **session: Any) -> None:
    """A whole file of a trace's session (write_trace's arguments): brivane-trace --hdf5 and
    brivane.trace.Session.to_hdf5 make it."""
    file.attrs["format"] = FORMAT
    file.attrs["complete"] = False
    write_trace(file, **session)
    file.attrs["complete"] = True


def epoch_of(comments: Sequence[str]) -> Optional[float]:
    """A trace's time 0 on the monotonic clock, from its "monotonic:" comment; None without."""
    for comment in comments:
        key, _, value = comment.strip().partition(":")
        if key == "monotonic":
            try:
                return float(value)
            except ValueError:
                return None
    return None


@dataclass(frozen=True)
class Recording:
    """A recorded session. `samples` as Servo.samples() gives them (None without a servo),
    on the servo's clock: time 0 is `epoch` on time.monotonic()'s; `dropped`, the samples
    lost because the servo's record overflowed. `stats` are the servo's at the end (None
    for a file whose writer never finished: `complete` is then False). `servo` holds its
    options and effects, `arm` and `grip` their identities, and `trace` the trace's session
    recorded beside it (None without one); its times are on its own clock, from its epoch.
    `meshes` holds the geometry of the meshes among the effects, as (vertices, triangles)
    arrays: a Mesh effect's "mesh" is its place here."""
    path: str
    samples: Any
    epoch: Optional[float]
    dropped: int
    stats: Any
    complete: bool
    servo: Mapping[str, Any]
    arm: Optional[Mapping[str, Any]]
    grip: Optional[Mapping[str, Any]]
    trace: Any
    meshes: Tuple[Tuple[Any, Any], ...] = ()

    def on_samples_clock(self, trace_times: Any) -> Any:
        """Times of the trace (s since its start) on the samples' clock."""
        if self.trace is None or self.trace.epoch is None or self.epoch is None:
            raise ValueError(f"{self.path} has no trace and samples both on the monotonic "
                             "clock to line up")
        return trace_times + (self.trace.epoch - self.epoch)

    def __repr__(self) -> str:
        rows = "no samples" if self.samples is None else f"{len(self.samples)} samples"
        trace = "" if self.trace is None else f", {len(self.trace.exchanges)} exchanges"
        return f"<brivane.recording.Recording {self.path!r}: {rows}{trace}>"


def _table(group: Any) -> Any:
    """A table group's rows as a structured array; text as str. Of a file still being
    written, or whose writer died, the rows every column has."""
    import numpy

    names = [str(name) for name in group.attrs["columns"]]
    datasets = [group[name] for name in names]
    for dataset in datasets:
        dataset.refresh()
    rows = min((len(dataset) for dataset in datasets), default=0)
    kinds = [numpy.dtype(f"U{d.dtype.itemsize}") if d.dtype.kind == "S" else d.dtype
             for d in datasets]
    out = numpy.empty(rows, dtype=[(name, kind, d.shape[1:])
                                   for name, kind, d in zip(names, kinds, datasets)])
    for name, dataset in zip(names, datasets):
        values = dataset[:rows]
        out[name] = values.astype(out.dtype[name].base) if values.dtype.kind == "S" else values
    return out


def _attributes(group: Any) -> Dict[str, Any]:
    return {key: (value.item() if hasattr(value, "item") and getattr(value, "ndim", 1) == 0
                  else value) for key, value in group.attrs.items()}


#: How long read() waits for a writer that holds the file locked: a Recorder does, for the
#: moments it lays the file out and adds the end of the session, out of SWMR mode.
_LOCKED_FOR = 2.0


def _open_to_read(h5py: Any, name: str) -> Any:
    import time

    end = time.monotonic() + _LOCKED_FOR
    while True:
        try:
            # SWMR: a file being written, or whose writer died, opens too.
            return h5py.File(name, "r", swmr=True)
        except OSError as error:
            if "unable to lock file" in str(error) and time.monotonic() < end:
                time.sleep(0.01)
                continue
            if "unable to lock file" in str(error):
                raise RecordingError(name, "another program holds it locked, writing it out "
                                     "of SWMR mode; read it when that one is done") from None
            raise RecordingError(name, f"not an HDF5 file ({error}); a recording is made "
                                 "by brivane.Recorder or brivane-trace --hdf5") from None


def read(path: Union[str, "os.PathLike[str]"]) -> Recording:
    """Reads the recording at `path`, whole or still being written (or left by a writer that
    died: all but its last chunk). Raises OSError for a file that cannot be opened, and
    RecordingError for one that is no recording."""
    import h5py

    from .servo import ServoStats, _sample_dtype
    from .trace import Session

    name = os.fspath(path)
    if not os.path.isfile(name):
        open(name, "rb").close()  # raises as open() does for what is missing or a folder
    file = _open_to_read(h5py, name)
    with file:
        if file.attrs.get("format") != FORMAT:
            raise RecordingError(name, f"not a recording: its format is "
                                 f"{file.attrs.get('format')!r}, not {FORMAT!r}")
        samples = epoch = None
        dropped = 0
        if "samples" in file:
            import numpy

            kept = _table(file["samples"])
            samples = numpy.empty(len(kept), dtype=_sample_dtype(numpy))
            for field in samples.dtype.names:
                samples[field] = kept[field]
            attributes = file["samples"].attrs
            epoch = float(attributes["epoch"]) if attributes["epoch"] > 0 else None
            dropped = int(attributes["dropped"])
        stats = ServoStats(**_attributes(file["servo/stats"])) if "servo/stats" in file \
            else None
        trace = None
        if "trace" in file:
            about = _attributes(file["trace"])
            trace = Session(path=name, device=about["device"], frames=about["frames"],
                            exchanges=_table(file["trace/exchanges"]),
                            messages=_table(file["trace/messages"]),
                            junk_frames=about["junk_frames"], junk_bytes=about["junk_bytes"],
                            unanswered=about["unanswered"], unmatched=about["unmatched"],
                            comments=tuple(str(c) for c in about["comments"]),
                            epoch=None if about["epoch"] != about["epoch"] else about["epoch"])
        stored = file["meshes"] if "meshes" in file else {}
        meshes = tuple((stored[f"{n}/vertices"][()], stored[f"{n}/triangles"][()])
                       for n in range(len(stored)))
        return Recording(path=name, samples=samples, epoch=epoch, dropped=dropped,
                         stats=stats, complete=bool(file.attrs.get("complete", False)),
                         servo=_attributes(file["servo"]) if "servo" in file else {},
                         arm=_attributes(file["arm"]) if "arm" in file else None,
                         grip=_attributes(file["grip"]) if "grip" in file else None,
                         trace=trace, meshes=meshes)

