"""The panels that show a session: the arm's position, commanded force, velocity, the host's
loop period and the device's answer time, or the grip's orientation and hall level, on one
time axis. Drawn the same for a recorded trace, after or live, and for a running servo.

A figure for a paper or a report: plot_samples draws a servo's samples, plot_trace a
recorded session, each of the size, resolution, panels, time span and style asked for, with
the walls and targets of the servo's effects, and marks on the periods that failed or were
late; written as the file's name says (.png, or .pdf and .svg as vectors).

Only numpy and matplotlib: brivane-trace runs this file in a plain interpreter.
"""
import math
import os
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy

#: Points kept per line: a session of any length is drawn as the low and high of each of
#: this many slices of time, so that a spike of one period still shows.
SLICES = 1500
_MARKED = 200

#: The arm's position resolution (m). A panel of x, y or z whose values and lines span less
#: is drawn over a fixed range about their mean, and says so, rather than stretching what
#: the arm cannot tell apart into a motion. The arm sends its position as 32-bit floats,
#: far finer than its joints resolve, and states no resolution of its own (neither
#: docs/arm.md nor its kinematics, Library/src/devices/Kinematics.h, give encoder counts):
#: 0.01 mm is a nominal figure, of the order desktop force-feedback arms are quoted at, to
#: be replaced by the arm's own once it is measured.
ARM_RESOLUTION = 10e-6
#: Resolutions shown either side of the mean of a panel that is within the resolution.
_RESOLUTIONS_SHOWN = 3

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
#: The arm's panels of a position: each an axis, which an effect's wall or target may cross.
_POSITIONS = ("x", "y", "z")


@dataclass(frozen=True)
class Style:
    """How a figure looks: its width and the height of each panel and of the rest (inches),
    its resolution unless told (dots per inch), the size of its text (points; None for
    matplotlib's own), the width of its lines and the size of the dots of a line of few
    points (points; None for matplotlib's), whether it has a title, and whether the legends
    go beside the panels (else above them, in a row)."""
    width: float
    panel_height: float
    margin_height: float
    dpi: float
    font: Optional[float]
    line_width: float
    dot_size: Optional[float]
    titled: bool
    legends_beside: bool


#: "screen", as a window shows it; "print", for one column of a paper (3.5 in wide): on
#: white, with text that stays legible at that size, and no title, which a caption says.
STYLES: Mapping[str, Style] = {
    "screen": Style(10.0, 1.45, 1.0, 100.0, None, 0.8, None, True, True),
    "print": Style(3.5, 0.85, 0.45, 300.0, 7.0, 0.7, 2.5, False, False),
}
#: The marks along the top of the panels: the column of the rows marked, what the legend
#: calls them and their colour. A servo's periods fail; a trace's requests go unanswered.
_MARKS = (("failed", "failed periods", "tab:red"),
          ("unanswered", "without answer", "tab:red"),
          ("late", "late answers", "tab:orange"))
#: The colour of the effects' walls and targets.
_EFFECT = "0.35"
#: The colour of a mesh's proxy, drawn in the panels of a position while it is on a surface.
_PROXY = "tab:purple"


def envelope(t: Any, y: Any, slices: int = SLICES, gaps: bool = False) -> Tuple[Any, Any]:
    """The points that draw y over t: all of them when they are few, else the low and high
    of each slice, one after the other. Values that are not finite are left out or, with
    `gaps`, kept as NaN, which breaks the line (a slice with no finite value is a gap)."""
    t = numpy.asarray(t, dtype=float)
    y = numpy.asarray(y, dtype=float)
    kept = numpy.isfinite(t) if gaps else numpy.isfinite(y) & numpy.isfinite(t)
    t, y = t[kept], y[kept]
    if len(y) <= 2 * slices:
        return t, y
    starts = numpy.linspace(0, len(y), slices, endpoint=False).astype(numpy.intp)
    low = numpy.fmin.reduceat(y, starts)  # NaN only where the whole slice is
    high = numpy.fmax.reduceat(y, starts)
    return numpy.repeat(t[starts], 2), numpy.column_stack([low, high]).ravel()


def _thinned(times: Any, slices: int = SLICES) -> Any:
    """The times of marks, at most one in each of `slices` slices of their span: more would
    only draw over each other."""
    if len(times) <= slices:
        return times
    span = float(times[-1] - times[0]) or 1.0
    slice_of = numpy.floor((times - times[0]) * (slices / span))
    return times[numpy.unique(slice_of, return_index=True)[1]]


def _series(columns: Mapping[str, Any], key: str) -> List[Any]:
    """The lines of a panel: one per column of a 2-D value, or the value itself."""
    value = columns.get(key)
    if value is None:
        return []
    value = numpy.asarray(value, dtype=float)
    return [value] if value.ndim == 1 else [value[:, i] for i in range(value.shape[1])]


def _style(style: Any) -> Style:
    if isinstance(style, Style):
        return style
    if not isinstance(style, str) or style not in STYLES:
        raise ValueError(f"style is one of {', '.join(map(repr, STYLES))}, not {style!r}")
    return STYLES[style]


def _numbers(value: Any, name: str, count: int) -> Tuple[float, ...]:
    """`value` as `count` finite numbers, or a TypeError that names it."""
    try:
        if isinstance(value, (str, bytes)):
            raise TypeError
        numbers = tuple(float(v) for v in value)
        if any(isinstance(v, bool) for v in value):
            raise TypeError
    except (TypeError, ValueError):
        raise TypeError(f"{name} is {count} numbers, not {value!r}") from None
    if len(numbers) != count or not all(map(math.isfinite, numbers)):
        raise ValueError(f"{name} is {count} finite numbers, not {value!r}")
    return numbers


def _size(size: Any) -> Optional[Tuple[float, float]]:
    if size is None:
        return None
    width, height = _numbers(size, "size (width, height in inches)", 2)
    if not (0 < width <= 100 and 0 < height <= 100):
        raise ValueError(f"size is a width and a height above 0 and up to 100 inches, "
                         f"not {size!r}")
    return width, height


def _dpi(dpi: Any) -> Optional[float]:
    if dpi is None:
        return None
    (dots,) = _numbers((dpi,), "dpi", 1)
    if not 1 <= dots <= 2400:
        raise ValueError(f"dpi is from 1 to 2400 dots per inch, not {dpi!r}")
    return dots


def _window(window: Any) -> Optional[Tuple[float, float]]:
    if window is None:
        return None
    start, end = _numbers(window, "window (start, end in seconds)", 2)
    if not start < end:
        raise ValueError(f"window starts before it ends: (start, end) in seconds, not {window!r}")
    return start, end


def _chosen(layout: Sequence[Tuple[str, str, float, Sequence[str]]], panels: Any,
            device: str) -> List[Tuple[str, str, float, Sequence[str]]]:
    """The panels named by their keys, in the order named."""
    keys = [panel[0] for panel in layout]
    if isinstance(panels, str):
        panels = [panels]
    panels = list(panels)
    unknown = [key for key in panels if key not in keys]
    if unknown or not panels or len(set(panels)) != len(panels):
        raise ValueError(f"panels are some of the {device}'s {', '.join(keys)}, each once; "
                         f"not {panels!r}")
    return [layout[keys.index(key)] for key in panels]


def effect_lines(effects: Sequence[Any]) -> Dict[str, List[Tuple[float, str]]]:
    """Where the effects' surfaces and targets are a clean line in a panel of x, y or z:
    per axis, each value (m) and what it is. A Plane whose normal lies along an axis is a
    wall at its point's value on that axis; a Spring's anchor is a target on each axis it
    pulls along; a Box has a wall at each end of each axis. A Sphere, or a Plane at a slant,
    is no line on any one axis, and neither is drawn."""
    lines: Dict[str, List[Tuple[float, str]]] = {axis: [] for axis in _POSITIONS}
    for effect in effects:
        fields = effect._fields()
        kind = fields[0]
        if kind == "plane":
            point, normal = fields[1], fields[2]
            for axis, at, along in zip(_POSITIONS, point, normal):
                if abs(abs(along) - 1.0) < 1e-9:
                    lines[axis].append((at, "wall"))
        elif kind == "spring":
            anchor, stiffness = fields[1], fields[2]
            for axis, at, k in zip(_POSITIONS, anchor, stiffness):
                if k > 0:
                    lines[axis].append((at, "anchor"))
        elif kind == "box":
            low, high = fields[1], fields[2]
            for axis, a, b in zip(_POSITIONS, low, high):
                lines[axis] += [(a, "box wall"), (b, "box wall")]
    return lines


def windowed(columns: Mapping[str, Any], window: Optional[Tuple[float, float]]
             ) -> Mapping[str, Any]:
    """The columns' rows whose time is within `window` (start, end in seconds), or all."""
    if window is None or "time" not in columns:
        return columns
    t = numpy.asarray(columns["time"], dtype=float)
    kept = (t >= window[0]) & (t <= window[1])
    return {key: (numpy.asarray(value)[kept] if len(value) == len(t) else value)
            for key, value in columns.items()}


class Panels:
    """A figure of panels on one time axis, redrawn from new columns by update(). Only the
    panels whose columns hold a finite value are made, or `every` panel of the device for a
    view whose data is yet to come, or the `panels` named by their keys ("x", "force",
    "period"...). `size` (inches), `dpi` and `style` ("screen", "print" or a Style) say how
    it looks; `window` (start, end in seconds) the span of time drawn; `effects` the walls
    and targets drawn in the panels of a position."""

    def __init__(self, figure: Any, columns: Mapping[str, Any], device: str = "arm", *,
                 every: bool = False, panels: Optional[Sequence[str]] = None,
                 style: Any = "screen", size: Optional[Sequence[float]] = None,
                 dpi: Optional[float] = None, window: Optional[Sequence[float]] = None,
                 effects: Sequence[Any] = ()) -> None:
        layout = _GRIP_PANELS if device == "grip" else _ARM_PANELS
        self.style = _style(style)
        chosen_size, chosen_dpi = _size(size), _dpi(dpi)
        self.window = _window(window)
        self.figure = figure
        self.device = device
        if panels is not None:
            self.panels = _chosen(layout, panels, device)
        else:
            self.panels = [p for p in layout if every or any(
                numpy.isfinite(s).any() for s in _series(columns, p[0]))]
            if not self.panels:
                self.panels = [layout[0]]
        look = self.style
        figure.set_size_inches(chosen_size or (
            look.width, look.margin_height + look.panel_height * len(self.panels)))
        # What an image of it is drawn at (matplotlib saves at the dpi the figure was made
        # with, whatever it was set to after); a window takes the dpi only when it is told.
        self.dpi = chosen_dpi or look.dpi
        if chosen_dpi is not None:
            figure.set_dpi(chosen_dpi)
        figure.set_facecolor("white")
        figure.set_layout_engine("constrained")
        if not look.legends_beside:  # a small figure: its panels closer together
            figure.get_layout_engine().set(h_pad=0.02, w_pad=0.02, hspace=0.0)
        axes = figure.subplots(len(self.panels), 1, sharex=True, squeeze=False)[:, 0]
        self.axes = list(axes)
        self.lines: List[List[Any]] = []
        self.notes: List[Any] = []
        self.marks: List[Dict[str, Any]] = [{} for _ in self.axes]  # made as marks come
        self._effects: List[List[Any]] = [[] for _ in self.axes]
        self._proxies: List[Any] = [None for _ in self.axes]  # made once a proxy touches
        for ax, (_, label, _, names) in zip(self.axes, self.panels):
            ax.set_facecolor("white")
            ax.set_ylabel(label, fontsize=look.font)
            ax.tick_params(labelsize=look.font)
            ax.ticklabel_format(axis="y", useOffset=False)
            ax.grid(True, alpha=0.3)
            # A lone line is named by the panel: only several are in a legend.
            self.lines.append([ax.plot([], [], linewidth=look.line_width,
                                       markersize=look.dot_size,
                                       label=name if len(names) > 1 else f"_{name}")[0]
                               for name in names])
            self.notes.append(ax.text(0.99, 0.08, "", transform=ax.transAxes, ha="right",
                                      va="bottom", fontsize=look.font or "small",
                                      color="0.3", visible=False))
        self.axes[-1].set_xlabel("time (s)", fontsize=look.font)
        self.show_effects(effects)
        self.update(columns)

    def show_effects(self, effects: Sequence[Any]) -> None:
        """Draws the effects' walls and targets (effect_lines) in the panels of a position,
        in place of those drawn before."""
        lines = effect_lines(effects) if self.device != "grip" else {}
        for ax, drawn, (key, _, scale, _) in zip(self.axes, self._effects, self.panels):
            for line in drawn:
                line.remove()
            drawn.clear()
            named = set()
            for at, what in lines.get(key, ()):
                drawn.append(ax.axhline(at * scale, color=_EFFECT, linestyle="--",
                                        linewidth=self.style.line_width,
                                        label="_" if what in named else what))
                named.add(what)
            self._legend(ax)

    def _legend(self, ax: Any) -> None:
        """A legend of what the panel names (several lines, effects, marks), or none."""
        handles, labels = ax.get_legend_handles_labels()
        if not handles:
            if ax.get_legend() is not None:
                ax.get_legend().remove()
            return
        if self.style.legends_beside:  # beside the panel, where it hides no line
            ax.legend(handles, labels, loc="upper left", bbox_to_anchor=(1.0, 1.0),
                      fontsize="small")
        else:  # above it, in a row, where it hides no line either
            ax.legend(handles, labels, loc="lower right", bbox_to_anchor=(1.0, 1.0),
                      ncol=len(handles), fontsize=(self.style.font or 10) - 1, frameon=False,
                      borderpad=0.0, borderaxespad=0.2, handlelength=1.2, handletextpad=0.4,
                      columnspacing=0.9)

    def update(self, columns: Mapping[str, Any], title: Optional[str] = None) -> None:
        """Draws the columns: time (s) and, per panel, its values in SI units; "failed",
        "unanswered" and "late", where there, say which rows to mark."""
        columns = windowed(columns, self.window)
        t = numpy.asarray(columns.get("time", numpy.empty(0)), dtype=float)
        marked = self._marked(columns, t)
        for index, (ax, lines, (key, _, scale, _)) in enumerate(
                zip(self.axes, self.lines, self.panels)):
            for line, values in zip(lines, _series(columns, key)):
                x, y = envelope(t, values * scale)
                line.set_data(x, y)
                # A few points are each shown; many make a line.
                line.set_marker("." if len(x) <= _MARKED else "")
            # The marks and the proxy first: a line added after the limits below would have
            # them redone.
            relabelled = self._draw_proxy(index, columns, t) if key in _POSITIONS else False
            for place, ((kind, _, colour), (times, label)) in enumerate(zip(_MARKS, marked)):
                mark = self.marks[index].get(kind)
                if mark is None:
                    if not len(times):
                        continue
                    mark = self.marks[index][kind] = self._mark(ax, colour, place)
                mark.set_data(times, numpy.full(len(times), 0.96))
                # The legend of the top panel says what the marks are.
                label = label if index == 0 and len(times) else "_"
                relabelled |= mark.get_label() != label
                mark.set_label(label)
            if relabelled:
                self._legend(ax)
            ax.relim()
            ax.autoscale_view()
            if key == "period":
                ax.set_ylim(bottom=0, auto=None)  # and still scaled to the next data
            if key in _POSITIONS and self.device != "grip":
                self._resolve(index, _series(columns, key), scale)
        finite = t[numpy.isfinite(t)]
        if len(finite) and finite[-1] > finite[0]:
            self.axes[-1].set_xlim(finite[0], finite[-1])
        elif self.window is not None:
            self.axes[-1].set_xlim(*self.window)
        if title is not None and self.style.titled:
            self.figure.suptitle(title, fontsize="medium")

    def _draw_proxy(self, index: int, columns: Mapping[str, Any], t: Any) -> bool:
        """The proxy's line in a panel of a position, where it is on a surface; made the
        first time it is. True when it was made (the legend is then redone)."""
        key, _, scale, _ = self.panels[index]
        values = columns.get("proxy_" + key)
        line = self._proxies[index]
        if values is None or line is None and not numpy.isfinite(values).any():
            return False
        made = line is None
        if made:
            line = self._proxies[index] = self.axes[index].plot(
                [], [], color=_PROXY, linewidth=self.style.line_width,
                label="proxy")[0]
        x, y = envelope(t, values * scale, gaps=True)  # a line only while it touches
        line.set_data(x, y)
        return made

    def _mark(self, ax: Any, colour: str, place: int) -> Any:
        """Ticks along the top of the panel at the times marked, over the lines, the first
        kinds of mark over the others."""
        return ax.plot([], [], linestyle="none", marker="|", markersize=5,
                       markeredgewidth=self.style.line_width, color=colour,
                       transform=ax.get_xaxis_transform(), label="_",
                       zorder=3.0 - 0.1 * place)[0]

    def _marked(self, columns: Mapping[str, Any], t: Any) -> List[Tuple[Any, str]]:
        """The times of each kind of mark, and what the legend says of them."""
        marked = []
        for key, what, _ in _MARKS:
            rows = columns.get(key)
            rows = numpy.zeros(len(t), bool) if rows is None else numpy.asarray(rows, bool)
            times = t[rows & numpy.isfinite(t)]
            marked.append((_thinned(times), f"{what} ({len(times)})"))
        return marked

    def _resolve(self, index: int, series: List[Any], scale: float) -> None:
        """Holds a panel of a position whose values and lines span less than the arm
        resolves to a fixed range about their mean, and says so."""
        values = numpy.concatenate([s[numpy.isfinite(s)] for s in series] or [numpy.empty(0)])
        walls = [line.get_ydata()[0] / scale for line in self._effects[index]]
        proxy = self._proxies[index]
        if proxy is not None:  # where the proxy is held counts as what the panel shows
            held = numpy.asarray(proxy.get_ydata(), dtype=float) / scale
            walls += list(held[numpy.isfinite(held)])
        note = self.notes[index]
        within = len(values) > 0 and numpy.ptp(numpy.concatenate([values, walls])) < \
            ARM_RESOLUTION
        note.set_visible(bool(within))
        if within:
            middle = float(numpy.mean(values)) * scale
            half = _RESOLUTIONS_SHOWN * ARM_RESOLUTION * scale
            self.axes[index].set_ylim(middle - half, middle + half, auto=None)
            note.set_text(f"within the resolution ({ARM_RESOLUTION * 1e6:g} µm)")


def arm_columns(exchanges: Any) -> Dict[str, Any]:
    """What the arm panels draw, from a trace's exchanges (brivane.trace); the requests that
    got no answer are marked."""
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
        "unanswered": numpy.asarray(e["timed_out"]) > 0,
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
    whose exchange failed has no position or velocity, and is marked as failed with those
    that had no fresh state (their force faded); a late answer's period is marked as late.
    The first period has no length. Where the first mesh's proxy is on its surface, it is
    drawn beside the position (proxy_x, _y, _z; NaN elsewhere)."""
    answered = (samples["outcome"] == 0)[:, None]
    p = numpy.where(answered, samples["position"], numpy.nan)
    period = samples["period"]
    flags = samples["flags"]
    # A sample of a recording made before samples had a proxy has none.
    touching = ((flags & 8) != 0)[:, None] if "proxy" in samples.dtype.names else None
    proxy = numpy.full((len(samples), 3), numpy.nan) if touching is None else \
        numpy.where(touching, samples["proxy"], numpy.nan)
    return {
        "time": samples["time"],
        "x": p[:, 0], "y": p[:, 1], "z": p[:, 2],
        "proxy_x": proxy[:, 0], "proxy_y": proxy[:, 1], "proxy_z": proxy[:, 2],
        "force": samples["force"],
        "velocity": numpy.where(answered, samples["velocity"], numpy.nan),
        "period": numpy.where(period > 0, period, numpy.nan),
        "failed": ~answered[:, 0] | (flags & 2 != 0),
        "late": flags & 1 != 0,
    }


def describe(device: str, columns: Mapping[str, Any], frames: int,
             counted: str = "frames") -> str:
    """The title of a trace's plot: what it is and its figures."""
    t = numpy.asarray(columns["time"], dtype=float)
    span = float(t[-1] - t[0]) if len(t) > 1 else 0.0
    text = f"{device}: {frames} {counted} over {span:.3f} s"
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


def trace_title(device: str, columns: Mapping[str, Any], frames: int, unanswered: int,
                unmatched: int, junk: int, late_us: Optional[float] = None) -> str:
    """The title of a trace's plot, with what went wrong on the line."""
    text = describe(device, columns, frames)
    text += f"\n{unanswered} without answer, {unmatched} unasked, {junk} junk frames"
    if late_us is not None and device != "grip":
        text += f", {int(numpy.count_nonzero(columns['late']))} later than {late_us:g} µs"
    return text


def shown(columns: Mapping[str, Any], window: Optional[Sequence[float]]) -> str:
    """The span of time a figure shows, as its title says it."""
    t = numpy.asarray(windowed(columns, _window(window))["time"], dtype=float)
    t = t[numpy.isfinite(t)]
    if not len(t):
        return "nothing shown"
    return f"{t[0]:.3f} to {t[-1]:.3f} s shown ({t[-1] - t[0]:.3f} s)"


def plot_samples(samples: Any, path: Any = None, *, effects: Sequence[Any] = (),
                 panels: Optional[Sequence[str]] = None, window: Optional[Sequence[float]] = None,
                 size: Optional[Sequence[float]] = None, dpi: Optional[float] = None,
                 style: str = "screen", title: Optional[str] = None,
                 overwrite: bool = False) -> Any:
    """Draws a servo's samples (what Servo.samples() or brivane.scope returned) as the
    scope's panels, with the walls and targets of `effects` (the servo's, servo.effects),
    and returns the matplotlib Figure; with `path`, writes it there too (see _draw)."""
    columns = servo_columns(samples)
    if title is None:
        title = (describe("servo", columns, len(samples), "periods") + "\n" +
                 shown(columns, window))
    return _draw(columns, "arm", path, effects=effects, panels=panels, window=window,
                 size=size, dpi=dpi, style=style, title=title, overwrite=overwrite)


def plot_trace(session: Any, path: Any = None, *, late: Optional[float] = None,
               panels: Optional[Sequence[str]] = None, window: Optional[Sequence[float]] = None,
               size: Optional[Sequence[float]] = None, dpi: Optional[float] = None,
               style: str = "screen", title: Optional[str] = None,
               overwrite: bool = False) -> Any:
    """Draws a recorded session (brivane.trace.read) as brivane-trace --plot does, marking
    the requests without answer and, with `late` (seconds), the answers that came later;
    returns the matplotlib Figure and, with `path`, writes it there too (see _draw)."""
    device = session.device
    columns = (grip_columns(session.messages) if device == "grip"
               else arm_columns(session.exchanges))
    late_us = None
    if late is not None:
        (late_us,) = _numbers((late,), "late (seconds)", 1)
        late_us *= 1e6
        if device != "grip":
            columns["late"] = numpy.asarray(columns["answer_us"], dtype=float) > late_us
    if title is None:
        title = trace_title(device, columns, session.frames, session.unanswered,
                            session.unmatched, session.junk_frames, late_us)
        if window is not None:
            title += "; " + shown(columns, window)
    return _draw(columns, device, path, panels=panels, window=window, size=size, dpi=dpi,
                 style=style, title=title, overwrite=overwrite)


def _draw(columns: Mapping[str, Any], device: str, path: Any, *, title: str,
          overwrite: bool, dpi: Optional[float], **options: Any) -> Any:
    """A figure of the columns' panels, made without pyplot (no window, no global state).
    With `path`, it is written there in the kind its extension names (.png, .pdf, .svg,
    ...), at `dpi`; an existing file raises FileExistsError unless `overwrite`."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg  # type: ignore[import]
    from matplotlib.figure import Figure  # type: ignore[import]

    figure = Figure()
    canvas = FigureCanvasAgg(figure)
    kind = None
    if path is not None:
        path = os.fspath(path)
        kind = os.path.splitext(path)[1][1:].lower()
        kinds = canvas.get_supported_filetypes()
        if kind not in kinds:
            raise ValueError(f"the figure's name ends in an image's extension "
                             f"({', '.join(sorted(kinds))}), not {path!r}")
    if not isinstance(overwrite, bool):
        raise TypeError(f"overwrite must be True or False, not {type(overwrite).__name__}")
    panels = Panels(figure, columns, device, dpi=dpi, **options)
    panels.update(columns, title)
    if path is not None:
        with open(path, "wb" if overwrite else "xb") as file:
            figure.savefig(file, format=kind, dpi=panels.dpi)
    return figure


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
