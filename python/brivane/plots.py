"""The panels that show a session: the arm's position, commanded force, velocity, the host's
loop period and the device's answer time, or the grip's orientation and hall level, on one
time axis. Drawn the same for a recorded trace, after or live, and for a running servo.

Only numpy and matplotlib: brivane-trace runs this file in a plain interpreter.
"""
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy

#: Points kept per line: a session of any length is drawn as the low and high of each of
#: this many slices of time, so that a spike of one period still shows.
SLICES = 1500
_MARKED = 200

#: Each panel: its key in the columns, its label, the scale from the columns' unit to the
#: label's, and its lines' names.
_ARM_PANELS: Sequence[Tuple[str, str, float, Sequence[str]]] = (
    ("x", "x (mm)", 1e3, ("x",)),
    ("y", "y (mm)", 1e3, ("y",)),
    ("z", "z (mm)", 1e3, ("z",)),
    ("force", "commanded\nforce (N)", 1.0, ("fx", "fy", "fz")),
    ("velocity", "velocity\n(mm/s)", 1e3, ("vx", "vy", "vz")),
    ("period", "loop\nperiod (ms)", 1e3, ("period",)),
    ("answer_us", "answer\ntime (µs)", 1.0, ("answer",)),
)
_GRIP_PANELS: Sequence[Tuple[str, str, float, Sequence[str]]] = (
    ("quaternion", "quaternion", 1.0, ("q0", "q1", "q2", "q3")),
    ("hall", "hall level", 1.0, ("hall",)),
    ("period", "message\ninterval (ms)", 1e3, ("interval",)),
    ("answer_us", "answer\ntime (µs)", 1.0, ("answer",)),
)


def envelope(t: Any, y: Any, slices: int = SLICES) -> Tuple[Any, Any]:
    """The points that draw y over t: all of them when they are few, else the low and high
    of each slice, one after the other. Values that are not finite are left out."""
    t = numpy.asarray(t, dtype=float)
    y = numpy.asarray(y, dtype=float)
    kept = numpy.isfinite(y) & numpy.isfinite(t)
    t, y = t[kept], y[kept]
    if len(y) <= 2 * slices:
        return t, y
    starts = numpy.linspace(0, len(y), slices, endpoint=False).astype(numpy.intp)
    low = numpy.minimum.reduceat(y, starts)
    high = numpy.maximum.reduceat(y, starts)
    return numpy.repeat(t[starts], 2), numpy.column_stack([low, high]).ravel()


def _series(columns: Mapping[str, Any], key: str) -> List[Any]:
    """The lines of a panel: one per column of a 2-D value, or the value itself."""
    value = columns.get(key)
    if value is None:
        return []
    value = numpy.asarray(value, dtype=float)
    return [value] if value.ndim == 1 else [value[:, i] for i in range(value.shape[1])]


class Panels:
    """A figure of panels on one time axis, redrawn from new columns by update(). Only the
    panels whose columns hold a finite value are made, or `every` panel of the device for a
    view whose data is yet to come."""

    def __init__(self, figure: Any, columns: Mapping[str, Any], device: str = "arm", *,
                 every: bool = False) -> None:
        layout = _GRIP_PANELS if device == "grip" else _ARM_PANELS
        self.figure = figure
        self.panels = [p for p in layout
                       if every or any(numpy.isfinite(s).any() for s in _series(columns, p[0]))]
        if not self.panels:
            self.panels = [layout[0]]
        figure.set_size_inches(10, 1.0 + 1.45 * len(self.panels))
        figure.set_layout_engine("constrained")
        axes = figure.subplots(len(self.panels), 1, sharex=True, squeeze=False)[:, 0]
        self.axes = list(axes)
        self.lines: List[List[Any]] = []
        for ax, (_, label, _, names) in zip(self.axes, self.panels):
            ax.set_ylabel(label)
            ax.ticklabel_format(axis="y", useOffset=False)
            ax.grid(True, alpha=0.3)
            self.lines.append([ax.plot([], [], linewidth=0.8, label=name)[0]
                               for name in names])
            if len(names) > 1:  # beside the panel, where it hides no line
                ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize="small")
        self.axes[-1].set_xlabel("time (s)")
        self.update(columns)

    def update(self, columns: Mapping[str, Any], title: Optional[str] = None) -> None:
        """Draws the columns: time (s) and, per panel, its values in SI units."""
        t = columns.get("time", numpy.empty(0))
        for ax, lines, (key, _, scale, _) in zip(self.axes, self.lines, self.panels):
            period_like = key == "period"
            for line, values in zip(lines, _series(columns, key)):
                x, y = envelope(t, values * scale)
                line.set_data(x, y)
                # A few points are each shown; many make a line.
                line.set_marker("." if len(x) <= _MARKED else "")
            ax.relim()
            ax.autoscale_view()
            if period_like:
                ax.set_ylim(bottom=0, auto=None)  # and still scaled to the next data
        if len(t):
            finite = numpy.asarray(t)[numpy.isfinite(t)]
            if len(finite) and finite[-1] > finite[0]:
                self.axes[-1].set_xlim(finite[0], finite[-1])
        if title is not None:
            self.figure.suptitle(title, fontsize="medium")


def arm_columns(exchanges: Any) -> Dict[str, Any]:
    """What the arm panels draw, from a trace's exchanges (brivane.trace)."""
    e = exchanges
    time = e["request_time"]
    force = numpy.where((e["command"] == "end_effector_force")[:, None],
                        numpy.column_stack([e["command_0"], e["command_1"], e["command_2"]]),
                        numpy.nan)
    return {
        "time": time,
        "x": e["x"], "y": e["y"], "z": e["z"],
        "force": force,
        "velocity": numpy.column_stack([e["vx"], e["vy"], e["vz"]]),
        "period": numpy.diff(time, prepend=numpy.nan),
        "answer_us": e["answer_us"],
    }


def grip_columns(messages: Any) -> Dict[str, Any]:
    """What the grip panels draw, from a trace's messages (brivane.trace)."""
    m = messages
    time = m["time"]
    return {
        "time": time,
        "quaternion": numpy.column_stack([m["q0"], m["q1"], m["q2"], m["q3"]]),
        "hall": m["hall"],
        "period": numpy.diff(time, prepend=numpy.nan),
        "answer_us": m["answer_us"],
    }


def servo_columns(samples: Any) -> Dict[str, Any]:
    """What the arm panels draw, from a servo's samples (brivane.Servo.samples). A period
    whose exchange failed has no position or velocity; the first has no period."""
    answered = (samples["outcome"] == 0)[:, None]
    p = numpy.where(answered, samples["position"], numpy.nan)
    period = samples["period"]
    return {
        "time": samples["time"],
        "x": p[:, 0], "y": p[:, 1], "z": p[:, 2],
        "force": samples["force"],
        "velocity": numpy.where(answered, samples["velocity"], numpy.nan),
        "period": numpy.where(period > 0, period, numpy.nan),
    }


def describe(device: str, columns: Mapping[str, Any], frames: int) -> str:
    """The title of a trace's plot: what it is and its figures."""
    t = numpy.asarray(columns["time"], dtype=float)
    span = float(t[-1] - t[0]) if len(t) > 1 else 0.0
    text = f"{device}: {frames} frames over {span:.3f} s"
    period = numpy.asarray(columns["period"], dtype=float)
    period = period[numpy.isfinite(period)]
    if len(period):
        what = "interval" if device == "grip" else "period"
        text += (f", {what} p50 {numpy.median(period) * 1e3:.3f} ms, "
                 f"max {period.max() * 1e3:.3f} ms")
    answers = numpy.asarray(columns.get("answer_us", []), dtype=float)
    answers = answers[numpy.isfinite(answers)]
    if len(answers):
        text += f", answer p99 {numpy.percentile(answers, 99):.0f} µs"
    return text



def table(layout: Mapping[str, Any], kind: str, data: Any) -> Any:
    """Rows as the trace decoder lays them out (layout: its JSON, kind: "exchanges" or
    "messages") as a numpy structured array of the columns; a column of names holds the
    names."""
    raw: Any = numpy.frombuffer(data, dtype=numpy.dtype(layout[kind]))
    named = "command" if kind == "exchanges" else "message"
    names = numpy.array(layout[named])
    out = numpy.empty(len(raw), dtype=[
        (name, names.dtype if name == named else raw.dtype.fields[name][0])
        for name in raw.dtype.names])
    for name in raw.dtype.names:
        out[name] = names[raw[name]] if name == named else raw[name]
    return out
